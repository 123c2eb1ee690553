// The owner of one file opened for reading and held with a shared advisory
// lock while its bytes are sent, so that a writer that takes an exclusive
// lock is refused until the owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace velmora {

class LockedFile {
 public:
  // Opens `path` for reading without blocking (a FIFO cannot stall the
  // caller), checks that it is a regular file, takes a shared lock of both
  // kinds a writer may test (flock and an open-file-description record
  // lock; a file system that keeps no locks is not a reason to refuse the
  // file) and takes its size now. Raises EFOpenError "Cannot open file
  // \"<absolute path>\". <system text>" when it cannot be opened, "...
  // <text of EISDIR>" for a directory, "... Not a regular file" for any other
  // kind, "... The file is locked by another process" when a writer holds a
  // lock. Nothing stays open when it raises.
  static LockedFile Open(const std::string& path);

  // Closing releases both locks.
  ~LockedFile();
  LockedFile(LockedFile&& other) noexcept;
  LockedFile& operator=(LockedFile&& other) noexcept;
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // The size when opened; later growth is not seen.
  uint64_t Size() const { return size_; }
  // The absolute path, "." and ".." resolved lexically, for messages.
  const std::string& Path() const { return path_; }

  // Reads up to `count` bytes at `offset` into `buffer` (a signal that
  // interrupts the read is waited out) and returns how many; 0 at the end
  // of the file. Raises EStreamError "Cannot read file \"<path>\". <system
  // text>" when reading fails.
  size_t ReadAt(char* buffer, size_t count, uint64_t offset) const;

 private:
  LockedFile(int fd, uint64_t size, std::string path) : fd_(fd), size_(size), path_(std::move(path)) {}

  int fd_ = -1;
  uint64_t size_ = 0;
  std::string path_;
};

// `path` made absolute against the working directory, "." and ".." resolved
// lexically; an empty path stays empty, and so does a path that cannot be
// made absolute.
std::string AbsolutePathForMessage(const std::string& path);

}  // namespace velmora
