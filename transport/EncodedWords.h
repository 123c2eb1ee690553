// The names in a part header of the upload body: escaped so they stay inside
// their quotation marks, converted to the header charset of the system
// locale, and written as RFC 2047 encoded-words where they are not plain
// printable ASCII. Pure functions over bytes.
#pragma once

#include <string>
#include <string_view>

#include "platform/Locale.h"

namespace velmora {

// The charset used for encoded-words in part headers, by the primary language
// of the system locale: "GB2312", "Big5", "ISO-2022-JP", "csEUCKR", "KOI8-R",
// "windows-1251", else "UTF-8".
std::string HeaderCharsetFor(PrimaryLanguage language);

// Replaces `"`, CR and LF with "%22", "%0D", "%0A", so that a name can never
// close its quoted string or start a header line of its own.
std::string EscapeQuotedName(std::string_view name);

// Converts UTF-8 text to `charset` through iconv. A character the charset
// cannot hold, and every byte of invalid UTF-8, becomes "?". An unknown
// charset yields the text with every non-ASCII character as "?".
std::string ConvertUtf8To(std::string_view text, std::string_view charset);

// Applies the RFC 2047 encoded-word rules ("B" encoding) to `bytes`, already
// in `charset`: words (split at blanks, tabs, CR and LF) whose bytes all lie
// in 32..126 stay as they are; each run of words that need encoding, with the
// blanks between them, becomes encoded-words of at most 75 characters joined
// by CR LF and a blank. When `bytes` holds something that reads as an
// encoded-word, "=" also counts as a byte that needs encoding. The result is
// printable ASCII plus those CR LF blank joints.
std::string EncodeHeaderWords(std::string_view bytes, std::string_view charset);

// A field or file name as it goes between the quotation marks of the part
// header: escaped, converted to `charset` and encoded as above.
std::string EncodeHeaderName(std::string_view utf8Name, std::string_view charset);

}  // namespace velmora
