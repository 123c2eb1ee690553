// Pure functions over statement texts: the parameter scan of a statement
// text, the naming and lookup of output columns, the text forms of column
// values, and the one place where values are written into SQL (quoted texts,
// checked user codes, generator names and row identifiers, the row update of
// the publication tables). No client library is needed to call them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
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
// removed, doubled quotes made single) except in dialect 1; any other name,
// and every name in dialect 1, in upper case (ASCII letters).
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

// ---- Values written into statement texts ----

// `text` with every apostrophe doubled, for a value written between
// apostrophes in a statement.
std::string TestoSQL(std::string_view text);

// `text` between apostrophes, every apostrophe inside doubled: the SQL string
// literal that holds exactly `text`.
std::string QuotedSQLText(std::string_view text);

// `text` between double quotes, every double quote inside doubled: a quoted
// name or value that cannot end early.
std::string DoubleQuotedSQLText(std::string_view text);

// The statement form of a user code: its decimal text when `text` is a
// decimal integer (optional sign, digits, 32-bit range), so nothing but a
// number reaches the statement. Raises EConvertError "'<text>' is not a
// valid integer value" otherwise.
std::string CodiceUtente(std::string_view text);

// Accepts a generator name as a statement may hold it: a plain identifier (a
// letter, then letters, digits, "_" and "$"), or a quoted one ("..." with
// each inner quote doubled, no NUL, CR or LF). Raises EDatabaseError
// "'<nome>' is not a valid generator name" otherwise.
void ControllaNomeGeneratore(std::string_view nome);

// The row identifier that `text` spells, when it is an optional "-" and 1 to
// 18 decimal digits and nothing else; none otherwise. Parsed once where the
// identifier enters the program, the number (never the text) goes into the
// statements.
std::optional<int64_t> IdentificativoRiga(std::string_view text);

// One value of a row update: column name and the text written between
// apostrophes (apostrophes doubled).
struct ValoreColonna {
  std::string_view colonna;
  std::string_view testo;
};

// How "ID" meets the identifier in the condition of a row update: the
// album-row updates write "WHERE ID = ", the transfer update "WHERE ID=".
enum class UgualeId { ConSpazi, Attaccato };

// The two lines of a row update of the publication tables:
// "UPDATE " + tabella + " SET " + C1 + "='" + v1 + "', " + C2 + "='" + v2 +
// "'" (each value through TestoSQL), then "WHERE ID = " or "WHERE ID=" (as
// `uguale` says) + the decimal text of `id`. `tabella` and the column names
// are the program's own constants.
std::vector<std::string> AggiornamentoRiga(std::string_view tabella,
                                           std::initializer_list<ValoreColonna> valori, UgualeId uguale,
                                           int64_t id);

}  // namespace velmora
