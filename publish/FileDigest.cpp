#include "publish/FileDigest.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/Exceptions.h"

namespace velmora {

namespace {

// The few libcrypto functions of a digest, bound by name.
struct Crypto {
  DynamicLibrary library;
  void* (*mdCtxNew)() = nullptr;
  void (*mdCtxFree)(void*) = nullptr;
  const void* (*sha1)() = nullptr;
  int (*digestInit)(void*, const void*, void*) = nullptr;
  int (*digestUpdate)(void*, const void*, size_t) = nullptr;
  int (*digestFinal)(void*, unsigned char*, unsigned int*) = nullptr;
  std::string error;
};

const Crypto& LoadCrypto() {
  static Crypto crypto;
  static std::once_flag once;
  std::call_once(once, [] {
    crypto.library = DynamicLibrary::Open({"libcrypto.so.3"}, crypto.error);
    if (!crypto.library.Loaded()) return;
    auto bind = [](const char* name) {
      void* symbol = crypto.library.Symbol(name);
      if (symbol == nullptr) crypto.error += std::string(crypto.error.empty() ? "" : ", ") + name;
      return symbol;
    };
    crypto.mdCtxNew = reinterpret_cast<void* (*)()>(bind("EVP_MD_CTX_new"));
    crypto.mdCtxFree = reinterpret_cast<void (*)(void*)>(bind("EVP_MD_CTX_free"));
    crypto.sha1 = reinterpret_cast<const void* (*)()>(bind("EVP_sha1"));
    crypto.digestInit = reinterpret_cast<int (*)(void*, const void*, void*)>(bind("EVP_DigestInit_ex"));
    crypto.digestUpdate = reinterpret_cast<int (*)(void*, const void*, size_t)>(bind("EVP_DigestUpdate"));
    crypto.digestFinal =
        reinterpret_cast<int (*)(void*, unsigned char*, unsigned int*)>(bind("EVP_DigestFinal_ex"));
  });
  if (!crypto.error.empty()) throw EStreamError("libcrypto non disponibile: " + crypto.error);
  return crypto;
}

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

class Context {
 public:
  explicit Context(const Crypto& crypto) : crypto_(crypto), ctx_(crypto.mdCtxNew()) {
    if (ctx_ == nullptr || crypto_.digestInit(ctx_, crypto_.sha1(), nullptr) != 1) {
      throw EStreamError("SHA-1 non disponibile");
    }
  }
  ~Context() {
    if (ctx_ != nullptr) crypto_.mdCtxFree(ctx_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  void* get() const { return ctx_; }

 private:
  const Crypto& crypto_;
  void* ctx_;
};

}  // namespace

std::string Sha1File(const std::string& path, const std::function<bool()>& interrompi) {
  const Crypto& crypto = LoadCrypto();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + ::strerror(errno));
  Context ctx(crypto);
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    if (interrompi && interrompi()) throw EStreamError("Lettura interrotta");
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Errore di lettura di \"" + path + "\": " + ::strerror(errno));
    if (n == 0) break;
    crypto.digestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
  }
  unsigned char digest[64];
  unsigned int length = 0;
  if (crypto.digestFinal(ctx.get(), digest, &length) != 1) throw EStreamError("SHA-1 non disponibile");
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace velmora
