// Pure functions of the statement objects: the parameter scan of a statement
// text, the naming and lookup of output columns, and the text forms of
// column values. No client library is needed to call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct ScannedSQL {
  std::string text;                 // the text to send: each parameter replaced by "?"
  std::vector<std::string> params;  // parameter names in order of appearance
};

// Scans `sql`: single- and double-quoted texts (a doubled quote stays inside)
// and /* */ comments pass unchanged; elsewhere ":" or "?" starts a parameter
// whose name is letters, digits, "_" and "$", or a double-quoted name
// (doubled quotes made single). Raises EIBClientError 55 "SQL Parse Error:"
// CR LF CR LF + "Parameter name expected" (no name), "EOF in string
// detected" or "EOF in comment detected".
ScannedSQL ScanSQLParameters(std::string_view sql);

// The lookup form of a field name: trimmed; "\"A\"\"b\"" -> "A\"b" (quotes
// removed, doubled quotes made single) unless dialect < 3, otherwise upper
// case (ASCII letters).
std::string NormalizeFieldName(std::string_view name, int dialect);

// The names of output columns from their alias names in order: a name taken
// by an earlier column gets the first free number from 1 appended ("ID",
// "ID1"); an empty name becomes "F_1" (or the first free number above 1).
std::vector<std::string> NameColumns(const std::vector<std::string>& aliases);

// Text forms of values.
// A scaled integer value * 10^scale: scale 0 the decimal number; -1..-4 the
// currency text (no trailing zeros: "12.5", "3", "-0.0001"); below -4 the
// floating-point text of FormatFloat.
std::string FormatScaledInteger(int64_t value, int scale);
// Up to 15 significant digits, "." as decimal separator, exponent form as
// "1.5E-7" / "1E20" when needed; "NAN", "INF", "-INF".
std::string FormatFloat(double value);
// "YYYY-MM-DD", "HH:MM:SS", "YYYY-MM-DD HH:MM:SS".
std::string FormatDate(int year, int month, int day);
std::string FormatTime(int hour, int minute, int second);

// Parses a decimal integer text (blanks around allowed) for AsInteger;
// false when it is not one or does not fit in int64.
bool ParseInt64(std::string_view text, int64_t& value);

}  // namespace velmora
