#include "transport/OpenSslLibrary.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace velmora {

namespace {

// Binds every symbol; each one missing is recorded by name.
template <typename F>
void Bind(const DynamicLibrary& lib, const char* name, F& target, std::string& failures) {
  target = reinterpret_cast<F>(lib.Symbol(name));
  if (target == nullptr) failures += std::string(name) + "\n";
}

// Binds every function past the version check; each one missing is
// recorded by name in `failures`.
void BindFunctions(OpenSslApi& api, std::string& failures) {
  const DynamicLibrary& c = api.crypto;
  const DynamicLibrary& s = api.ssl;
  Bind(c, "ERR_get_error", api.ERR_get_error, failures);
  Bind(c, "ERR_peek_error", api.ERR_peek_error, failures);
  Bind(c, "ERR_error_string_n", api.ERR_error_string_n, failures);
  Bind(c, "ERR_clear_error", api.ERR_clear_error, failures);
  Bind(s, "OPENSSL_init_ssl", api.OPENSSL_init_ssl, failures);
  Bind(s, "TLS_client_method", api.TLS_client_method, failures);
  Bind(s, "SSL_CTX_new", api.SSL_CTX_new, failures);
  Bind(s, "SSL_CTX_free", api.SSL_CTX_free, failures);
  Bind(s, "SSL_CTX_ctrl", api.SSL_CTX_ctrl, failures);
  Bind(s, "SSL_CTX_set_options", api.SSL_CTX_set_options, failures);
  Bind(s, "SSL_CTX_clear_options", api.SSL_CTX_clear_options, failures);
  Bind(s, "SSL_CTX_set_security_level", api.SSL_CTX_set_security_level, failures);
  Bind(s, "SSL_CTX_set_cipher_list", api.SSL_CTX_set_cipher_list, failures);
  Bind(s, "SSL_CTX_set_verify", api.SSL_CTX_set_verify, failures);
  Bind(s, "SSL_new", api.SSL_new, failures);
  Bind(s, "SSL_free", api.SSL_free, failures);
  Bind(s, "SSL_set_fd", api.SSL_set_fd, failures);
  Bind(s, "SSL_ctrl", api.SSL_ctrl, failures);
  Bind(s, "SSL_connect", api.SSL_connect, failures);
  Bind(s, "SSL_read", api.SSL_read, failures);
  Bind(s, "SSL_write", api.SSL_write, failures);
  Bind(s, "SSL_get_error", api.SSL_get_error, failures);
  Bind(s, "SSL_shutdown", api.SSL_shutdown, failures);
  Bind(s, "SSL_pending", api.SSL_pending, failures);
  Bind(s, "SSL_get_version", api.SSL_get_version, failures);
  Bind(s, "SSL_CTX_set_default_verify_paths", api.SSL_CTX_set_default_verify_paths, failures);
  Bind(s, "SSL_CTX_load_verify_locations", api.SSL_CTX_load_verify_locations, failures);
  Bind(s, "SSL_get0_param", api.SSL_get0_param, failures);
  Bind(s, "SSL_get_verify_result", api.SSL_get_verify_result, failures);
  Bind(s, "SSL_get1_peer_certificate", api.SSL_get1_peer_certificate, failures);
  Bind(s, "SSL_get_current_cipher", api.SSL_get_current_cipher, failures);
  Bind(s, "SSL_CIPHER_get_name", api.SSL_CIPHER_get_name, failures);
  Bind(c, "X509_VERIFY_PARAM_set1_host", api.X509_VERIFY_PARAM_set1_host, failures);
  Bind(c, "X509_VERIFY_PARAM_set1_ip_asc", api.X509_VERIFY_PARAM_set1_ip_asc, failures);
  Bind(c, "X509_verify_cert_error_string", api.X509_verify_cert_error_string, failures);
  Bind(c, "X509_free", api.X509_free, failures);
  Bind(c, "X509_get_X509_PUBKEY", api.X509_get_X509_PUBKEY, failures);
  Bind(c, "i2d_X509_PUBKEY", api.i2d_X509_PUBKEY, failures);
  Bind(c, "i2d_X509", api.i2d_X509, failures);
  Bind(c, "EVP_sha256", api.EVP_sha256, failures);
  Bind(c, "EVP_Digest", api.EVP_Digest, failures);
  Bind(c, "EVP_EncodeBlock", api.EVP_EncodeBlock, failures);
  Bind(c, "X509_get_subject_name", api.X509_get_subject_name, failures);
  Bind(c, "X509_get_issuer_name", api.X509_get_issuer_name, failures);
  Bind(c, "X509_NAME_oneline", api.X509_NAME_oneline, failures);
  Bind(c, "X509_get0_notAfter", api.X509_get0_notAfter, failures);
  Bind(c, "ASN1_TIME_to_tm", api.ASN1_TIME_to_tm, failures);
  Bind(c, "X509_cmp_current_time", api.X509_cmp_current_time, failures);
}

std::unique_ptr<OpenSslApi> TryLoad(const TlsSettings& settings, std::string& failures) {
  auto api = std::make_unique<OpenSslApi>();
  std::string error;
  api->crypto = DynamicLibrary::Open({settings.cryptoLibrary}, error);
  if (!api->crypto.Loaded()) {
    failures = "Failed to load " + settings.cryptoLibrary + " (" + error + ").\n";
    return nullptr;
  }
  api->ssl = DynamicLibrary::Open({settings.sslLibrary}, error);
  if (!api->ssl.Loaded()) {
    failures = "Failed to load " + settings.sslLibrary + " (" + error + ").\n";
    return nullptr;
  }
  const DynamicLibrary& c = api->crypto;
  const DynamicLibrary& s = api->ssl;
  Bind(c, "OpenSSL_version_num", api->OpenSSL_version_num, failures);
  Bind(c, "OpenSSL_version", api->OpenSSL_version, failures);
  if (!failures.empty()) return nullptr;
  std::string versionText = api->OpenSSL_version(OPENSSL_VERSION);
  if (versionText.rfind("OpenSSL", 0) != 0) {
    failures = "Unsupported SSL Library: " + versionText + ".\n";
    return nullptr;
  }
  unsigned long number = api->OpenSSL_version_num();
  if (number < 0x30000000UL) {
    char text[64];
    std::snprintf(text, sizeof(text), "Unsupported SSL Library version: %.8lx.\n", number);
    failures = text;
    return nullptr;
  }
  BindFunctions(*api, failures);
  if (!failures.empty()) return nullptr;
  // Error strings and algorithm tables; OpenSSL 3 locks internally, so no
  // locking callbacks are needed.
  if (api->OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
    failures = "OPENSSL_init_ssl failed.\n";
    return nullptr;
  }
  return api;
}

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

}  // namespace velmora
