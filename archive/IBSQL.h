// Statement objects (TIBSQL) and query objects (TIBQuery): run one SQL text on
// a connection and a started transaction, and read the columns of the current
// row as text. Texts are UTF-8 in the program and Windows-1252 on the wire.
//
// Errors: EIBClientError with the layer's numbered messages, EIBInterBaseError
// (or EIBInterBaseRoleError) for an error status of the client library, and
// EDatabaseError "Field '%s' not found" for TIBQuery::FieldByName. A failed
// statement leaves its transaction active and usable. Not copyable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/IBDatabase.h"

namespace velmora {

class TIBSQL;
struct IBColumn;

// One output column of the current row of a TIBSQL. Valid while its statement
// object is prepared; re-preparing or closing the statement invalidates it.
class TIBXSQLVAR {
 public:
  // The column's name as FieldByName matches it (alias, numbered when taken).
  const std::string& Name() const noexcept;
  bool IsNull() const noexcept;
  // The value as text: NULL -> ""; CHAR keeps trailing blanks; numbers,
  // scaled numbers, floats, dates/times, text of blobs, "True"/"False",
  // "(Array)". Raises EIBClientError 38 "Invalid data conversion" for any
  // other type, EIBInterBaseError when reading a blob fails. With no current
  // row the zeroed buffers read as "", "0" or NUL characters.
  std::string AsString() const;
  // Integer columns (scale 0) directly, scaled ones rounded; text parsed as a
  // decimal integer. NULL -> 0. Raises EConvertError "'%s' is not a valid
  // integer value" when the text is not a number or the value does not fit.
  int64_t AsInt64() const;
  int32_t AsInteger() const;

 private:
  friend class TIBSQL;
  TIBXSQLVAR(TIBSQL* statement, size_t index) : statement_(statement), index_(index) {}
  TIBSQL* statement_;
  size_t index_;
};

class TIBSQL {
 public:
  TIBSQL();
  // Closes the cursor and frees the statement handle; the transaction is not
  // touched. Never raises.
  ~TIBSQL();
  TIBSQL(const TIBSQL&) = delete;
  TIBSQL& operator=(const TIBSQL&) = delete;

  TIBDatabase* Database() const noexcept { return database_; }
  // Binds the statement object to a connection (closes and unprepares it).
  void SetDatabase(TIBDatabase* database);
  TIBTransaction* Transaction() const noexcept { return transaction_; }
  // Binds it to a transaction (closes it); when no connection is set yet,
  // the transaction's DefaultDatabase becomes the connection.
  void SetTransaction(TIBTransaction* transaction);

  // The statement text: the lines joined by "\n" when sent. A text that
  // differs from the one prepared is prepared again at the next ExecQuery.
  std::vector<std::string> SQL;
  // true: ":name" / "?name" parameters are scanned (ScanSQLParameters); false:
  // the text goes to the server exactly as written.
  bool ParamCheck = true;

  // Prepares when needed, then executes. A SELECT opens its cursor and
  // fetches the first row at once (RecordCount 1, or Eof and RecordCount 0);
  // any other statement runs once. Nothing is committed.
  // Raises EIBClientError 24 "Database not assigned", 15 "Cannot perform
  // operation -- DB is not open", 25 "Transaction not assigned", 18
  // "Transaction is not active", 42 "Empty query", 55 "SQL Parse Error:...",
  // 5 "Not permitted" (statement types isc_info_sql_stmt_get_segment,
  // isc_info_sql_stmt_put_segment, isc_info_sql_stmt_start_trans), 120 when
  // the text holds a NUL byte or a character outside Windows-1252
  // (ToClientText: nothing is sent altered; texts of 64 KiB and more go
  // whole); EIBInterBaseError from the server.
  void ExecQuery();
  // Prepares the text without executing (same checks as ExecQuery).
  void Prepare();
  bool Prepared() const noexcept { return stmt_.value() != 0; }
  // Fetches the next row of an open cursor; at the end sets Eof and returns
  // false (the buffers keep the last row). Raises EIBInterBaseError.
  bool Next();
  // Closes the cursor (the transaction is not touched); stays prepared.
  void Close() noexcept;
  // Closes and frees the statement handle.
  void FreeHandle() noexcept;

  bool Open() const noexcept { return cursorOpen_; }
  bool Eof() const noexcept { return eof_; }
  // Rows fetched so far.
  int RecordCount() const noexcept { return recordCount_; }
  // The server's statement type (isc_info_sql_stmt_*), 0 when unprepared.
  int SQLType() const noexcept { return sqlType_; }
  // Names of the parameters found by the scan of the last prepared text.
  const std::vector<std::string>& ParamNames() const noexcept { return paramNames_; }
  // Input values bound to the parameters, all NULL unless set: by position,
  // as text (converted to Windows-1252). Raises EIBClientError 120 when the
  // statement is not prepared or the index is out of range.
  void SetParamString(size_t index, const std::string& value);
  void SetParamNull(size_t index);
  size_t ParamCount() const noexcept;

  size_t FieldCount() const noexcept;
  // Column `index` (0-based) of the prepared statement.
  TIBXSQLVAR Fields(size_t index);
  // The column whose name equals NormalizeFieldName(name). Raises
  // EIBClientError 46 "Field "%s" not found" with `name` as given.
  TIBXSQLVAR FieldByName(std::string_view name);
  // Index of that column, or -1.
  int FieldIndex(std::string_view name) const;

 private:
  friend class TIBXSQLVAR;
  friend class TIBDatabase;
  friend class TIBTransaction;
  void Unbind() noexcept;
  std::string JoinedText() const;
  void ExecuteRows();

  TIBDatabase* database_ = nullptr;
  TIBTransaction* transaction_ = nullptr;
  IBHandleCell stmt_;
  std::string preparedText_;
  bool preparedParamCheck_ = true;
  int sqlType_ = 0;
  bool cursorOpen_ = false;
  bool eof_ = false;
  int recordCount_ = 0;
  std::vector<std::string> paramNames_;
  struct Buffers;
  std::unique_ptr<Buffers> buffers_;
};

class TIBQuery;

// One field of a TIBQuery: reads the query's current row.
class TField {
 public:
  const std::string& FieldName() const noexcept { return name_; }
  bool IsNull() const;
  // "" for NULL or when there is no current row; otherwise as TIBXSQLVAR.
  std::string AsString() const;
  // 0 for NULL or no current row; otherwise as TIBXSQLVAR::AsInteger.
  int32_t AsInteger() const;
  int64_t AsInt64() const;

 private:
  friend class TIBQuery;
  TField(TIBQuery* query, size_t index, std::string name)
      : query_(query), index_(index), name_(std::move(name)) {}
  TIBQuery* query_;
  size_t index_;
  std::string name_;
};

class TIBQuery {
 public:
  TIBQuery();
  ~TIBQuery();
  TIBQuery(const TIBQuery&) = delete;
  TIBQuery& operator=(const TIBQuery&) = delete;

  TIBDatabase* Database() const noexcept;
  void SetDatabase(TIBDatabase* database);
  TIBTransaction* Transaction() const noexcept;
  void SetTransaction(TIBTransaction* transaction);

  // The statement text (lines joined by "\n"). Changing it while closed
  // discards the prepared statement at the next Open/ExecSQL.
  std::vector<std::string> SQL;
  bool ParamCheck = true;

  // Prepares and runs a SELECT (same checks and errors as TIBSQL::ExecQuery;
  // an empty text raises EIBClientError 65 "Empty SQL Statement"); the
  // first row, if any, is current afterwards. Open on an active query does
  // nothing.
  void Open();
  // Closes the cursor; the transaction is not touched. Fields become invalid.
  void Close() noexcept;
  bool Active() const noexcept { return active_; }
  void SetActive(bool value);
  // Runs a statement that returns no rows once. Raises EIBClientError 65
  // "Empty SQL Statement" without lines, otherwise as TIBSQL::ExecQuery.
  void ExecSQL();

  // Rows fetched so far: 0 when the query yields no row.
  int RecordCount() const noexcept;
  bool Eof() const noexcept;
  // Moves to the next row; false at the end.
  bool Next();

  size_t FieldCount() const noexcept { return fields_.size(); }
  TField& Fields(size_t index) { return fields_.at(index); }
  // Case-insensitive lookup of an open query's field. Raises EDatabaseError
  // "Field '%s' not found" (also when the query is not open).
  TField& FieldByName(std::string_view name);
  // nullptr when absent.
  TField* FindField(std::string_view name);

 private:
  friend class TField;
  void Run(bool open);

  TIBSQL sql_;
  bool active_ = false;
  std::vector<TField> fields_;
};

}  // namespace velmora
