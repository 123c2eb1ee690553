#include "platform/Iconv.h"

#include <cerrno>
#include <utility>

namespace velmora {

Iconv::Iconv(const std::string& to, const std::string& from) : cd_(::iconv_open(to.c_str(), from.c_str())) {}

Iconv::~Iconv() {
  if (Ok()) ::iconv_close(cd_);
}

Iconv::Iconv(Iconv&& other) noexcept : cd_(std::exchange(other.cd_, kClosed)) {}

Iconv& Iconv::operator=(Iconv&& other) noexcept {
  if (this != &other) {
    if (Ok()) ::iconv_close(cd_);
    cd_ = std::exchange(other.cd_, kClosed);
  }
  return *this;
}

int Iconv::Convert(std::string_view& in, std::string& out) {
  if (!Ok()) return EBADF;
  char piece[16384];
  while (!in.empty()) {
    char* src = const_cast<char*>(in.data());  // iconv's prototype; it never writes there
    size_t srcLeft = in.size();
    char* dst = piece;
    size_t dstLeft = sizeof piece;
    size_t r = ::iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
    int err = r == static_cast<size_t>(-1) ? errno : 0;
    out.append(piece, sizeof piece - dstLeft);
    in.remove_prefix(in.size() - srcLeft);
    if (err != 0 && err != E2BIG) return err;
  }
  return 0;
}

void Iconv::Finish(std::string& out) {
  if (!Ok()) return;
  char piece[64];
  char* dst = piece;
  size_t dstLeft = sizeof piece;
  ::iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
  out.append(piece, sizeof piece - dstLeft);
}

void Iconv::Reset() noexcept {
  if (Ok()) ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace velmora
