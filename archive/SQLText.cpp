#include "archive/SQLText.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <set>

#include "archive/ParameterBlocks.h"
#include "platform/Exceptions.h"
#include "platform/Text.h"

namespace velmora {

namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}

}  // namespace

ScannedSQL ScanSQLParameters(std::string_view sql) {
  enum class State { Default, SingleQuote, DoubleQuote, Comment, Param, QuotedParam };
  ScannedSQL out;
  out.text.reserve(sql.size());
  State state = State::Default;
  std::string name;
  size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    switch (state) {
      case State::Default:
        if (c == '\'') {
          state = State::SingleQuote;
        } else if (c == '"') {
          state = State::DoubleQuote;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
          out.text += "/*";
          i += 2;
          state = State::Comment;
          continue;
        } else if (c == ':' || c == '?') {
          name.clear();
          state = State::Param;
          ++i;
          continue;
        }
        out.text += c;
        ++i;
        break;
      case State::SingleQuote:
      case State::DoubleQuote:
        // A doubled quote closes and at once reopens the quoted text.
        if ((state == State::SingleQuote && c == '\'') || (state == State::DoubleQuote && c == '"'))
          state = State::Default;
        out.text += c;
        ++i;
        break;
      case State::Comment:
        if (c == '*' && i + 1 < sql.size() && sql[i + 1] == '/') {
          out.text += "*/";
          i += 2;
          state = State::Default;
          continue;
        }
        out.text += c;
        ++i;
        break;
      case State::Param:
        if (c == '"' && name.empty()) {
          state = State::QuotedParam;
          ++i;
        } else if (IsNameChar(c)) {
          name += c;
          ++i;
        } else {
          if (name.empty()) IBClientError(kIBSQLParseError, "Parameter name expected");
          out.text += '?';
          out.params.push_back(name);
          state = State::Default;  // this character is read again as plain text
        }
        break;
      case State::QuotedParam:
        if (c == '"') {
          if (i + 1 < sql.size() && sql[i + 1] == '"') {
            name += '"';
            i += 2;
          } else {
            if (name.empty()) IBClientError(kIBSQLParseError, "Parameter name expected");
            out.text += '?';
            out.params.push_back(name);
            state = State::Default;
            ++i;
          }
        } else {
          name += c;
          ++i;
        }
        break;
    }
  }
  switch (state) {
    case State::SingleQuote:
    case State::DoubleQuote:
    case State::QuotedParam:
      IBClientError(kIBSQLParseError, "EOF in string detected");
    case State::Comment:
      IBClientError(kIBSQLParseError, "EOF in comment detected");
    case State::Param:
      if (name.empty()) IBClientError(kIBSQLParseError, "Parameter name expected");
      out.text += '?';
      out.params.push_back(name);
      break;
    case State::Default:
      break;
  }
  return out;
}

std::string NormalizeFieldName(std::string_view name, int dialect) {
  size_t b = 0, e = name.size();
  while (b < e && static_cast<unsigned char>(name[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(name[e - 1]) <= ' ') --e;
  std::string_view t = name.substr(b, e - b);
  // Only dialect 1 has no quoted names: there every name is upper-cased.
  if (dialect != 1 && !t.empty() && t.front() == '"') {
    std::string_view inner = t.substr(1);
    if (!inner.empty() && inner.back() == '"') inner.remove_suffix(1);
    std::string out;
    for (size_t i = 0; i < inner.size(); ++i) {
      out += inner[i];
      if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;
    }
    return out;
  }
  return UpperAscii(t);
}

std::vector<std::string> NameColumns(const std::vector<std::string>& aliases) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  names.reserve(aliases.size());
  for (const std::string& alias : aliases) {
    std::string name;
    if (alias.empty()) {
      for (int n = 1;; ++n) {
        name = "F_" + std::to_string(n);
        if (!taken.count(name)) break;
      }
    } else if (taken.count(alias)) {
      for (int n = 1;; ++n) {
        name = alias + std::to_string(n);
        if (!taken.count(name)) break;
      }
    } else {
      name = alias;
    }
    taken.insert(name);
    names.push_back(name);
  }
  return names;
}

std::string FormatScaledInteger(int64_t value, int scale) {
  if (scale == 0) return std::to_string(value);
  if (scale > 0) {
    std::string s = std::to_string(value);
    if (value != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  if (scale < -4) return FormatFloat(static_cast<double>(value) / std::pow(10.0, -scale));
  uint64_t p = 1;
  for (int i = 0; i < -scale; ++i) p *= 10;
  bool negative = value < 0;
  uint64_t magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  uint64_t whole = magnitude / p, frac = magnitude % p;
  std::string s = negative ? "-" : "";
  s += std::to_string(whole);
  if (frac != 0) {
    std::string digits = std::to_string(frac);
    digits.insert(0, static_cast<size_t>(-scale) - digits.size(), '0');
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    s += "." + digits;
  }
  return s;
}

std::string FormatFloat(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string s = buf;
  size_t e = s.find('e');
  if (e == std::string::npos) return s;
  // "1.5e-07" -> "1.5E-7", "1e+20" -> "1E20".
  std::string mantissa = s.substr(0, e);
  std::string exponent = s.substr(e + 1);
  std::string sign;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    if (exponent[0] == '-') sign = "-";
    exponent.erase(0, 1);
  }
  while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
  return mantissa + "E" + sign + exponent;
}

std::string FormatDate(int year, int month, int day) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
  return buf;
}

std::string FormatTime(int hour, int minute, int second) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
  return buf;
}

bool ParseInt64(std::string_view text, int64_t& value) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  std::string_view t = text.substr(b, e - b);
  if (!t.empty() && t[0] == '+') {
    t.remove_prefix(1);
    if (!t.empty() && t[0] == '-') return false;
  }
  if (t.empty()) return false;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  return ec == std::errc() && p == t.data() + t.size();
}

std::string TestoSQL(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string QuotedSQLText(std::string_view text) { return "'" + TestoSQL(text) + "'"; }

std::string DoubleQuotedSQLText(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string CodiceUtente(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool valid = i < text.size();
  int64_t magnitude = 0;
  for (; valid && i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') {
      valid = false;
    } else {
      magnitude = magnitude * 10 + (c - '0');
      if (magnitude > (int64_t{1} << 31) || (!negative && magnitude > INT32_MAX)) valid = false;
    }
  }
  if (!valid) throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return std::to_string(negative ? -magnitude : magnitude);
}

void ControllaNomeGeneratore(std::string_view nome) {
  auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  bool valid = false;
  if (!nome.empty() && isLetter(nome[0])) {
    valid = true;
    for (char c : nome)
      if (!IsNameChar(c)) valid = false;
  } else if (nome.size() >= 3 && nome.front() == '"' && nome.back() == '"') {
    valid = true;
    for (size_t i = 1; i + 1 < nome.size(); ++i) {
      char c = nome[i];
      if (c == '\0' || c == '\r' || c == '\n') valid = false;
      if (c == '"') {
        if (i + 2 < nome.size() && nome[i + 1] == '"') {
          ++i;
        } else {
          valid = false;
        }
      }
    }
  }
  if (!valid) throw EDatabaseError("'" + std::string(nome) + "' is not a valid generator name");
}

std::optional<int64_t> IdentificativoRiga(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');  // 18 digits always fit
  }
  return negative ? -value : value;
}

std::vector<std::string> AggiornamentoRiga(std::string_view tabella,
                                           std::initializer_list<ValoreColonna> valori, UgualeId uguale,
                                           int64_t id) {
  std::string set = "UPDATE " + std::string(tabella) + " SET ";
  bool primo = true;
  for (const ValoreColonna& valore : valori) {
    if (!primo) set += ", ";
    primo = false;
    set += valore.colonna;
    set += "='";
    set += TestoSQL(valore.testo);
    set += '\'';
  }
  std::string where = uguale == UgualeId::ConSpazi ? "WHERE ID = " : "WHERE ID=";
  where += std::to_string(id);
  return {std::move(set), std::move(where)};
}

}  // namespace velmora
