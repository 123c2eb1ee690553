#include "platform/FileDescriptor.h"

#include <cerrno>

namespace velmora {

bool WriteAll(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace velmora
