#include "archive/IBSQL.h"

#include <algorithm>
#include <cstddef>

#include "archive/IBSQLBuffers.h"
#include "archive/ParameterBlocks.h"
#include "archive/SQLText.h"
#include "platform/CodePage.h"

namespace velmora {

namespace {

// What isc_dsql_fetch returns after the last row: the end of the cursor,
// not an error.
constexpr ISC_STATUS kFetchEndOfCursor = 100;

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

// Gives every output variable described in `out` a value buffer and a null
// indicator, and the name by which FieldByName finds its column.
void BindOutput(XSQLDA& out, std::vector<IBColumn>& columns, std::vector<short>& indicators) {
  int n = out.sqld;
  columns.resize(static_cast<size_t>(n));
  indicators.assign(static_cast<size_t>(n), 0);
  std::vector<std::string> aliases;
  for (int i = 0; i < n; ++i) {
    XSQLVAR& v = out.sqlvar[i];
    IBColumn& c = columns[static_cast<size_t>(i)];
    c.type = static_cast<short>(v.sqltype & ~1);
    c.scale = v.sqlscale;
    c.subtype = v.sqlsubtype;
    c.length = v.sqllen;
    c.data.assign(BufferSize(v), 0);
    v.sqltype = static_cast<short>(v.sqltype | 1);  // always ask for the null indicator
    v.sqldata = c.Bytes();
    v.sqlind = &indicators[static_cast<size_t>(i)];
    aliases.push_back(Cp1252ToUtf8(std::string_view(v.aliasname, static_cast<size_t>(v.aliasname_length))));
  }
  std::vector<std::string> names = NameColumns(aliases);
  for (int i = 0; i < n; ++i) columns[static_cast<size_t>(i)].name = names[static_cast<size_t>(i)];
}

// Every input travels as text; the server converts it to the parameter's
// type. All start as NULL.
void BindInput(XSQLDA& in, std::vector<std::string>& values, std::vector<short>& indicators) {
  values.assign(static_cast<size_t>(in.sqld), std::string());
  indicators.assign(static_cast<size_t>(in.sqld), -1);
  for (int i = 0; i < in.sqld; ++i) {
    XSQLVAR& v = in.sqlvar[i];
    v.sqltype = SQL_TEXT | 1;
    v.sqlsubtype = 0;
    v.sqlscale = 0;
    v.sqllen = 0;
    v.sqldata = values[static_cast<size_t>(i)].data();
    v.sqlind = &indicators[static_cast<size_t>(i)];
  }
}

}  // namespace

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
    BindOutput(*buffers->out.Get(), buffers->columns, buffers->indicators);

    Describe(fb, stmt, dialect, buffers->in, true);
    BindInput(*buffers->in.Get(), buffers->inValues, buffers->inIndicators);

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
  if (rc == kFetchEndOfCursor) {
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

}  // namespace velmora
