#include "transport/Sha1.h"

#include <openssl/evp.h>

#include <mutex>

#include "platform/DynamicLibrary.h"

namespace velmora {

namespace {

// The functions of libcrypto the digest uses, bound by name.
struct CryptoApi {
  DynamicLibrary library;
  decltype(&::EVP_MD_CTX_new) EVP_MD_CTX_new = nullptr;
  decltype(&::EVP_MD_CTX_free) EVP_MD_CTX_free = nullptr;
  decltype(&::EVP_sha1) EVP_sha1 = nullptr;
  decltype(&::EVP_DigestInit_ex) EVP_DigestInit_ex = nullptr;
  decltype(&::EVP_DigestUpdate) EVP_DigestUpdate = nullptr;
  decltype(&::EVP_DigestFinal_ex) EVP_DigestFinal_ex = nullptr;
};

template <typename F>
bool Bind(const DynamicLibrary& lib, const char* name, F& target) {
  target = reinterpret_cast<F>(lib.Symbol(name));
  return target != nullptr;
}

// The bound library, or nullptr when it cannot be had; loaded once.
const CryptoApi* Crypto() {
  static std::once_flag once;
  static CryptoApi* api = nullptr;
  std::call_once(once, [] {
    std::string error;
    auto* loaded = new CryptoApi;
    loaded->library = DynamicLibrary::Open({"libcrypto.so.3"}, error);
    const DynamicLibrary& lib = loaded->library;
    bool complete = lib.Loaded() && Bind(lib, "EVP_MD_CTX_new", loaded->EVP_MD_CTX_new) &&
                    Bind(lib, "EVP_MD_CTX_free", loaded->EVP_MD_CTX_free) &&
                    Bind(lib, "EVP_sha1", loaded->EVP_sha1) &&
                    Bind(lib, "EVP_DigestInit_ex", loaded->EVP_DigestInit_ex) &&
                    Bind(lib, "EVP_DigestUpdate", loaded->EVP_DigestUpdate) &&
                    Bind(lib, "EVP_DigestFinal_ex", loaded->EVP_DigestFinal_ex);
    if (complete) {
      api = loaded;  // kept for the process, like the library itself
    } else {
      delete loaded;
    }
  });
  return api;
}

}  // namespace

Sha1::Sha1() {
  const CryptoApi* api = Crypto();
  if (!api) return;
  context_ = api->EVP_MD_CTX_new();
  Reset();
}

Sha1::~Sha1() {
  if (context_) Crypto()->EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha1::Reset() noexcept {
  if (!context_) return;
  const CryptoApi* api = Crypto();
  failed_ = api->EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), api->EVP_sha1(), nullptr) != 1;
}

void Sha1::Update(const void* data, size_t size) noexcept {
  if (!context_ || failed_ || size == 0) return;
  failed_ = Crypto()->EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size) != 1;
}

std::string Sha1::HexDigest() {
  if (!context_) return "";
  std::string hex;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!failed_ && Crypto()->EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length) == 1) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
      hex += kHex[digest[i] >> 4];
      hex += kHex[digest[i] & 15];
    }
  }
  Reset();
  return hex;
}

std::string Sha1Hex(std::string_view bytes) {
  Sha1 digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.HexDigest();
}

}  // namespace velmora
