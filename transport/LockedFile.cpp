#include "transport/LockedFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/Exceptions.h"
#include "platform/FileDescriptor.h"

namespace velmora {
namespace {

std::string SystemErrorText(int error) { return std::system_category().message(error); }

[[noreturn]] void ThrowOpenError(const std::string& path, const std::string& text) {
  throw EFOpenError("Cannot open file \"" + AbsolutePathForMessage(path) + "\". " + text);
}

// Takes a shared advisory lock of both kinds a writer may test (flock and a
// POSIX record lock held by the open file description). Returns 0, or the
// errno of a lock held by someone else; a file system that keeps no locks is
// not a reason to refuse the file.
int LockShared(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) return EWOULDBLOCK;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES)) return EWOULDBLOCK;
  return 0;
}

}  // namespace

std::string AbsolutePathForMessage(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  return abs.lexically_normal().string();
}

LockedFile LockedFile::Open(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) ThrowOpenError(path, SystemErrorText(errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) ThrowOpenError(path, SystemErrorText(errno));
  if (!S_ISREG(st.st_mode))
    ThrowOpenError(path, S_ISDIR(st.st_mode) ? SystemErrorText(EISDIR) : "Not a regular file");
  if (LockShared(fd.Get()) != 0) ThrowOpenError(path, "The file is locked by another process");
  ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::string absolute = AbsolutePathForMessage(path);
  return LockedFile(fd.Release(), static_cast<uint64_t>(st.st_size), std::move(absolute));
}

LockedFile::~LockedFile() {
  if (fd_ >= 0) ::close(fd_);
}

LockedFile::LockedFile(LockedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), path_(std::move(other.path_)) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    path_ = std::move(other.path_);
  }
  return *this;
}

size_t LockedFile::ReadAt(char* buffer, size_t count, uint64_t offset) const {
  for (;;) {
    ssize_t got = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw EStreamError("Cannot read file \"" + path_ + "\". " + SystemErrorText(errno));
  }
}

}  // namespace velmora
