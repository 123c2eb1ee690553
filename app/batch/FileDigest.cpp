#include "app/batch/FileDigest.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "platform/Exceptions.h"
#include "platform/FileDescriptor.h"
#include "transport/Sha1.h"

namespace velmora {

std::string Sha1File(const std::string& path, const std::function<bool()>& interrompi) {
  Sha1 digest;
  if (!digest.Available()) throw EStreamError("SHA-1 non disponibile (libcrypto.so.3)");
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + ::strerror(errno));
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    if (interrompi && interrompi()) throw EStreamError("Lettura interrotta");
    ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
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
