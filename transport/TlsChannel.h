// The socket channel of the HTTP client: plain TCP for http, TLS over
// OpenSSL 3 for https. OpenSSL is opened with dlopen on the first TLS connect
// under a process-wide lock and stays loaded; http works without it.
//
// TLS settings: flexible method, TLS 1.0 up to TLS 1.2 as the version set
// allows them and TLS 1.3 with TLS 1.2 unless the set names one version alone
// (security level 0 so that TLS 1.0 servers are reached), no certificate
// verification, server name = the URL's host as written.
//
// Two certificate checks can be switched on (the parameter file's keys
// "VerificaCertificato" and "ImprontaCertificato", see
// ApplicaControlliCertificato): the chain against a CA store with the host
// name, and pinned public keys. They run at the end of the handshake, before
// any byte of a request is written; without them the channel sends exactly
// what it sent before.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/HttpStream.h"
#include "transport/OpenSslOwners.h"
#include "transport/Socket.h"

namespace velmora {

// The version set: one bit each, from bit 0.
inline constexpr int kSslVersionSSL2 = 1;
inline constexpr int kSslVersionFlexible = 2;
inline constexpr int kSslVersionSSL3 = 4;
inline constexpr int kSslVersionTLS1 = 8;
inline constexpr int kSslVersionTLS1_1 = 16;
inline constexpr int kSslVersionTLS1_2 = 32;
inline constexpr int kSslVersionsAll = 63;

// The effective set: a set naming the flexible member loses it (61 when no
// concrete version remains); any other set stays as it is. A set of exactly
// one concrete version allows that version alone; an empty set allows none.
int EffectiveSslVersions(int versions);

struct TlsSettings {
  int sslVersions = kSslVersionsAll;
  int connectTimeoutMs = 0;  // copied from the HTTP client at each connect
  int readTimeoutMs = 0;     // copied from the HTTP client at each connect
  // Library file names (crypto first); the default names of OpenSSL 3.
  std::string cryptoLibrary = "libcrypto.so.3";
  std::string sslLibrary = "libssl.so.3";

  // Certificate checks, all off by default.
  // The server's chain must verify against `caFile` (PEM; the system's CA
  // store when empty) and name the host of the URL.
  bool verifyCertificate = false;
  std::string caFile;
  // "sha256//BASE64" digests of the server's public key (SubjectPublicKeyInfo,
  // DER); when not empty the server's key must have one of them.
  std::vector<std::string> pinnedKeys;
  // Loads the CA store and records the verification result for PeerInfo()
  // without enforcing it (for a diagnosis of the connection).
  bool inspectCertificate = false;
};

// What the handshake showed of the server, for a diagnosis.
struct TlsPeerInfo {
  std::string protocol;  // "TLSv1.3", ...
  std::string cipher;    // the library's cipher name
  std::string subject;   // "/CN=..." as the library prints one-line names
  std::string issuer;
  std::string notAfter;  // "2026-12-31 23:59:59 UTC"
  bool expired = false;
  std::string certificateSha256;  // of the certificate's DER, hex pairs joined by ":"
  std::string publicKeyPin;       // "sha256//BASE64" of the public key
  // Set when the CA store was loaded (verifyCertificate or inspectCertificate).
  bool verifyChecked = false;
  bool verified = false;
  std::string verifyError;  // the library's text when not verified
};

// The pins of an "ImprontaCertificato" value: the entries separated by ";",
// blanks around each dropped, empty entries skipped. Pure.
std::vector<std::string> ImprontePubbliche(std::string_view value);
// True when `pin` is "sha256//" followed by the 44 base64 characters of a
// SHA-256 digest. Pure.
bool ImprontaBenFormata(std::string_view pin);
// Reads the certificate keys of section "CONFIG" of the parameter file into
// `settings`: "VerificaCertificato" (on for any value other than empty and
// "0"), "FileCertificatiCA" (a relative path is taken from the parameter
// file's directory) and "ImprontaCertificato". Keys that are absent leave
// the settings as they are. Never throws.
void ApplicaControlliCertificato(const std::string& parameterFile, TlsSettings& settings);

// Loads the named OpenSSL pair once per process (under the process-wide
// lock); true when usable: an OpenSSL of the 3.x series or later with every
// function the channel binds. `failures` receives the recorded reasons of a
// failed load, one a line ("Failed to load %s (loader text).", the name of
// each missing function, "Unsupported SSL Library: %s.", "Unsupported SSL
// Library version: %.8x."); they never reach the exception message. A
// failed load is retried at the next connect.
bool LoadTlsLibrary(const TlsSettings& settings, std::string* failures = nullptr);

class TlsChannel : public HttpStream {
 public:
  explicit TlsChannel(const TlsSettings& settings);
  ~TlsChannel() override;
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Connects to host:port. With `passThrough` the channel stays plain;
  // otherwise the TLS library is loaded (EIdOSSLCouldNotLoadSSLLibrary "Could
  // not load SSL library." on failure; for pass-through a load failure does
  // not matter), the socket time-outs are set to the read time-out (30000 ms
  // when not positive) and the client handshake runs with `serverName` as
  // SNI. Raises the socket errors of TcpSocket::Connect and the EIdOSSL*
  // family of the handshake ("Error connecting with SSL." CR LF reason). A
  // certificate check that fails raises EIdOSSLConnectError "Error
  // connecting with SSL." CR LF a line naming the key of the check and the
  // server's public-key pin, and the connection is closed before anything is
  // written.
  void Connect(const std::string& host, int port, bool ipv6Literal, bool passThrough,
               const std::string& serverName);

  // Reads decrypted (or plain) bytes, waiting at most the read time-out for
  // each: 0 when the peer closed (a TLS close or a bare TCP close). Raises
  // EIdReadTimeout, EIdSocketError, EIdOpenSSLAPISSLError or
  // EIdOSSLUnderlyingCryptoError.
  size_t Read(char* buffer, size_t capacity) override;
  // Writes all bytes (encrypted unless plain). A peer that takes nothing for
  // the write time-out (the read time-out's value) ends the send with
  // EIdSocketError 10060 "Connection timed out."; otherwise raises as Read.
  void Write(const char* data, size_t size) override;
  // Every wait of the channel (connect, handshake, read, write) also ends
  // with EStopRequested on a stop signal (platform/Signals.h).

  // True when connected and nothing (data or close) is pending.
  bool Reusable() const;
  // True when received data (or the peer's close) waits to be read now;
  // for TLS, records that carry no data (session tickets) do not count.
  // Never waits.
  bool InputPending();
  bool IsOpen() const { return socket_.IsOpen(); }
  bool IsTls() const { return ssl_ != nullptr; }
  // The negotiated protocol ("TLSv1", "TLSv1.2", ...), empty when plain.
  std::string ProtocolVersion() const;
  // What the last handshake showed of the server (empty fields when plain).
  const TlsPeerInfo& PeerInfo() const { return peer_; }
  // Ends the TLS session and closes the socket; frees the context. Never
  // throws.
  void Close() noexcept;

 private:
  void PrepareContext();
  void Handshake(const std::string& serverName);
  void InspectPeer();
  void CheckCertificate();
  // Waits for the non-blocking socket as the TLS library asked, at most the
  // read time-out (30000 ms when not positive): false on time-out.
  bool WaitForSocket(bool writable);

  TlsSettings settings_;
  TcpSocket socket_;
  const struct OpenSslApi* api_ = nullptr;
  SslContextOwner ctx_;       // from the first TLS connect until Close
  SslSessionOwner ssl_;       // the session of the open TLS connection
  bool established_ = false;  // handshake done and no fatal error since
  TlsPeerInfo peer_;
};

}  // namespace velmora
