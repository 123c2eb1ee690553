// The owner of one open file descriptor, and the one write-all loop.
#pragma once

#include <unistd.h>

#include <string_view>
#include <utility>

namespace velmora {

// Closes the descriptor it holds when it goes, unless it was released. A
// negative value (a failed open) holds nothing.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.Release();
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  // The descriptor, or a negative value when none is held.
  int Get() const noexcept { return fd_; }
  // Hands the descriptor to the caller, who then closes it; holds none after.
  int Release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Writes every byte of `text` to `fd`, writing again after a short write and
// after EINTR. Returns false (errno set) when a write fails; what was
// written before stays written. A closed pipe gives EPIPE once SIGPIPE is
// ignored, as every program of the suite does.
bool WriteAll(int fd, std::string_view text) noexcept;

}  // namespace velmora
