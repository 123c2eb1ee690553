// The text of an answer body: its bytes decoded by the charset the answer
// names, or by the one its HTML or XML text names, to UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "transport/HttpHead.h"

namespace velmora {

// The answer text: body bytes decoded by the answer's charset (a name or
// alias iconv knows, compared without case); without one, a charset named
// inside an HTML or XML body; else for text/* ISO-8859-1 (US-ASCII for the
// XML ones such as text/xml); else (or for an unknown name) each byte as the character
// of the same code. Bytes invalid in the chosen charset become U+FFFD.
// Returns UTF-8.
std::string DecodeBody(std::string_view bytes, const HttpResponseHead& head);
// The same result, taking the bytes: when decoding would not change them
// (ASCII bytes in an ASCII-compatible charset or byte for byte, or valid
// UTF-8 named UTF-8) they are returned themselves, without a copy.
std::string DecodeBody(std::string&& bytes, const HttpResponseHead& head);
// Decodes bytes in the named charset to UTF-8; false when iconv does not
// know the name.
bool DecodeCharset(std::string_view bytes, std::string_view charset, std::string& out);

}  // namespace velmora
