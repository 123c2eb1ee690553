#include "transport/TlsChannel.h"

#include <signal.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/Exceptions.h"
#include "transport/OpenSslLibrary.h"

namespace velmora {

namespace {

// Keeps a write to a socket the peer has closed from killing the process:
// SIGPIPE is blocked on this thread for the scope and a SIGPIPE raised
// meanwhile is consumed.
class SigPipeGuard {
 public:
  SigPipeGuard() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  }
  ~SigPipeGuard() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        timespec zero{0, 0};
        sigtimedwait(&pipe, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigPipeGuard(const SigPipeGuard&) = delete;
  SigPipeGuard& operator=(const SigPipeGuard&) = delete;

 private:
  sigset_t old_;
  bool wasPending_ = false;
};

constexpr const char* kEofText = "EOF was observed that violates the protocol";

// The errno of a system error the library reports (SSL_ERROR_SYSCALL): the
// one seen after the call, else the one the library queued for it; 0 when
// the failure is not a system error.
int SystemErrno(int savedErrno, unsigned long queued) {
  if (queued != 0 && ERR_GET_LIB(queued) != ERR_LIB_SYS) return 0;
  if (savedErrno != 0) return savedErrno;
  return queued != 0 ? ERR_GET_REASON(queued) : 0;
}

bool IsUnexpectedEof(unsigned long code) {
  return code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL &&
         ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

}  // namespace

int EffectiveSslVersions(int versions) {
  const int concrete[] = {kSslVersionSSL2, kSslVersionSSL3, kSslVersionTLS1, kSslVersionTLS1_1,
                          kSslVersionTLS1_2};
  int count = 0;
  for (int v : concrete) count += (versions & v) ? 1 : 0;
  if ((versions & kSslVersionFlexible) == 0) return versions;
  // Only a set naming the flexible member loses it; an empty set stays empty
  // (no version allowed: the handshake fails).
  int set = versions & ~kSslVersionFlexible;
  if (count == 0) set |= kSslVersionsAll & ~kSslVersionFlexible;
  return set;
}

TlsChannel::TlsChannel(const TlsSettings& settings) : settings_(settings) {}

TlsChannel::~TlsChannel() { Close(); }

void TlsChannel::Close() noexcept {
  if (ssl_ != nullptr && established_) {
    SigPipeGuard guard;
    api_->SSL_shutdown(ssl_.get());
  }
  ssl_.reset();
  ctx_.reset();
  if (api_ != nullptr) api_->ERR_clear_error();
  established_ = false;
  socket_.Close();
}

void TlsChannel::PrepareContext() {
  const OpenSslApi& api = *api_;
  int versions = EffectiveSslVersions(settings_.sslVersions);
  if (versions == kSslVersionSSL2) throw EIdOSSLGetMethodError("Error getting SSL method.");
  const SSL_METHOD* method = api.TLS_client_method();
  if (method == nullptr) throw EIdOSSLGetMethodError("Error getting SSL method.");
  api.ERR_clear_error();
  ctx_ = SslContextOwner(api.SSL_CTX_new(method), SslContextFree{&api});
  if (ctx_ == nullptr) {
    throw EIdOSSLCreatingContextError(std::string("Error creating SSL context.\r\n") +
                                      api.ErrorText(api.ERR_get_error()));
  }
  SSL_CTX* ctx = ctx_.get();
  // Old servers: the lowest versions, legacy ciphers and servers without
  // secure renegotiation must still be reached, so the security level is 0.
  api.SSL_CTX_set_security_level(ctx, 0);
  api.SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  api.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, 0, nullptr);
  api.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MAX_PROTO_VERSION, 0, nullptr);
  api.SSL_CTX_set_options(ctx, SSL_OP_LEGACY_SERVER_CONNECT);
  struct VersionOption {
    int member;
    uint64_t disable;
  };
  // A set of several versions negotiates flexibly and then offers TLS 1.3
  // together with TLS 1.2; a set of exactly one version allows that version
  // alone, as its own method would.
  const bool single = versions == kSslVersionSSL3 || versions == kSslVersionTLS1 ||
                      versions == kSslVersionTLS1_1 || versions == kSslVersionTLS1_2;
  const int tls13 = single ? 0 : kSslVersionTLS1_2;
  const VersionOption options[] = {{kSslVersionSSL3, SSL_OP_NO_SSLv3},
                                   {kSslVersionTLS1, SSL_OP_NO_TLSv1},
                                   {kSslVersionTLS1_1, SSL_OP_NO_TLSv1_1},
                                   {kSslVersionTLS1_2, SSL_OP_NO_TLSv1_2},
                                   {tls13, SSL_OP_NO_TLSv1_3}};
  for (const auto& o : options) {
    if (versions & o.member) {
      api.SSL_CTX_clear_options(ctx, o.disable);
    } else {
      api.SSL_CTX_set_options(ctx, o.disable);
    }
  }
  api.SSL_CTX_ctrl(ctx, SSL_CTRL_MODE, SSL_MODE_AUTO_RETRY, nullptr);
  api.SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // The chain is checked after the handshake (CheckCertificate), so the
  // verification mode stays "none" and only the trust anchors are loaded.
  if (settings_.verifyCertificate || settings_.inspectCertificate) {
    if (!settings_.caFile.empty()) {
      if (api.SSL_CTX_load_verify_locations(ctx, settings_.caFile.c_str(), nullptr) != 1) {
        std::string reason = api.ErrorText(api.ERR_get_error());
        throw EIdOSSLConnectError(std::string(kConnectError) + "\r\nFileCertificatiCA: impossibile leggere " +
                                  settings_.caFile + " (" + reason + ")");
      }
    } else {
      api.SSL_CTX_set_default_verify_paths(ctx);
    }
    api.ERR_clear_error();
  }
}

void TlsChannel::Connect(const std::string& host, int port, bool ipv6Literal, bool passThrough,
                         const std::string& serverName) {
  Close();
  peer_ = TlsPeerInfo{};
  if (!passThrough) {
    api_ = LoadOpenSsl(settings_, nullptr);
    if (api_ == nullptr) throw EIdOSSLCouldNotLoadSSLLibrary("Could not load SSL library.");
    PrepareContext();
  }
  try {
    socket_.Connect(host, port, ipv6Literal, settings_.connectTimeoutMs);
    if (passThrough) {
      // Bounds a send to a peer that stopped reading; reads wait by poll.
      socket_.SetKernelTimeouts(settings_.readTimeoutMs);
      return;
    }
    socket_.SetKernelTimeouts(settings_.readTimeoutMs > 0 ? settings_.readTimeoutMs : 30000);
    Handshake(serverName.empty() ? host : serverName);
  } catch (...) {
    Close();
    throw;
  }
}

void TlsChannel::Handshake(const std::string& serverName) {
  const OpenSslApi& api = *api_;
  api.ERR_clear_error();
  ssl_ = SslSessionOwner(api.SSL_new(ctx_.get()), SslSessionFree{&api});
  if (ssl_ == nullptr) throw EIdOSSLCreatingSessionError("Error creating SSL session.");
  if (api.SSL_set_fd(ssl_.get(), socket_.Fd()) != 1) {
    throw EIdOSSLFDSetError(std::string("Error setting File Descriptor for SSL\r\n") +
                            api.ErrorText(api.ERR_get_error()));
  }
  // SSL_set_tlsext_host_name, as the macro expands.
  api.SSL_ctrl(ssl_.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(serverName.c_str()));
  if (settings_.verifyCertificate || settings_.inspectCertificate) {
    // The name the certificate must carry: the URL's host, as DNS name or
    // as IP address.
    ExpectPeerName(api, ssl_.get(), serverName);
  }
  api.ERR_clear_error();
  SigPipeGuard guard;
  for (;;) {
    errno = 0;
    int ret = api.SSL_connect(ssl_.get());
    if (ret == 1) break;
    int savedErrno = errno;
    int error = api.SSL_get_error(ssl_.get(), ret);
    unsigned long queued = api.ERR_peek_error();
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      // The socket is non-blocking: wait for it, at most the read time-out.
      if (!WaitForSocket(error == SSL_ERROR_WANT_WRITE)) RaiseSocketError(kSocketErrorTimedOut);
      continue;
    }
    if (IsUnexpectedEof(queued) || (error == SSL_ERROR_SYSCALL && queued == 0 && savedErrno == 0)) {
      throw EIdOSSLConnectError(std::string(kConnectError) + "\r\n" + kEofText);
    }
    if (error == SSL_ERROR_SSL || (error == SSL_ERROR_SYSCALL && queued != 0)) {
      throw EIdOSSLUnderlyingCryptoError(std::string(kConnectError) + "\r\n" + api.ErrorText(queued));
    }
    if (error == SSL_ERROR_SYSCALL) {
      if (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK) RaiseSocketError(kSocketErrorTimedOut);
      RaiseSocketErrno(savedErrno);
    }
    throw EIdOSSLConnectError(std::string(kConnectError) + "\r\n" +
                              (queued != 0 ? api.ErrorText(queued) : "SSL error " + std::to_string(error)));
  }
  established_ = true;
  InspectPeer();
  CheckCertificate();
}

bool TlsChannel::WaitForSocket(bool writable) {
  int timeoutMs = settings_.readTimeoutMs > 0 ? settings_.readTimeoutMs : 30000;
  return writable ? socket_.WaitWritable(timeoutMs) : socket_.WaitReadable(timeoutMs);
}

size_t TlsChannel::Read(char* buffer, size_t capacity) {
  if (ssl_ == nullptr) return socket_.Read(buffer, capacity, settings_.readTimeoutMs);
  const OpenSslApi& api = *api_;
  // A read may answer the server (key updates), so it may write too.
  SigPipeGuard guard;
  int want = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
  for (;;) {
    if (api.SSL_pending(ssl_.get()) == 0 && !socket_.WaitReadable(settings_.readTimeoutMs)) {
      throw EIdReadTimeout("Read timed out.");
    }
    api.ERR_clear_error();
    errno = 0;
    int n = api.SSL_read(ssl_.get(), buffer, want);
    if (n > 0) return static_cast<size_t>(n);
    int savedErrno = errno;
    int error = api.SSL_get_error(ssl_.get(), n);
    unsigned long queued = api.ERR_peek_error();
    switch (error) {
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      case SSL_ERROR_WANT_READ:
        continue;  // a partial record: the wait above takes the rest
      case SSL_ERROR_WANT_WRITE:
        if (!WaitForSocket(true)) throw EIdReadTimeout("Read timed out.");
        continue;
      case SSL_ERROR_SYSCALL:
        if (queued == 0 && savedErrno == 0) {
          established_ = false;  // a bare TCP close ends the data as well
          return 0;
        }
        established_ = false;
        if (int e = SystemErrno(savedErrno, queued); e != 0) RaiseSocketErrno(e);
        throw EIdOpenSSLAPISSLError(api.ErrorText(queued));
      case SSL_ERROR_SSL:
        established_ = false;
        if (IsUnexpectedEof(queued)) return 0;
        throw EIdOSSLUnderlyingCryptoError(api.ErrorText(queued));
      default:
        throw EIdOpenSSLAPISSLError(queued != 0 ? api.ErrorText(queued)
                                                : "SSL error " + std::to_string(error));
    }
  }
}

void TlsChannel::Write(const char* data, size_t size) {
  if (ssl_ == nullptr) {
    socket_.Write(data, size);
    return;
  }
  const OpenSslApi& api = *api_;
  SigPipeGuard guard;
  while (size > 0) {
    api.ERR_clear_error();
    errno = 0;
    int n = api.SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    int savedErrno = errno;
    int error = api.SSL_get_error(ssl_.get(), n);
    unsigned long queued = api.ERR_peek_error();
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      // A peer that takes nothing for the write time-out ends the send. A
      // record is left half written: the session can carry nothing more,
      // not even a close alert.
      if (!WaitForSocket(error == SSL_ERROR_WANT_WRITE)) {
        established_ = false;
        RaiseSocketError(kSocketErrorTimedOut);
      }
      continue;
    }
    established_ = false;
    if (error == SSL_ERROR_SYSCALL) {
      if (queued == 0) RaiseSocketErrno(savedErrno != 0 ? savedErrno : EPIPE);
      if (int e = SystemErrno(savedErrno, queued); e != 0) RaiseSocketErrno(e);
    }
    if (error == SSL_ERROR_SSL) throw EIdOSSLUnderlyingCryptoError(api.ErrorText(queued));
    throw EIdOpenSSLAPISSLError(queued != 0 ? api.ErrorText(queued) : "SSL error " + std::to_string(error));
  }
}

bool TlsChannel::Reusable() const {
  if (ssl_ != nullptr && (!established_ || api_->SSL_pending(ssl_.get()) > 0)) return false;
  return socket_.IdleAndOpen();
}

bool TlsChannel::InputPending() {
  if (ssl_ == nullptr) return socket_.IsOpen() && !socket_.IdleAndOpen();
  const OpenSslApi& api = *api_;
  if (api.SSL_pending(ssl_.get()) > 0) return true;
  if (!socket_.IsOpen() || socket_.IdleAndOpen()) return false;
  // Bytes wait on the socket, but they need not be data: a TLS 1.3 server
  // sends its session tickets after the handshake, and a client that has not
  // read yet finds them there. Only a record of data or the peer's close
  // counts; the socket is non-blocking, so a look does not wait.
  SigPipeGuard guard;
  api.ERR_clear_error();
  char byte;
  int n = api.SSL_peek(ssl_.get(), &byte, 1);
  if (n > 0) return true;
  int error = api.SSL_get_error(ssl_.get(), n);
  api.ERR_clear_error();
  return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

std::string TlsChannel::ProtocolVersion() const {
  if (ssl_ == nullptr) return "";
  return api_->SSL_get_version(ssl_.get());
}

}  // namespace velmora