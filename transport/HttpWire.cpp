#include "transport/HttpWire.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/Exceptions.h"
#include "platform/Text.h"

namespace velmora {

namespace {

constexpr size_t kReadPiece = 32768;

// Bytes as 7-bit text: a byte above 127 becomes U+FFFD.
std::string SevenBitFromBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) > 127) {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

ResponseReader::ResponseReader(HttpStream& stream, ReaderLimits limits) : stream_(stream), limits_(limits) {}

bool ResponseReader::Fill() {
  if (position_ > 0) {
    buffer_.erase(0, position_);
    position_ = 0;
  }
  size_t old = buffer_.size();
  buffer_.resize(old + kReadPiece);
  size_t n = stream_.Read(buffer_.data() + old, kReadPiece);
  buffer_.resize(old + n);
  return n > 0;
}

bool ResponseReader::ReadRawLine(std::string& line, bool& endedByClose) {
  line.clear();
  endedByClose = false;
  size_t scanned = 0;
  for (;;) {
    size_t lf = buffer_.find('\n', position_ + scanned);
    if (lf != std::string::npos) {
      size_t end = lf;
      if (end > position_ && buffer_[end - 1] == '\r') --end;
      if (end - position_ > limits_.maxLineLength) {
        throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
      }
      line.assign(buffer_, position_, end - position_);
      position_ = lf + 1;
      return true;
    }
    scanned = buffer_.size() - position_;
    // One more byte may be the CR before the LF.
    if (scanned > limits_.maxLineLength + 1) {
      throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
    }
    if (!Fill()) {
      endedByClose = true;
      line.assign(buffer_, position_, std::string::npos);
      position_ = buffer_.size();
      return false;
    }
  }
}

std::string ResponseReader::ReadLine() {
  std::string line;
  bool closed = false;
  if (!ReadRawLine(line, closed)) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  return SevenBitFromBytes(line);
}

void ResponseReader::ThrowTooManyLines() const { throw EIdException("Too many header lines."); }

HttpResponseHead ResponseReader::ReadHead() {
  HttpResponseHead head;
  head.statusLine = ReadLine();
  // Every line counts, folded ones too, so no value can grow without bound.
  size_t lines = 0;
  for (;;) {
    std::string line = ReadLine();
    if (line.empty()) break;
    if (++lines > limits_.maxHeaderLines) ThrowTooManyLines();
    if ((line.front() == ' ' || line.front() == '\t') && !head.headers.empty()) {
      // A folded line continues the previous value.
      std::string& value = head.headers.back().second;
      value += ' ';
      value += Trim(line, kSpaceTab);
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      head.headers.emplace_back(std::string(Trim(line, kSpaceTab)), "");
    } else {
      head.headers.emplace_back(std::string(Trim(std::string_view(line).substr(0, colon), kSpaceTab)),
                                std::string(Trim(std::string_view(line).substr(colon + 1), kSpaceTab)));
    }
  }
  DeriveHeadFields(head);
  return head;
}

void ResponseReader::AppendBody(std::string& body, std::string_view bytes) {
  uint64_t need = static_cast<uint64_t>(body.size()) + bytes.size();
  if (need > limits_.maxBodyBytes) throw EIdException("Response body too large.");
  if (need > body.capacity()) {
    // Doubling, but from half the cap straight to the cap: a move to a larger
    // buffer then holds at most cap bytes in all (the old buffer and the
    // copied part of the new one), and no buffer is ever larger than the cap.
    uint64_t cap = limits_.maxBodyBytes;
    uint64_t next = std::max<uint64_t>(need, 2 * static_cast<uint64_t>(body.capacity()));
    if (next > cap / 2) next = std::max(cap, need);
    body.reserve(static_cast<size_t>(next));
  }
  body.append(bytes);
}

bool ResponseReader::ReadExact(std::string& body, uint64_t count) {
  while (count > 0) {
    if (position_ == buffer_.size() && !Fill()) return false;
    size_t take = static_cast<size_t>(std::min<uint64_t>(count, buffer_.size() - position_));
    AppendBody(body, std::string_view(buffer_).substr(position_, take));
    position_ += take;
    count -= take;
  }
  return true;
}

void ResponseReader::ReadUntilClose(std::string& body) {
  for (;;) {
    if (position_ < buffer_.size()) {
      AppendBody(body, std::string_view(buffer_).substr(position_));
      position_ = buffer_.size();
    }
    if (!Fill()) return;
  }
}

void ResponseReader::ReadChunked(HttpResponseHead& head, std::string& body, bool tolerateClose) {
  std::string line;
  bool closed = false;
  auto closedEarly = [&]() {
    peerClosed_ = true;
    if (!tolerateClose) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  };
  for (;;) {
    if (!ReadRawLine(line, closed)) return closedEarly();
    std::string_view size = line;
    size = Trim(size.substr(0, size.find(';')), kSpaceTab);
    // A size that is no hexadecimal number, or too large for 64 bits, counts as 0.
    uint64_t chunk = 0;
    bool valid = !size.empty() && size.size() <= 15;
    for (char c : size) {
      int digit = (c >= '0' && c <= '9')   ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : -1;
      if (digit < 0) valid = false;
      if (valid) chunk = chunk * 16 + static_cast<uint64_t>(digit);
    }
    if (!valid) chunk = 0;
    if (chunk == 0) break;
    if (!ReadExact(body, chunk)) return closedEarly();
    if (!ReadRawLine(line, closed)) return closedEarly();
  }
  // Trailer lines up to the empty line join the answer's headers. The body
  // is complete here, so a peer that hangs up instead of ending the trailer
  // loses nothing.
  size_t trailers = 0;
  for (;;) {
    if (!ReadRawLine(line, closed)) {
      peerClosed_ = true;
      return;
    }
    if (line.empty()) break;
    if (++trailers > limits_.maxHeaderLines) ThrowTooManyLines();
    std::string text = SevenBitFromBytes(line);
    size_t colon = text.find(':');
    if (colon == std::string::npos) continue;
    head.headers.emplace_back(std::string(Trim(std::string_view(text).substr(0, colon), kSpaceTab)),
                              std::string(Trim(std::string_view(text).substr(colon + 1), kSpaceTab)));
  }
}

void ResponseReader::ReadMultipart(const HttpResponseHead& head, std::string& body) {
  std::string closing = "--" + head.boundary + "--";
  std::string line;
  bool closed = false;
  for (;;) {
    if (!ReadRawLine(line, closed)) {
      peerClosed_ = true;
      AppendBody(body, line);
      throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    AppendBody(body, line);
    AppendBody(body, "\r\n");
    if (line == closing) return;
  }
}

std::string ResponseReader::ReadBody(HttpResponseHead& head, bool tolerateClose) {
  peerClosed_ = false;
  std::string body;
  if ((head.code >= 100 && head.code <= 199) || head.code == 204 || head.code == 304) return body;
  // An answer whose length cannot be told for sure is not read at all.
  if (!head.contentLengthError.empty()) {
    peerClosed_ = true;
    throw EIdException(head.contentLengthError);
  }
  if (head.chunked) {
    ReadChunked(head, body, tolerateClose);
  } else if (head.contentLength >= 0) {
    // The whole announced body at once, within the cap: no copy while it grows.
    body.reserve(static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(head.contentLength), limits_.maxBodyBytes)));
    if (!ReadExact(body, static_cast<uint64_t>(head.contentLength))) peerClosed_ = true;
  } else if (StartsWithNoCase(head.mediaType, "multipart") && !head.boundary.empty()) {
    try {
      ReadMultipart(head, body);
    } catch (const EIdConnClosedGracefully&) {
      if (!tolerateClose) throw;
    }
  } else {
    ReadUntilClose(body);
    peerClosed_ = true;
  }
  return body;
}

}  // namespace velmora
