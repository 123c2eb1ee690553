#include <cmath>
#include <cstring>

#include "archive/IBSQL.h"
#include "archive/IBSQLBuffers.h"
#include "archive/ParameterBlocks.h"
#include "archive/SQLText.h"
#include "platform/CodePage.h"

namespace velmora {
namespace {

// The value of type T stored at `p` (a column buffer holds it in the client
// library's layout, not necessarily aligned for T).
template <typename T>
T Load(const char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

[[noreturn]] void NotAnInteger(const std::string& text) {
  throw EConvertError("'" + text + "' is not a valid integer value");
}

// The whole text of the blob `id` (read through `database` and
// `transaction`, which must be assigned and active), Windows-1252 decoded.
// The zero id of a column before any row was fetched reads empty. Raises
// EIBInterBaseError when the blob cannot be opened or read.
std::string ReadBlobText(TIBDatabase* database, TIBTransaction* transaction, const ISC_QUAD& id) {
  if (id.gds_quad_high == 0 && id.gds_quad_low == 0) return "";
  if (!database) IBClientError(kIBDatabaseNotAssigned);
  database->CheckActive();
  if (!transaction) IBClientError(kIBTransactionNotAssigned);
  transaction->CheckActive();
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  IBHandleCell blobCell;
  isc_blob_handle* blob = blobCell.get();
  ISC_QUAD blobId = id;
  fb.isc_open_blob2(status, database->Handle(), transaction->Handle(), blob, &blobId, 0, nullptr);
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

}  // namespace

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
      auto n = Load<unsigned short>(p);
      if (n > static_cast<unsigned short>(c.length)) n = static_cast<unsigned short>(c.length);
      return Cp1252ToUtf8(std::string_view(p + 2, n));
    }
    case SQL_SHORT:
      return FormatScaledInteger(Load<int16_t>(p), c.scale);
    case SQL_LONG:
      return FormatScaledInteger(Load<int32_t>(p), c.scale);
    case SQL_INT64:
      return FormatScaledInteger(Load<int64_t>(p), c.scale);
    case SQL_FLOAT:
      return FormatFloat(Load<float>(p));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return FormatFloat(Load<double>(p));
    case SQL_TIMESTAMP: {
      const FbClient& fb = LoadFbClient();
      auto ts = Load<ISC_TIMESTAMP>(p);
      struct tm t {};
      fb.isc_decode_timestamp(&ts, &t);
      return FormatDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) + " " +
             FormatTime(t.tm_hour, t.tm_min, t.tm_sec);
    }
    case SQL_TYPE_DATE: {
      const FbClient& fb = LoadFbClient();
      auto d = Load<ISC_DATE>(p);
      struct tm t {};
      fb.isc_decode_sql_date(&d, &t);
      return FormatDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    }
    case SQL_TYPE_TIME: {
      const FbClient& fb = LoadFbClient();
      auto tt = Load<ISC_TIME>(p);
      struct tm t {};
      fb.isc_decode_sql_time(&tt, &t);
      return FormatTime(t.tm_hour, t.tm_min, t.tm_sec);
    }
    case SQL_BLOB:
      return ReadBlobText(statement_->database_, statement_->transaction_, Load<ISC_QUAD>(p));
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
    case SQL_SHORT:
      v = Load<int16_t>(p);
      break;
    case SQL_LONG:
      v = Load<int32_t>(p);
      break;
    case SQL_INT64:
      v = Load<int64_t>(p);
      break;
    case SQL_BOOLEAN:
      return p[0] ? 1 : 0;
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      double d = std::round(c.type == SQL_FLOAT ? Load<float>(p) : Load<double>(p));
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

}  // namespace velmora
