// Windows-1252 ("ANSI code page") <-> UTF-8, the encoding of every text
// exchanged with the database client library and of legacy profile files.
#pragma once

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

// Decodes the UTF-8 sequence that starts at text[pos] into `cp` and returns
// its length in bytes; 0 when the bytes there are not well-formed UTF-8.
size_t DecodeUtf8At(std::string_view text, size_t pos, char32_t& cp);

// `bytes` made valid UTF-8: well-formed sequences are kept, every other byte
// is read as Windows-1252 (so text of either origin survives unchanged).
std::string RepairUtf8(std::string_view bytes);

// Appends the UTF-8 form of code point `cp` (any value up to 0x10FFFF; a
// surrogate is written in its three-byte form).
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace velmora
