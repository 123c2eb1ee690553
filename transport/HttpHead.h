// Header lines and the heads of both directions on the wire: the request head
// writer and the fields read from an answer's status line and headers. Pure
// functions over text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// Header lines in order: name, value.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The value of the first header named `name` (compared without case), or
// empty.
std::string HeaderValue(const HeaderList& headers, std::string_view name);

// A header value as 7-bit text: each character outside ASCII and each control
// character (CR, LF, ...) becomes "?", so a value can never add a line.
std::string SevenBitHeaderText(std::string_view utf8);

// The request head: request line, header lines in the given order (empty
// values left out), empty line.
std::string FormatRequestHead(std::string_view method, std::string_view target, bool http10,
                              const HeaderList& headers);

// One answer's status line and headers with the fields read from them.
struct HttpResponseHead {
  std::string statusLine;  // as received, without the line end
  int code = -1;           // -1 when the second token is not a number
  HeaderList headers;
  std::string mediaType;  // "Content-Type" up to ";", trimmed
  std::string charSet;    // its "charset" parameter, without quotes
  std::string boundary;   // its "boundary" parameter (multipart answers)
  std::string connection;
  std::string location;
  int64_t contentLength = -1;  // -1 when absent or invalid
  // Not empty when the "Content-Length" lines cannot frame the body: a value
  // that is not a plain non-negative decimal number ("Invalid
  // Content-Length.") or lines with different values ("Conflicting
  // Content-Length values."); identical repeats are accepted.
  std::string contentLengthError;
  bool chunked = false;
  bool http10 = false;  // the answer's version is HTTP/1.0
};

// The status code of a status line: the token after the first blank up to
// the next blank, -1 when it is not a decimal number.
int StatusCodeOf(std::string_view statusLine);
// Fills the derived fields of `head` from its status line and headers.
void DeriveHeadFields(HttpResponseHead& head);

}  // namespace velmora
