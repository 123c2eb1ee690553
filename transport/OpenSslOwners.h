// Move-only owners of the OpenSSL objects the TLS channel creates: a
// context, a session and a certificate. Each is freed by the free function
// of the library it came from (bound at run time, see OpenSslLibrary.h), so
// the owner carries that library's function table. Only forward
// declarations of the OpenSSL types are needed here.
#pragma once

#include <memory>

struct ssl_ctx_st;  // SSL_CTX
struct ssl_st;      // SSL
struct x509_st;     // X509

namespace velmora {

struct OpenSslApi;

// Deleters calling SSL_CTX_free, SSL_free and X509_free of `api`; a null
// pointer is never passed to them.
struct SslContextFree {
  const OpenSslApi* api = nullptr;
  void operator()(ssl_ctx_st* context) const noexcept;
};
struct SslSessionFree {
  const OpenSslApi* api = nullptr;
  void operator()(ssl_st* session) const noexcept;
};
struct X509Free {
  const OpenSslApi* api = nullptr;
  void operator()(x509_st* certificate) const noexcept;
};

using SslContextOwner = std::unique_ptr<ssl_ctx_st, SslContextFree>;
using SslSessionOwner = std::unique_ptr<ssl_st, SslSessionFree>;
using X509Owner = std::unique_ptr<x509_st, X509Free>;

}  // namespace velmora
