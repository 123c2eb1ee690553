// The HTTP wire format as pure functions over text and streams: URL reading,
// the request head writer, the answer reader (status line, headers, body
// framing) and the charset decoding of answer bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/HttpStream.h"

namespace velmora {

// Header lines in order: name, value.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The value of the first header named `name` (compared without case), or
// empty.
std::string HeaderValue(const HeaderList& headers, std::string_view name);
// True when two ASCII texts are equal without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// A URL read as scheme "://" [userinfo "@"] host [":" port] path document
// ["?" query]. The path ends with "/" (it is "/" when the URL has none).
struct Url {
  std::string scheme;
  std::string host;  // without the brackets of an IPv6 literal
  bool ipv6Literal = false;
  int port = -1;  // -1 when the URL names none
  std::string path;
  std::string document;
  std::string query;  // without "?"
  bool hasQuery = false;
};

// Reads a URL. Never throws: a text without "://" has an empty scheme and
// host; an unparsable port counts as none.
Url ParseUrl(std::string_view url);
// The default port of a scheme (80 http, 443 https, compared without case),
// -1 for any other.
int DefaultPort(std::string_view scheme);
// The port of a request: the URL's, else the scheme's default. Raises
// EIdHostRequired "A Host is required" for an empty host and
// EIdUnknownProtocol "Unknown Protocol" when neither gives a port.
int RequestPort(const Url& url);
// The request target: path, document and "?" query as written, except that
// control characters, blanks and bytes outside ASCII are percent-encoded so
// that nothing can split the request line.
std::string RequestTarget(const Url& url);
// The "Host" value: host (IPv6 literal in brackets), plus ":" port when the
// port is not the scheme's default.
std::string HostHeaderValue(const Url& url, int port);

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

// Bounds that keep a hostile answer from exhausting memory.
struct ReaderLimits {
  size_t maxLineLength = 16384;  // longer: EIdReadLnMaxLineLengthExceeded
  size_t maxHeaderLines = 1000;  // per answer, 1xx and trailers included
  // Larger: EIdException "Response body too large.". The largest answer of
  // the run is a photo listing; one of 10 000 photos at up to 4 KB each is
  // about 40 MB. While a body is read its buffer never outgrows this bound.
  uint64_t maxBodyBytes = 128ull * 1024 * 1024;
};

// Reads answers from a stream through its own buffer; keep one reader per
// connection so bytes read ahead are not lost.
class ResponseReader {
 public:
  explicit ResponseReader(HttpStream& stream, ReaderLimits limits = {});
  ResponseReader(const ResponseReader&) = delete;
  ResponseReader& operator=(const ResponseReader&) = delete;

  // One line up to LF, a CR before it dropped, bytes above 127 as U+FFFD
  // (UTF-8). Raises EIdConnClosedGracefully at end of data before LF and
  // EIdReadLnMaxLineLengthExceeded "Max line length exceeded.".
  std::string ReadLine();
  // Status line and header lines up to the empty line. Raises as ReadLine,
  // and EIdException "Too many header lines." beyond the limit.
  HttpResponseHead ReadHead();
  // The head of the final answer: informational answers (1xx except 101)
  // are skipped. `onHead` (may be empty) sees every head read, so that
  // "Set-Cookie" lines of skipped answers count too.
  template <typename OnHead>
  HttpResponseHead ReadFinalHead(OnHead&& onHead) {
    size_t lines = 0;
    for (;;) {
      HttpResponseHead head = ReadHead();
      onHead(head);
      lines += head.headers.size() + 1;
      if (head.code < 100 || head.code > 199 || head.code == 101) return head;
      if (lines > limits_.maxHeaderLines) ThrowTooManyLines();
    }
  }
  // The body bytes of an answer by its framing: chunked (trailers appended to
  // head.headers), Content-Length (a shorter body when the peer closes early
  // is accepted), multipart up to the closing boundary line, else until the
  // peer closes. No body for 1xx, 204 and 304. Raises EIdConnClosedGracefully
  // when a chunk size line or chunk ends early (unless `tolerateClose`: the
  // body read so far is returned, as for the body of a failure answer),
  // EIdException "Response body too large." beyond the limit, and
  // EIdException with head.contentLengthError before reading anything when
  // the "Content-Length" lines are invalid or disagree. Memory while reading
  // stays within the limit plus the reader's buffer.
  std::string ReadBody(HttpResponseHead& head, bool tolerateClose = false);
  // True when the last body ended by the peer's close (the connection is
  // then finished).
  bool PeerClosed() const { return peerClosed_; }
  // Bytes received beyond the last answer and not read yet.
  size_t Buffered() const { return buffer_.size() - position_; }

 private:
  bool Fill();  // false at end of data
  [[noreturn]] void ThrowTooManyLines() const;
  void AppendBody(std::string& body, std::string_view bytes);
  // Reads `count` bytes; false when the peer closed first.
  bool ReadExact(std::string& body, uint64_t count);
  void ReadUntilClose(std::string& body);
  void ReadChunked(HttpResponseHead& head, std::string& body, bool tolerateClose);
  void ReadMultipart(const HttpResponseHead& head, std::string& body);
  // A raw line (bytes as received, without CR LF); false at end of data
  // before any byte.
  bool ReadRawLine(std::string& line, bool& endedByClose);

  HttpStream& stream_;
  ReaderLimits limits_;
  std::string buffer_;
  size_t position_ = 0;
  bool peerClosed_ = false;
};

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
