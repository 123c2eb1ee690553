// The HTTP wire format as pure functions over text and streams. This header
// holds the answer reader (status line, headers, body framing) and brings in
// the other pieces: the URL (HttpUrl.h), the heads and header lines
// (HttpHead.h) and the charset decoding of answer bodies (HttpBodyCharset.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Text.h"  // EqualsNoCase
#include "transport/HttpBodyCharset.h"
#include "transport/HttpHead.h"
#include "transport/HttpStream.h"
#include "transport/HttpUrl.h"

namespace velmora {

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

}  // namespace velmora
