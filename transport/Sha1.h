// SHA-1 digests through OpenSSL's libcrypto (libcrypto.so.3), opened at run
// time on first use and kept for the process, like the TLS channel's.
// Without the library no digest can be had: Available() says so and the
// digest text is empty, so that callers fall back to what they did without.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

class Sha1 {
 public:
  // Starts a digest of no bytes.
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  // False when libcrypto or its SHA-1 could not be had (then every digest
  // is the empty text).
  bool Available() const noexcept { return context_ != nullptr; }
  // Starts again with no bytes.
  void Reset() noexcept;
  // Adds the next bytes.
  void Update(const void* data, size_t size) noexcept;
  // The digest of every byte added since the start or the last Reset, as 40
  // lower-case hexadecimal digits; "" when unavailable. The object then
  // starts again with no bytes.
  std::string HexDigest();

 private:
  void* context_ = nullptr;  // EVP_MD_CTX
  bool failed_ = false;      // a libcrypto call failed: no digest until Reset
};

// The digest of `bytes` as Sha1::HexDigest gives it.
std::string Sha1Hex(std::string_view bytes);

}  // namespace velmora
