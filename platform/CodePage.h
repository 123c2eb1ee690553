// Windows-1252 ("ANSI code page") <-> UTF-8, the encoding of every text
// exchanged with the database client library and of legacy profile files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// Decodes Windows-1252 bytes. All 256 bytes map; the five unassigned ones
// (0x81 0x8D 0x8F 0x90 0x9D) map to U+0081 ... U+009D as Windows does.
std::string Cp1252ToUtf8(std::string_view bytes);

// Encodes UTF-8 text as Windows-1252. A character without a Windows-1252
// form, and every byte of invalid UTF-8, becomes "?".
std::string Utf8ToCp1252(std::string_view text);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// The one UTF-8 decoder of the program. Well-formed means: no overlong form,
// no encoded surrogate (U+D800..U+DFFF), nothing above U+10FFFF, no stray or
// missing continuation byte.

// The length (2, 3 or 4) of the well-formed multi-byte sequence starting at
// `p`, or 0 when the bytes there are not one (also when `end` cuts it off).
// Requires p < end and *p >= 0x80; inline because the JSON reader calls it
// for every non-ASCII character.
inline size_t Utf8SequenceLength(const char* p, const char* end) {
  const auto b0 = static_cast<unsigned char>(p[0]);
  const size_t available = static_cast<size_t>(end - p);
  auto continuation = [p](size_t i, unsigned char low, unsigned char high) {
    const auto b = static_cast<unsigned char>(p[i]);
    return b >= low && b <= high;
  };
  if (b0 < 0xC2) return 0;  // a continuation byte, or the lead of an overlong form
  if (b0 < 0xE0) return available >= 2 && continuation(1, 0x80, 0xBF) ? 2 : 0;
  if (b0 < 0xF0) {
    const unsigned char low = b0 == 0xE0 ? 0xA0 : 0x80;   // E0 80..9F is overlong
    const unsigned char high = b0 == 0xED ? 0x9F : 0xBF;  // ED A0..BF is a surrogate
    return available >= 3 && continuation(1, low, high) && continuation(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b0 < 0xF5) {
    const unsigned char low = b0 == 0xF0 ? 0x90 : 0x80;   // F0 80..8F is overlong
    const unsigned char high = b0 == 0xF4 ? 0x8F : 0xBF;  // F4 90.. is above U+10FFFF
    return available >= 4 && continuation(1, low, high) && continuation(2, 0x80, 0xBF) &&
                   continuation(3, 0x80, 0xBF)
               ? 4
               : 0;
  }
  return 0;
}

// Decodes the UTF-8 sequence that starts at text[pos] into `cp` and returns
// its length in bytes; 0 (cp unspecified) when the bytes there are not
// well-formed UTF-8 or pos is past the end.
size_t DecodeUtf8At(std::string_view text, size_t pos, char32_t& cp);

// `bytes` made valid UTF-8: well-formed sequences are kept, every other byte
// is read as Windows-1252 (so text of either origin survives unchanged).
std::string RepairUtf8(std::string_view bytes);

// Appends the UTF-8 form of code point `cp` (any value up to 0x10FFFF; a
// surrogate is written in its three-byte form).
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace velmora
