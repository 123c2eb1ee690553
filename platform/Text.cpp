#include "platform/Text.h"

namespace velmora {

std::string_view TrimLeft(std::string_view s, std::string_view blanks) {
  size_t b = s.find_first_not_of(blanks);
  return b == std::string_view::npos ? s.substr(s.size()) : s.substr(b);
}

std::string_view TrimRight(std::string_view s, std::string_view blanks) {
  size_t e = s.find_last_not_of(blanks);
  return e == std::string_view::npos ? s.substr(0, 0) : s.substr(0, e + 1);
}

std::string_view Trim(std::string_view s, std::string_view blanks) {
  return TrimRight(TrimLeft(s, blanks), blanks);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace velmora
