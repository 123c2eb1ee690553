#include "archive/IBSQL.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "archive/FbClient.h"
#include "archive/ParameterBlocks.h"
#include "archive/SQLText.h"
#include "platform/CodePage.h"

namespace velmora {

// One output column: its description and its value buffer.
struct IBColumn {
  short type = 0;  // sqltype without the nullable bit
  short scale = 0;
  short subtype = 0;
  short length = 0;
  std::vector<int64_t> data;  // 8-byte aligned value buffer
  std::string name;
  char* Bytes() { return reinterpret_cast<char*>(data.data()); }
};

// An XSQLDA with room for n variables, in aligned storage it owns.
class Sqlda {
 public:
  void Allocate(int n) {
    if (n < 1) n = 1;
    size_t bytes = XSQLDA_LENGTH(n);
    storage_.assign((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), std::max_align_t{});
    Get()->version = SQLDA_VERSION1;
    Get()->sqln = static_cast<ISC_SHORT>(n);
  }
  XSQLDA* Get() { return storage_.empty() ? nullptr : reinterpret_cast<XSQLDA*>(storage_.data()); }

 private:
  std::vector<std::max_align_t> storage_;
};

struct TIBSQL::Buffers {
  Sqlda out;
  std::vector<IBColumn> columns;
  std::vector<short> indicators;
  Sqlda in;
  std::vector<std::string> inValues;
  std::vector<short> inIndicators;
};

namespace {

int ReadStatementType(const FbClient& fb, IBHandle* stmt) {
  ISC_STATUS* status = ClientStatus();
  const char items[] = {isc_info_sql_stmt_type};
  char result[16] = {};
  fb.isc_dsql_sql_info(status, stmt, sizeof items, items, sizeof result, result);
  if (StatusFailed(status)) RaiseStatus(fb, status);
  if (static_cast<unsigned char>(result[0]) != isc_info_sql_stmt_type) return 0;
  int length = static_cast<int>(fb.isc_vax_integer(result + 1, 2));
  if (length <= 0 || length > 4) return 0;
  return static_cast<int>(fb.isc_vax_integer(result + 3, static_cast<short>(length)));
}

// Describes the output (bind = false) or input variables into `da`, growing
// it when the statement has more than it holds.
void Describe(const FbClient& fb, IBHandle* stmt, int dialect, Sqlda& da, bool bind) {
  da.Allocate(1);
  for (int round = 0; round < 2; ++round) {
    ISC_STATUS* status = ClientStatus();
    if (bind) {
      fb.isc_dsql_describe_bind(status, stmt, static_cast<unsigned short>(dialect), da.Get());
    } else {
      fb.isc_dsql_describe(status, stmt, static_cast<unsigned short>(dialect), da.Get());
    }
    if (StatusFailed(status)) RaiseStatus(fb, status);
    if (da.Get()->sqld <= da.Get()->sqln) return;
    da.Allocate(da.Get()->sqld);
  }
}

size_t BufferSize(const XSQLVAR& v) {
  size_t n = static_cast<size_t>(v.sqllen < 0 ? 0 : v.sqllen) + 2;  // + VARCHAR length word
  return (n + 7) / 8 + 1;
}

[[noreturn]] void NotAnInteger(const std::string& text) {
  throw EConvertError("'" + text + "' is not a valid integer value");
}

}  // namespace

// ----------------------------------------------------------------- TIBXSQLVAR

const std::string& TIBXSQLVAR::Name() const noexcept { return statement_->buffers_->columns[index_].name; }

bool TIBXSQLVAR::IsNull() const noexcept { return statement_->buffers_->indicators[index_] < 0; }

std::string TIBXSQLVAR::AsString() const {
  if (IsNull()) return "";
  IBColumn& c = statement_->buffers_->columns[index_];
  char* p = c.Bytes();
  switch (c.type) {
    case SQL_TEXT:
      return Cp1252ToUtf8(std::string_view(p, static_cast<size_t>(c.length)));
    case SQL_VARYING: {
      unsigned short n;
      std::memcpy(&n, p, sizeof n);
      if (n > static_cast<unsigned short>(c.length)) n = static_cast<unsigned short>(c.length);
      return Cp1252ToUtf8(std::string_view(p + 2, n));
    }
    case SQL_SHORT: {
      int16_t v;
      std::memcpy(&v, p, sizeof v);
      return FormatScaledInteger(v, c.scale);
    }
    case SQL_LONG: {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return FormatScaledInteger(v, c.scale);
    }
    case SQL_INT64: {
      int64_t v;
      std::memcpy(&v, p, sizeof v);
      return FormatScaledInteger(v, c.scale);
    }
    case SQL_FLOAT: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return FormatFloat(v);
    }
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      double v;
      std::memcpy(&v, p, sizeof v);
      return FormatFloat(v);
    }
    case SQL_TIMESTAMP: {
      const FbClient& fb = LoadFbClient();
      ISC_TIMESTAMP ts;
      std::memcpy(&ts, p, sizeof ts);
      struct tm t {};
      fb.isc_decode_timestamp(&ts, &t);
      return FormatDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) + " " +
             FormatTime(t.tm_hour, t.tm_min, t.tm_sec);
    }
    case SQL_TYPE_DATE: {
      const FbClient& fb = LoadFbClient();
      ISC_DATE d;
      std::memcpy(&d, p, sizeof d);
      struct tm t {};
      fb.isc_decode_sql_date(&d, &t);
      return FormatDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    }
    case SQL_TYPE_TIME: {
      const FbClient& fb = LoadFbClient();
      ISC_TIME tt;
      std::memcpy(&tt, p, sizeof tt);
      struct tm t {};
      fb.isc_decode_sql_time(&tt, &t);
      return FormatTime(t.tm_hour, t.tm_min, t.tm_sec);
    }
    case SQL_BLOB: {
      ISC_QUAD id;
      std::memcpy(&id, p, sizeof id);
      if (id.gds_quad_high == 0 && id.gds_quad_low == 0) return "";  // no row fetched
      TIBSQL* s = statement_;
      if (!s->database_) IBClientError(kIBDatabaseNotAssigned);
      s->database_->CheckActive();
      if (!s->transaction_) IBClientError(kIBTransactionNotAssigned);
      s->transaction_->CheckActive();
      const FbClient& fb = LoadFbClient();
      ISC_STATUS* status = ClientStatus();
      IBHandleCell blobCell;
      isc_blob_handle* blob = blobCell.get();
      fb.isc_open_blob2(status, s->database_->Handle(), s->transaction_->Handle(), blob, &id, 0, nullptr);
      if (StatusFailed(status)) RaiseStatus(fb, status);
      std::string bytes;
      char segment[32768];
      for (;;) {
        unsigned short got = 0;
        ISC_STATUS rc = fb.isc_get_segment(status, blob, &got, sizeof segment, segment);
        if (rc == 0 || rc == isc_segment) {
          bytes.append(segment, got);
          continue;
        }
        if (rc == isc_segstr_eof) break;
        StatusReport report = ReadStatus(fb, status);
        fb.isc_close_blob(ClientStatus(), blob);
        RaiseStatus(report);
      }
      fb.isc_close_blob(status, blob);
      return Cp1252ToUtf8(bytes);
    }
    case SQL_BOOLEAN:
      return p[0] ? "True" : "False";
    case SQL_ARRAY:
      return "(Array)";
    default:
      IBClientError(kIBInvalidDataConversion);
  }
}

int64_t TIBXSQLVAR::AsInt64() const {
  if (IsNull()) return 0;
  IBColumn& c = statement_->buffers_->columns[index_];
  char* p = c.Bytes();
  int64_t v = 0;
  switch (c.type) {
    case SQL_SHORT: {
      int16_t x;
      std::memcpy(&x, p, sizeof x);
      v = x;
      break;
    }
    case SQL_LONG: {
      int32_t x;
      std::memcpy(&x, p, sizeof x);
      v = x;
      break;
    }
    case SQL_INT64:
      std::memcpy(&v, p, sizeof v);
      break;
    case SQL_BOOLEAN:
      return p[0] ? 1 : 0;
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      double d;
      if (c.type == SQL_FLOAT) {
        float f;
        std::memcpy(&f, p, sizeof f);
        d = f;
      } else {
        std::memcpy(&d, p, sizeof d);
      }
      d = std::round(d);
      if (!(d >= -9.2e18 && d <= 9.2e18)) NotAnInteger(AsString());
      return static_cast<int64_t>(d);
    }
    default: {
      std::string text = AsString();
      if (!ParseInt64(text, v)) NotAnInteger(text);
      return v;
    }
  }
  if (c.scale >= 0) {
    for (int i = 0; i < c.scale; ++i) {
      if (v > INT64_MAX / 10 || v < INT64_MIN / 10) NotAnInteger(AsString());
      v *= 10;
    }
    return v;
  }
  // Scaled values are rounded half away from zero.
  int64_t p10 = 1;
  for (int i = 0; i < -c.scale && i < 18; ++i) p10 *= 10;
  int64_t q = v / p10, r = v % p10;
  if (r * 2 >= p10) ++q;
  if (r * 2 <= -p10) --q;
  return q;
}

int32_t TIBXSQLVAR::AsInteger() const {
  int64_t v = AsInt64();
  if (v < INT32_MIN || v > INT32_MAX) NotAnInteger(std::to_string(v));
  return static_cast<int32_t>(v);
}

// --------------------------------------------------------------------- TIBSQL

TIBSQL::TIBSQL() = default;

TIBSQL::~TIBSQL() {
  FreeHandle();
  if (transaction_) transaction_->RemoveStatement(this);
  if (database_) database_->RemoveStatement(this);
}

void TIBSQL::SetDatabase(TIBDatabase* database) {
  if (database == database_) return;
  FreeHandle();
  if (database_) database_->RemoveStatement(this);
  database_ = database;
  if (database_) database_->AddStatement(this);
}

void TIBSQL::SetTransaction(TIBTransaction* transaction) {
  if (transaction == transaction_) return;
  Close();
  if (transaction_) transaction_->RemoveStatement(this);
  transaction_ = transaction;
  if (transaction_) {
    transaction_->AddStatement(this);
    if (!database_ && transaction_->DefaultDatabase()) SetDatabase(transaction_->DefaultDatabase());
  }
}

std::string TIBSQL::JoinedText() const {
  std::string text;
  for (size_t i = 0; i < SQL.size(); ++i) {
    if (i) text += '\n';
    text += SQL[i];
  }
  return text;
}

void TIBSQL::Prepare() {
  if (!database_) IBClientError(kIBDatabaseNotAssigned);
  database_->CheckActive();
  if (!transaction_) IBClientError(kIBTransactionNotAssigned);
  transaction_->CheckActive();
  std::string text = JoinedText();
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) IBClientError(kIBEmptyQuery);
  if (stmt_.value() != 0 && text == preparedText_ && ParamCheck == preparedParamCheck_) return;
  FreeHandle();

  ScannedSQL scanned;
  if (ParamCheck) {
    scanned = ScanSQLParameters(text);
  } else {
    scanned.text = text;
  }
  std::string bytes = ToClientText(scanned.text, "statement");
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  IBHandle* stmt = stmt_.get();
  fb.isc_dsql_alloc_statement2(status, database_->Handle(), stmt);
  if (StatusFailed(status)) {
    *stmt = 0;
    RaiseStatus(fb, status);
  }
  try {
    int dialect = database_->SQLDialect();
    fb.isc_dsql_prepare(status, transaction_->Handle(), stmt, ClientTextLength(bytes), bytes.c_str(),
                        static_cast<unsigned short>(dialect), nullptr);
    if (StatusFailed(status)) RaiseStatus(fb, status);
    int type = ReadStatementType(fb, stmt);
    if (type == isc_info_sql_stmt_get_segment || type == isc_info_sql_stmt_put_segment ||
        type == isc_info_sql_stmt_start_trans)
      IBClientError(kIBNotPermitted);

    auto buffers = std::make_unique<Buffers>();
    Describe(fb, stmt, dialect, buffers->out, false);
    XSQLDA* out = buffers->out.Get();
    int n = out->sqld;
    buffers->columns.resize(static_cast<size_t>(n));
    buffers->indicators.assign(static_cast<size_t>(n), 0);
    std::vector<std::string> aliases;
    for (int i = 0; i < n; ++i) {
      XSQLVAR& v = out->sqlvar[i];
      IBColumn& c = buffers->columns[static_cast<size_t>(i)];
      c.type = static_cast<short>(v.sqltype & ~1);
      c.scale = v.sqlscale;
      c.subtype = v.sqlsubtype;
      c.length = v.sqllen;
      c.data.assign(BufferSize(v), 0);
      v.sqltype = static_cast<short>(v.sqltype | 1);  // always ask for the null indicator
      v.sqldata = c.Bytes();
      v.sqlind = &buffers->indicators[static_cast<size_t>(i)];
      aliases.push_back(Cp1252ToUtf8(std::string_view(v.aliasname, static_cast<size_t>(v.aliasname_length))));
    }
    std::vector<std::string> names = NameColumns(aliases);
    for (int i = 0; i < n; ++i) buffers->columns[static_cast<size_t>(i)].name = names[static_cast<size_t>(i)];

    Describe(fb, stmt, dialect, buffers->in, true);
    XSQLDA* in = buffers->in.Get();
    buffers->inValues.assign(static_cast<size_t>(in->sqld), std::string());
    buffers->inIndicators.assign(static_cast<size_t>(in->sqld), -1);
    for (int i = 0; i < in->sqld; ++i) {
      XSQLVAR& v = in->sqlvar[i];
      // Every input travels as text; the server converts it to the
      // parameter's type. All start as NULL.
      v.sqltype = SQL_TEXT | 1;
      v.sqlsubtype = 0;
      v.sqlscale = 0;
      v.sqllen = 0;
      v.sqldata = buffers->inValues[static_cast<size_t>(i)].data();
      v.sqlind = &buffers->inIndicators[static_cast<size_t>(i)];
    }

    sqlType_ = type;
    buffers_ = std::move(buffers);
    preparedText_ = text;
    preparedParamCheck_ = ParamCheck;
    paramNames_ = scanned.params;
    recordCount_ = 0;
    eof_ = false;
  } catch (...) {
    ISC_STATUS* ignored = ClientStatus();
    fb.isc_dsql_free_statement(ignored, stmt, DSQL_drop);
    stmt_.Abandon();  // only when the drop failed
    throw;
  }
}

void TIBSQL::ExecQuery() {
  Prepare();
  Close();
  const FbClient& fb = LoadFbClient();
  // Every execution starts from zeroed buffers: a query without rows reads
  // zeros, never the values of an earlier run.
  for (IBColumn& c : buffers_->columns) std::fill(c.data.begin(), c.data.end(), 0);
  std::fill(buffers_->indicators.begin(), buffers_->indicators.end(), 0);
  recordCount_ = 0;
  eof_ = false;
  ISC_STATUS* status = ClientStatus();
  unsigned short dialect = static_cast<unsigned short>(database_->SQLDialect());
  XSQLDA* in = buffers_->in.Get()->sqld > 0 ? buffers_->in.Get() : nullptr;
  if (sqlType_ == isc_info_sql_stmt_select || sqlType_ == isc_info_sql_stmt_select_for_upd) {
    fb.isc_dsql_execute(status, transaction_->Handle(), stmt_.get(), dialect, in);
    if (StatusFailed(status)) RaiseStatus(fb, status);
    cursorOpen_ = true;
    Next();
    return;
  }
  XSQLDA* out = buffers_->out.Get()->sqld > 0 ? buffers_->out.Get() : nullptr;
  fb.isc_dsql_execute2(status, transaction_->Handle(), stmt_.get(), dialect, in, out);
  if (StatusFailed(status)) RaiseStatus(fb, status);
  // A statement with output values (EXECUTE PROCEDURE, ... RETURNING) has
  // one row, already in the buffers.
  recordCount_ = out ? 1 : 0;
  eof_ = true;
}

bool TIBSQL::Next() {
  if (!cursorOpen_ || eof_) return false;
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  ISC_STATUS rc = fb.isc_dsql_fetch(status, stmt_.get(), static_cast<unsigned short>(database_->SQLDialect()),
                                    buffers_->out.Get());
  if (rc == 100) {
    eof_ = true;
    return false;
  }
  if (StatusFailed(status)) RaiseStatus(fb, status);
  ++recordCount_;
  return true;
}

void TIBSQL::Close() noexcept {
  if (!cursorOpen_) return;
  cursorOpen_ = false;
  if (stmt_.value() == 0) return;
  try {
    const FbClient& fb = LoadFbClient();
    ISC_STATUS* status = ClientStatus();
    fb.isc_dsql_free_statement(status, stmt_.get(), DSQL_close);
  } catch (...) {
  }
}

void TIBSQL::FreeHandle() noexcept {
  Close();
  if (stmt_.value() != 0) {
    try {
      const FbClient& fb = LoadFbClient();
      ISC_STATUS* status = ClientStatus();
      fb.isc_dsql_free_statement(status, stmt_.get(), DSQL_drop);
    } catch (...) {
    }
    stmt_.Abandon();  // only when the drop failed
  }
  buffers_.reset();
  preparedText_.clear();
  paramNames_.clear();
  sqlType_ = 0;
  recordCount_ = 0;
  eof_ = false;
}

size_t TIBSQL::ParamCount() const noexcept {
  return buffers_ ? static_cast<size_t>(buffers_->in.Get()->sqld) : 0;
}

void TIBSQL::SetParamString(size_t index, const std::string& value) {
  if (index >= ParamCount()) IBClientError(kIBParamIndex, std::to_string(index));
  std::string bytes = ToClientText(value, "parameter value");
  if (bytes.size() > 32767) IBClientError(kIBTextNotSendable, "parameter value longer than 32767 bytes");
  XSQLVAR& v = buffers_->in.Get()->sqlvar[index];
  std::string& stored = buffers_->inValues[index];
  stored = std::move(bytes);
  v.sqldata = stored.data();
  v.sqllen = static_cast<ISC_SHORT>(stored.size());
  buffers_->inIndicators[index] = 0;
}

void TIBSQL::SetParamNull(size_t index) {
  if (index >= ParamCount()) IBClientError(kIBParamIndex, std::to_string(index));
  buffers_->inIndicators[index] = -1;
}

size_t TIBSQL::FieldCount() const noexcept { return buffers_ ? buffers_->columns.size() : 0; }

TIBXSQLVAR TIBSQL::Fields(size_t index) {
  if (index >= FieldCount()) IBClientError(kIBFieldNotFound, std::to_string(index));
  return TIBXSQLVAR(this, index);
}

int TIBSQL::FieldIndex(std::string_view name) const {
  if (!buffers_) return -1;
  int dialect = database_ ? database_->SQLDialect() : 3;
  std::string wanted = NormalizeFieldName(name, dialect);
  for (size_t i = 0; i < buffers_->columns.size(); ++i) {
    if (buffers_->columns[i].name == wanted) return static_cast<int>(i);
  }
  return -1;
}

TIBXSQLVAR TIBSQL::FieldByName(std::string_view name) {
  int i = FieldIndex(name);
  if (i < 0) IBClientError(kIBFieldNotFound, name);
  return TIBXSQLVAR(this, static_cast<size_t>(i));
}

// ------------------------------------------------------------------- TIBQuery

bool TField::IsNull() const {
  if (query_->RecordCount() == 0) return true;
  return query_->sql_.Fields(index_).IsNull();
}

std::string TField::AsString() const {
  if (IsNull()) return "";
  return query_->sql_.Fields(index_).AsString();
}

int32_t TField::AsInteger() const {
  if (IsNull()) return 0;
  return query_->sql_.Fields(index_).AsInteger();
}

int64_t TField::AsInt64() const {
  if (IsNull()) return 0;
  return query_->sql_.Fields(index_).AsInt64();
}

TIBQuery::TIBQuery() = default;
TIBQuery::~TIBQuery() = default;

TIBDatabase* TIBQuery::Database() const noexcept { return sql_.Database(); }
void TIBQuery::SetDatabase(TIBDatabase* database) {
  Close();
  sql_.SetDatabase(database);
}
TIBTransaction* TIBQuery::Transaction() const noexcept { return sql_.Transaction(); }
void TIBQuery::SetTransaction(TIBTransaction* transaction) {
  Close();
  sql_.SetTransaction(transaction);
}

void TIBQuery::Run(bool open) {
  if (SQL.empty()) IBClientError(kIBEmptySQLStatement);
  sql_.SQL = SQL;
  sql_.ParamCheck = ParamCheck;
  sql_.ExecQuery();
  if (!open) return;
  fields_.clear();
  for (size_t i = 0; i < sql_.FieldCount(); ++i) fields_.push_back(TField(this, i, sql_.Fields(i).Name()));
  active_ = true;
}

void TIBQuery::Open() {
  if (active_) return;
  Run(true);
}

void TIBQuery::Close() noexcept {
  sql_.Close();
  active_ = false;
  fields_.clear();
}

void TIBQuery::SetActive(bool value) {
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TIBQuery::ExecSQL() {
  Close();
  Run(false);
}

int TIBQuery::RecordCount() const noexcept { return active_ ? sql_.RecordCount() : 0; }

bool TIBQuery::Eof() const noexcept { return !active_ || sql_.Eof(); }

bool TIBQuery::Next() {
  if (!active_) return false;
  return sql_.Next();
}

TField* TIBQuery::FindField(std::string_view name) {
  for (TField& f : fields_) {
    const std::string& n = f.FieldName();
    if (n.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < n.size() && same; ++i) {
      char a = n[i], b = name[i];
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
      if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
      same = a == b;
    }
    if (same) return &f;
  }
  return nullptr;
}

TField& TIBQuery::FieldByName(std::string_view name) {
  TField* f = FindField(name);
  if (!f) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return *f;
}

}  // namespace velmora
