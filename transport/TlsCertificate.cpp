#include <arpa/inet.h>

#include <ctime>

#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "transport/OpenSslLibrary.h"

// The server certificate: the trust and pin checks of the parameter file,
// the peer's details for the doctor, and the checks after the handshake.

namespace velmora {

namespace {

// SHA-256 of `der`; empty when the library fails.
std::string Sha256(const OpenSslApi& api, const std::string& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (api.EVP_Digest(der.data(), der.size(), digest, &size, api.EVP_sha256(), nullptr) != 1) return "";
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string Base64(const OpenSslApi& api, const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = api.EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                              reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string HexPairs(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ':';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// DER of the certificate / of its public key; empty on failure.
template <typename T, typename F>
std::string Der(F encode, T* object) {
  int size = encode(object, nullptr);
  if (size <= 0) return "";
  std::string der(static_cast<size_t>(size), '\0');
  unsigned char* p = reinterpret_cast<unsigned char*>(der.data());
  if (encode(object, &p) != size) return "";
  return der;
}

std::string NameLine(const OpenSslApi& api, X509_NAME* name) {
  char text[512] = {0};
  if (name == nullptr || api.X509_NAME_oneline(name, text, sizeof(text)) == nullptr) return "";
  return text;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

void ExpectPeerName(const OpenSslApi& api, SSL* ssl, const std::string& serverName) {
  X509_VERIFY_PARAM* param = api.SSL_get0_param(ssl);
  if (IsIpLiteral(serverName)) {
    api.X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str());
  } else {
    api.X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), serverName.size());
  }
}

std::vector<std::string> ImprontePubbliche(std::string_view value) {
  std::vector<std::string> pins;
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(';', start);
    if (end == std::string_view::npos) end = value.size();
    std::string pin(Trim(value.substr(start, end - start), kSpaceTab));
    if (!pin.empty()) pins.push_back(pin);
    start = end + 1;
  }
  return pins;
}

bool ImprontaBenFormata(std::string_view pin) {
  constexpr std::string_view prefix = "sha256//";
  if (pin.substr(0, prefix.size()) != prefix) return false;
  std::string_view digest = pin.substr(prefix.size());
  // 32 bytes are 43 base64 characters and one "=".
  if (digest.size() != 44 || digest[43] != '=') return false;
  for (size_t i = 0; i < 43; ++i) {
    char c = digest[i];
    bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!ok) return false;
  }
  return true;
}

void ApplicaControlliCertificato(const std::string& parameterFile, TlsSettings& settings) {
  const char* kAbsent = "\x01";  // a value no file can hold: tells an absent key from an empty one
  std::string verify = ReadProfileString(parameterFile, "CONFIG", "VerificaCertificato", kAbsent);
  if (verify != kAbsent) settings.verifyCertificate = !verify.empty() && verify != "0";
  std::string caFile = ReadProfileString(parameterFile, "CONFIG", "FileCertificatiCA", kAbsent);
  if (caFile != kAbsent) {
    if (!caFile.empty() && caFile.front() != '/') caFile = ExtractFilePath(parameterFile) + caFile;
    settings.caFile = caFile;
  }
  std::string pins = ReadProfileString(parameterFile, "CONFIG", "ImprontaCertificato", kAbsent);
  if (pins != kAbsent) settings.pinnedKeys = ImprontePubbliche(pins);
}

void TlsChannel::InspectPeer() {
  const OpenSslApi& api = *api_;
  peer_ = TlsPeerInfo{};
  peer_.protocol = api.SSL_get_version(ssl_.get());
  if (const SSL_CIPHER* cipher = api.SSL_get_current_cipher(ssl_.get())) {
    peer_.cipher = api.SSL_CIPHER_get_name(cipher);
  }
  X509Owner cert(api.SSL_get1_peer_certificate(ssl_.get()), X509Free{&api});
  if (cert.get() != nullptr) {
    peer_.subject = NameLine(api, api.X509_get_subject_name(cert.get()));
    peer_.issuer = NameLine(api, api.X509_get_issuer_name(cert.get()));
    const ASN1_TIME* notAfter = api.X509_get0_notAfter(cert.get());
    std::tm tm{};
    if (notAfter != nullptr && api.ASN1_TIME_to_tm(notAfter, &tm) == 1) {
      char text[64];
      std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &tm);
      peer_.notAfter = text;
      peer_.expired = api.X509_cmp_current_time(notAfter) < 0;
    }
    peer_.certificateSha256 = HexPairs(Sha256(api, Der(api.i2d_X509, cert.get())));
    std::string key = Der(api.i2d_X509_PUBKEY, api.X509_get_X509_PUBKEY(cert.get()));
    if (!key.empty()) peer_.publicKeyPin = "sha256//" + Base64(api, Sha256(api, key));
  }
  if (settings_.verifyCertificate || settings_.inspectCertificate) {
    peer_.verifyChecked = true;
    long result = cert.get() != nullptr ? api.SSL_get_verify_result(ssl_.get()) : X509_V_ERR_UNSPECIFIED;
    peer_.verified = result == X509_V_OK;
    if (!peer_.verified) {
      peer_.verifyError = cert.get() != nullptr ? api.X509_verify_cert_error_string(result)
                                                : "the server sent no certificate";
    }
  }
}

void TlsChannel::CheckCertificate() {
  const std::string found = peer_.publicKeyPin.empty() ? "nessuna" : peer_.publicKeyPin;
  std::string failure;
  if (settings_.verifyCertificate && !peer_.verified) {
    failure = "VerificaCertificato: certificato del server non valido (" + peer_.verifyError +
              "); impronta del server " + found;
  } else if (!settings_.pinnedKeys.empty()) {
    bool match = false;
    for (const std::string& pin : settings_.pinnedKeys) match = match || pin == peer_.publicKeyPin;
    if (!match)
      failure = "ImprontaCertificato: la chiave del server non corrisponde; impronta del server " + found;
  }
  if (failure.empty()) return;
  // Nothing of a request has been written: the session goes without a
  // close alert and the socket is closed by Connect's handler.
  established_ = false;
  throw EIdOSSLConnectError(std::string(kConnectError) + "\r\n" + failure);
}

}  // namespace velmora
