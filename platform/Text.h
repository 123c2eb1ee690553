// Small byte-level text primitives shared by every layer: trimming with a
// blank set the caller names, and ASCII case-insensitive comparison. They
// never allocate except LowerAscii and UpperAscii, and never look at the locale.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// Blank sets for Trim. Each names the characters one format treats as blank.
// Space and horizontal tab: HTTP header values, cookies, media types.
inline constexpr std::string_view kSpaceTab = " \t";
// Space, tab, vertical tab and form feed: profile (INI) file lines.
inline constexpr std::string_view kSpaceTabVtFf = " \t\v\f";
// Every byte up to and including space (0x00..0x20): settings text, the
// parameter-block text forms.
inline constexpr std::string_view kControlsAndSpace{
    "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F"
    "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F\x20",
    33};

// `s` without the leading / trailing / leading and trailing bytes that are
// in `blanks`. The result views `s`.
std::string_view TrimLeft(std::string_view s, std::string_view blanks);
std::string_view TrimRight(std::string_view s, std::string_view blanks);
std::string_view Trim(std::string_view s, std::string_view blanks);

// `c` with A-Z made a-z; every other byte unchanged.
constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// `s` with A-Z made a-z; every other byte unchanged.
std::string LowerAscii(std::string_view s);

// `c` with a-z made A-Z; every other byte unchanged.
constexpr char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// `s` with a-z made A-Z; every other byte unchanged.
std::string UpperAscii(std::string_view s);

// True when `a` and `b` are equal once A-Z and a-z are taken as the same;
// bytes outside ASCII must match exactly.
bool EqualsNoCase(std::string_view a, std::string_view b);

// True when `s` begins with `prefix` in the sense of EqualsNoCase.
bool StartsWithNoCase(std::string_view s, std::string_view prefix);

}  // namespace velmora
