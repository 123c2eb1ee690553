// The byte stream that HTTP requests are written to and answers read from:
// a socket, a TLS session, or memory (tests and fuzzers).
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

class HttpStream {
 public:
  virtual ~HttpStream() = default;
  // Copies up to `capacity` received bytes into `buffer` and returns their
  // count, waiting for at least one; returns 0 when the peer has closed.
  // Raises the stream's own errors (EIdReadTimeout, EIdSocketError, TLS).
  virtual size_t Read(char* buffer, size_t capacity) = 0;
  // Writes all `size` bytes or raises.
  virtual void Write(const char* data, size_t size) = 0;
};

// A stream over bytes in memory: reads come from `input` (at most
// `maxPiece` bytes per call, to exercise piecewise reading), writes are
// appended to Written().
class MemoryHttpStream : public HttpStream {
 public:
  explicit MemoryHttpStream(std::string input, size_t maxPiece = 1 << 20)
      : input_(std::move(input)), maxPiece_(std::max<size_t>(maxPiece, 1)) {}
  size_t Read(char* buffer, size_t capacity) override {
    size_t n = std::min({capacity, maxPiece_, input_.size() - position_});
    input_.copy(buffer, n, position_);
    position_ += n;
    return n;
  }
  void Write(const char* data, size_t size) override { written_.append(data, size); }
  const std::string& Written() const { return written_; }
  // True when every input byte has been read.
  bool AtEnd() const { return position_ == input_.size(); }

 private:
  std::string input_;
  size_t maxPiece_;
  size_t position_ = 0;
  std::string written_;
};

}  // namespace velmora
