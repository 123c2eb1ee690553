// Pure functions of the database layer: the attach and transaction parameter
// blocks, the CREATE DATABASE text, the error text built from the client
// library's message lines, and the layer's own numbered client errors. No
// client library is needed to call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exceptions.h"

namespace velmora {

// Numbers (= EIBClientError::SQLCode) and texts of the layer's own errors.
enum IBClientErrorNumber : int32_t {
  kIBLibraryNotFound = 1,  // "InterBase library %s not found in the path. ..."
  kIBNotPermitted = 5,     // "Not permitted"
  kIBDPBUnsupported = 11,  // "DPB Constant (isc_dpb_%s) is unsupported"
  kIBTPBUnknown = 12,      // "TPB Constant (%s) is unknown"
  kIBTPBUnsupported = 13,  // "TPB Constant (isc_tpb_%s) is unsupported"
  kIBDatabaseClosed = 15,  // "Cannot perform operation -- DB is not open"
  kIBDatabaseOpen = 16,    // "Cannot perform operation -- DB is currently open"
  kIBDatabaseNameMissing = 17,
  kIBNotInTransaction = 18,  // "Transaction is not active"
  kIBInTransaction = 19,     // "Transaction is active"
  kIBNoDatabasesInTransaction = 21,
  kIBDatabaseNotAssigned = 24,
  kIBTransactionNotAssigned = 25,
  kIBInvalidDataConversion = 38,
  kIBEmptyQuery = 42,
  kIBFieldNotFound = 46,  // "Field \"%s\" not found"
  kIBSQLParseError = 55,  // "SQL Parse Error:" CR LF CR LF + detail
  kIBEmptySQLStatement = 65,
  kIBSQLDialectInvalid = 87,
  kIBDPBUnknown = 114,  // "DPB Constant (%s) is unknown"
  // Errors of this layer beyond the classic table.
  kIBTextNotSendable = 120,    // a text the client API cannot carry whole
  kIBValueTooLong = 121,       // a parameter block value longer than 255 bytes
  kIBParamIndex = 122,         // a parameter index out of range
  kIBLibraryIncomplete = 123,  // the client library lacks an entry point
};

// The message of client error `number` with `arg` put into its "%s".
std::string IBClientErrorMessage(IBClientErrorNumber number, std::string_view arg = {});
// Raises EIBClientError(IBClientErrorMessage(number, arg), number).
[[noreturn]] void IBClientError(IBClientErrorNumber number, std::string_view arg = {});

// A UTF-8 text in the connection's code page (Windows-1252), for the client
// API. Raises EIBClientError 120 naming `what` when the text is not valid
// UTF-8, holds a character Windows-1252 lacks, or holds a NUL byte (which the
// client API would take as the end of the text): nothing is sent altered.
std::string ToClientText(std::string_view utf8, std::string_view what);

// The 16-bit length argument for a NUL-terminated client text: its length
// below 64 KiB, else 0 ("up to the terminating NUL", which ToClientText
// guarantees is the text's end).
unsigned short ClientTextLength(const std::string& clientText) noexcept;

// The published isc_dpb_* names (without prefix, lower case) and numbers of
// the client API: 88 names, "cdd_pathname" = 1 ... "nolinger" = 88.
// Returns the number, or 0 when `name` (any case) is not in the table.
int DPBConstantNumber(std::string_view name);

// The database parameter block for `params` (UTF-8 lines): version byte 1,
// then per non-blank trimmed line "name=value" (or "name" with an empty
// value): the lower-cased name loses a leading "isc_dpb_" and is looked up.
// Text-valued names (user_name, password, lc_ctype, sql_role_name, ...) give
// number, length, Windows-1252 bytes; the integer-valued num_buffers,
// page_size, sql_dialect, ... give number, 4, value (low byte first); flag
// names give number, 1, value (default 0).
// Raises EIBClientError 114 "DPB Constant (<name part>) is unknown", 11
// "DPB Constant (isc_dpb_<name>) is unsupported", 121 when a value exceeds
// 255 bytes, 120 when an integer value is not a number.
std::string BuildDPB(const std::vector<std::string>& params);

// The transaction option names of the table (1 "consistency" ... 23
// "wait_time"); "" outside 1..23.
std::string_view TransactionOptionName(int number);
// The number of an option name (any case, without "isc_tpb_"), or 0.
int TransactionOptionNumber(std::string_view name);

// The transaction parameter block for `params`: empty without non-blank
// lines; otherwise version byte 3 followed per line by the option's byte;
// lock_read / lock_write as byte, length, Windows-1252 table name (the text
// after "="); wait_time as byte, 4, 4-byte value low byte first.
// Raises EIBClientError 13 "TPB Constant (isc_tpb_<name>) is unsupported" for
// verb_time, commit_time, autocommit; 12 "TPB Constant (<name>) is unknown";
// 121 / 120 as BuildDPB.
std::string BuildTPB(const std::vector<std::string>& params);

// True when some line of `params` gives a value to "user_name" (the create
// path through the parameter block).
bool ParamsHaveUserName(const std::vector<std::string>& params);

// "CREATE DATABASE '" + name + "' " + every line followed by a blank
// (each line break, CR LF or single, becomes one blank). A quote inside the
// name is doubled so the name cannot end the literal early.
std::string CreateDatabaseStatement(const std::string& databaseName, const std::vector<std::string>& params);

// The message of a client library error from its interpreted lines: CR LF
// before every line unless the text so far is empty or ends with LF; a final
// "." removed.
std::string JoinErrorLines(const std::vector<std::string>& lines);

// EIBInterBaseRoleError for SQL code -551, EIBInterBaseError otherwise.
[[noreturn]] void RaiseIBError(const std::string& message, int32_t sqlCode, int32_t ibErrorCode);

}  // namespace velmora
