#include "transport/OpenSslLibrary.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace velmora {

namespace {

// Binds the function `name` of `lib` into the member of the same name of the
// table `api` in scope; each one missing is added by name, one a line, to
// `failures` in scope, so the report lists them all.
#define VELMORA_BIND(lib, name)                               \
  do {                                                        \
    if (!(lib).Bind(#name, api.name)) failures += #name "\n"; \
  } while (0)

// Binds every function past the version check; each one missing is
// recorded by name in `failures`.
void BindFunctions(OpenSslApi& api, std::string& failures) {
  const DynamicLibrary& c = api.crypto;
  const DynamicLibrary& s = api.ssl;
  VELMORA_BIND(c, ERR_get_error);
  VELMORA_BIND(c, ERR_peek_error);
  VELMORA_BIND(c, ERR_error_string_n);
  VELMORA_BIND(c, ERR_clear_error);
  VELMORA_BIND(s, OPENSSL_init_ssl);
  VELMORA_BIND(s, TLS_client_method);
  VELMORA_BIND(s, SSL_CTX_new);
  VELMORA_BIND(s, SSL_CTX_free);
  VELMORA_BIND(s, SSL_CTX_ctrl);
  VELMORA_BIND(s, SSL_CTX_set_options);
  VELMORA_BIND(s, SSL_CTX_clear_options);
  VELMORA_BIND(s, SSL_CTX_set_security_level);
  VELMORA_BIND(s, SSL_CTX_set_cipher_list);
  VELMORA_BIND(s, SSL_CTX_set_verify);
  VELMORA_BIND(s, SSL_new);
  VELMORA_BIND(s, SSL_free);
  VELMORA_BIND(s, SSL_set_fd);
  VELMORA_BIND(s, SSL_ctrl);
  VELMORA_BIND(s, SSL_connect);
  VELMORA_BIND(s, SSL_read);
  VELMORA_BIND(s, SSL_write);
  VELMORA_BIND(s, SSL_get_error);
  VELMORA_BIND(s, SSL_shutdown);
  VELMORA_BIND(s, SSL_pending);
  VELMORA_BIND(s, SSL_peek);
  VELMORA_BIND(s, SSL_get_version);
  VELMORA_BIND(s, SSL_CTX_set_default_verify_paths);
  VELMORA_BIND(s, SSL_CTX_load_verify_locations);
  VELMORA_BIND(s, SSL_get0_param);
  VELMORA_BIND(s, SSL_get_verify_result);
  VELMORA_BIND(s, SSL_get1_peer_certificate);
  VELMORA_BIND(s, SSL_get_current_cipher);
  VELMORA_BIND(s, SSL_CIPHER_get_name);
  VELMORA_BIND(c, X509_VERIFY_PARAM_set1_host);
  VELMORA_BIND(c, X509_VERIFY_PARAM_set1_ip_asc);
  VELMORA_BIND(c, X509_verify_cert_error_string);
  VELMORA_BIND(c, X509_free);
  VELMORA_BIND(c, X509_get_X509_PUBKEY);
  VELMORA_BIND(c, i2d_X509_PUBKEY);
  VELMORA_BIND(c, i2d_X509);
  VELMORA_BIND(c, EVP_sha256);
  VELMORA_BIND(c, EVP_Digest);
  VELMORA_BIND(c, EVP_EncodeBlock);
  VELMORA_BIND(c, X509_get_subject_name);
  VELMORA_BIND(c, X509_get_issuer_name);
  VELMORA_BIND(c, X509_NAME_oneline);
  VELMORA_BIND(c, X509_get0_notAfter);
  VELMORA_BIND(c, ASN1_TIME_to_tm);
  VELMORA_BIND(c, X509_cmp_current_time);
}

std::unique_ptr<OpenSslApi> TryLoad(const TlsSettings& settings, std::string& failures) {
  auto table = std::make_unique<OpenSslApi>();
  OpenSslApi& api = *table;
  std::string error;
  api.crypto = DynamicLibrary::Open({settings.cryptoLibrary}, error);
  if (!api.crypto.Loaded()) {
    failures = "Failed to load " + settings.cryptoLibrary + " (" + error + ").\n";
    return nullptr;
  }
  api.ssl = DynamicLibrary::Open({settings.sslLibrary}, error);
  if (!api.ssl.Loaded()) {
    failures = "Failed to load " + settings.sslLibrary + " (" + error + ").\n";
    return nullptr;
  }
  VELMORA_BIND(api.crypto, OpenSSL_version_num);
  VELMORA_BIND(api.crypto, OpenSSL_version);
  if (!failures.empty()) return nullptr;
  std::string versionText = api.OpenSSL_version(OPENSSL_VERSION);
  if (versionText.rfind("OpenSSL", 0) != 0) {
    failures = "Unsupported SSL Library: " + versionText + ".\n";
    return nullptr;
  }
  unsigned long number = api.OpenSSL_version_num();
  if (number < 0x30000000UL) {
    char text[64];
    std::snprintf(text, sizeof(text), "Unsupported SSL Library version: %.8lx.\n", number);
    failures = text;
    return nullptr;
  }
  BindFunctions(api, failures);
  if (!failures.empty()) return nullptr;
  // Error strings and algorithm tables; OpenSSL 3 locks internally, so no
  // locking callbacks are needed.
  if (api.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
    failures = "OPENSSL_init_ssl failed.\n";
    return nullptr;
  }
  return table;
}

#undef VELMORA_BIND

std::mutex& LoadLock() {
  static std::mutex lock;
  return lock;
}

// Loaded libraries by file-name pair; they stay loaded to process end.
std::map<std::string, std::unique_ptr<OpenSslApi>>& LoadedApis() {
  static auto* apis = new std::map<std::string, std::unique_ptr<OpenSslApi>>();
  return *apis;
}

}  // namespace

const OpenSslApi* LoadOpenSsl(const TlsSettings& settings, std::string* failures) {
  std::lock_guard<std::mutex> guard(LoadLock());
  std::string key = settings.cryptoLibrary + "\n" + settings.sslLibrary;
  auto& apis = LoadedApis();
  auto it = apis.find(key);
  if (it != apis.end()) return it->second.get();
  std::string why;
  std::unique_ptr<OpenSslApi> api = TryLoad(settings, why);
  if (failures) *failures = why;
  if (!api) return nullptr;
  return (apis[key] = std::move(api)).get();
}

bool LoadTlsLibrary(const TlsSettings& settings, std::string* failures) {
  return LoadOpenSsl(settings, failures) != nullptr;
}

void SslContextFree::operator()(SSL_CTX* context) const noexcept { api->SSL_CTX_free(context); }
void SslSessionFree::operator()(SSL* session) const noexcept { api->SSL_free(session); }
void X509Free::operator()(X509* certificate) const noexcept { api->X509_free(certificate); }

}  // namespace velmora
