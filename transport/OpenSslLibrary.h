// The OpenSSL 3 functions the TLS channel uses, bound by name from the
// libraries opened at run time, and the pieces the channel's files share.
// Internal to the transport library: callers use transport/TlsChannel.h.
#pragma once

// OpenSSL headers give only declarations and constants here: every function
// is bound by name from the library opened at run time.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

#include "platform/DynamicLibrary.h"
#include "transport/TlsChannel.h"

namespace velmora {

// The functions of OpenSSL 3 that the channel uses, bound by name.
struct OpenSslApi {
  DynamicLibrary crypto;
  DynamicLibrary ssl;
  decltype(&::OpenSSL_version_num) OpenSSL_version_num = nullptr;
  decltype(&::OpenSSL_version) OpenSSL_version = nullptr;
  decltype(&::ERR_get_error) ERR_get_error = nullptr;
  decltype(&::ERR_peek_error) ERR_peek_error = nullptr;
  decltype(&::ERR_error_string_n) ERR_error_string_n = nullptr;
  decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
  decltype(&::OPENSSL_init_ssl) OPENSSL_init_ssl = nullptr;
  decltype(&::TLS_client_method) TLS_client_method = nullptr;
  decltype(&::SSL_CTX_new) SSL_CTX_new = nullptr;
  decltype(&::SSL_CTX_free) SSL_CTX_free = nullptr;
  decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl = nullptr;
  decltype(&::SSL_CTX_set_options) SSL_CTX_set_options = nullptr;
  decltype(&::SSL_CTX_clear_options) SSL_CTX_clear_options = nullptr;
  decltype(&::SSL_CTX_set_security_level) SSL_CTX_set_security_level = nullptr;
  decltype(&::SSL_CTX_set_cipher_list) SSL_CTX_set_cipher_list = nullptr;
  decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify = nullptr;
  decltype(&::SSL_new) SSL_new = nullptr;
  decltype(&::SSL_free) SSL_free = nullptr;
  decltype(&::SSL_set_fd) SSL_set_fd = nullptr;
  decltype(&::SSL_ctrl) SSL_ctrl = nullptr;
  decltype(&::SSL_connect) SSL_connect = nullptr;
  decltype(&::SSL_read) SSL_read = nullptr;
  decltype(&::SSL_write) SSL_write = nullptr;
  decltype(&::SSL_get_error) SSL_get_error = nullptr;
  decltype(&::SSL_shutdown) SSL_shutdown = nullptr;
  decltype(&::SSL_pending) SSL_pending = nullptr;
  decltype(&::SSL_peek) SSL_peek = nullptr;
  decltype(&::SSL_get_version) SSL_get_version = nullptr;
  // Certificate checks and inspection.
  decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths = nullptr;
  decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations = nullptr;
  decltype(&::SSL_get0_param) SSL_get0_param = nullptr;
  decltype(&::SSL_get_verify_result) SSL_get_verify_result = nullptr;
  decltype(&::SSL_get1_peer_certificate) SSL_get1_peer_certificate = nullptr;
  decltype(&::SSL_get_current_cipher) SSL_get_current_cipher = nullptr;
  decltype(&::SSL_CIPHER_get_name) SSL_CIPHER_get_name = nullptr;
  decltype(&::X509_VERIFY_PARAM_set1_host) X509_VERIFY_PARAM_set1_host = nullptr;
  decltype(&::X509_VERIFY_PARAM_set1_ip_asc) X509_VERIFY_PARAM_set1_ip_asc = nullptr;
  decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string = nullptr;
  decltype(&::X509_free) X509_free = nullptr;
  decltype(&::X509_get_X509_PUBKEY) X509_get_X509_PUBKEY = nullptr;
  decltype(&::i2d_X509_PUBKEY) i2d_X509_PUBKEY = nullptr;
  decltype(&::i2d_X509) i2d_X509 = nullptr;
  decltype(&::EVP_sha256) EVP_sha256 = nullptr;
  decltype(&::EVP_Digest) EVP_Digest = nullptr;
  decltype(&::EVP_EncodeBlock) EVP_EncodeBlock = nullptr;
  decltype(&::X509_get_subject_name) X509_get_subject_name = nullptr;
  decltype(&::X509_get_issuer_name) X509_get_issuer_name = nullptr;
  decltype(&::X509_NAME_oneline) X509_NAME_oneline = nullptr;
  decltype(&::X509_get0_notAfter) X509_get0_notAfter = nullptr;
  decltype(&::ASN1_TIME_to_tm) ASN1_TIME_to_tm = nullptr;
  decltype(&::X509_cmp_current_time) X509_cmp_current_time = nullptr;

  // The text of one queued error code.
  std::string ErrorText(unsigned long code) const {
    char text[256] = {0};
    ERR_error_string_n(code, text, sizeof(text));
    return text;
  }
};

// The functions of the libraries `settings` names, loaded once per pair of
// file names and kept to process end; nullptr when a library does not open,
// is not OpenSSL 3 or lacks a function. `failures` (when given) receives the
// reason, one line per missing function.
const OpenSslApi* LoadOpenSsl(const TlsSettings& settings, std::string* failures);

inline constexpr const char* kConnectError = "Error connecting with SSL.";

// Makes the handshake on `ssl` check that the certificate carries
// `serverName`, as DNS name or as IP address.
void ExpectPeerName(const OpenSslApi& api, SSL* ssl, const std::string& serverName);

}  // namespace velmora
