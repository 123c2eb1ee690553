#include "publish/FileDigest.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "platform/Exceptions.h"
#include "transport/Sha1.h"

namespace velmora {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string Sha1File(const std::string& path, const std::function<bool()>& interrompi) {
  Sha1 digest;
  if (!digest.Available()) throw EStreamError("SHA-1 non disponibile (libcrypto.so.3)");
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + ::strerror(errno));
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    if (interrompi && interrompi()) throw EStreamError("Lettura interrotta");
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Errore di lettura di \"" + path + "\": " + ::strerror(errno));
    if (n == 0) break;
    digest.Update(buffer.data(), static_cast<size_t>(n));
  }
  std::string hex = digest.HexDigest();
  if (hex.empty()) throw EStreamError("SHA-1 non disponibile (libcrypto.so.3)");
  return hex;
}

}  // namespace velmora
