// A request body that the HTTP client sends in pieces: its exact size is
// known before sending, and it can be read again from the start.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // The exact number of bytes that reading from the start produces.
  virtual uint64_t Size() const = 0;
  // Restarts reading at the first byte.
  virtual void Rewind() = 0;
  // Copies up to `capacity` next bytes into `buffer`; returns 0 at the end.
  // A read error raises the exception of the underlying source.
  virtual size_t Read(char* buffer, size_t capacity) = 0;
};

// A body held in memory.
class StringBodyStream : public BodyStream {
 public:
  explicit StringBodyStream(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() const override { return bytes_.size(); }
  void Rewind() override { position_ = 0; }
  size_t Read(char* buffer, size_t capacity) override {
    size_t n = std::min(capacity, bytes_.size() - position_);
    bytes_.copy(buffer, n, position_);
    position_ += n;
    return n;
  }

 private:
  std::string bytes_;
  size_t position_ = 0;
};

}  // namespace velmora
