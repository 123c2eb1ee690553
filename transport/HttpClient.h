// The HTTP/HTTPS client of the run: one request record reused by every
// request, a cookie jar, at most one open connection (plain or TLS), and the
// GET/POST/PUT calls that return the decoded answer text.
//
// Every call returns normally for a 2xx answer (and with an empty text for
// 101) and raises otherwise:
//   EIdHTTPProtocolException   any other status (message: the status line as
//                              received; ErrorCode/ErrorMessage: code and body)
//   EIdConnectTimeout          no TCP connection within ConnectTimeout
//   EIdReadTimeout             no data within ReadTimeout while reading
//   EIdConnClosedGracefully    the server closed where a status line, header
//                              line or chunk was expected
//   EIdSocketError             socket or name-resolution error
//   EIdHostRequired            URL without host
//   EIdUnknownProtocol         scheme other than http/https and no port
//   EIdReadLnMaxLineLengthExceeded  an answer line longer than 16384 characters
//   EIdException               an answer header block or body beyond the
//                              client's memory bounds (see HttpWire.h)
//   EIdOSSL*, EIdOpenSSLAPISSLError  TLS failures (see TlsChannel.h)
//   EStreamError               a request body that ends before its Size()
//   whatever the BodyStream raises while it is read.
// After an exception the connection is closed unless the keep-alive verdict
// of a complete answer allows it to stay open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/BodyStream.h"
#include "transport/CookieJar.h"
#include "transport/HttpWire.h"
#include "transport/TlsChannel.h"

namespace velmora {

// The default "Accept" value that the header reset restores.
inline constexpr const char* kDefaultAccept =
    "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

// The request record: the header fields the caller may set. Texts are UTF-8;
// on the wire they become 7-bit text (see HttpWire.h).
struct HttpRequestRecord {
  std::string contentType;  // "Content-Type" when not empty
  std::string charSet;      // "; charset=" parameter of "Content-Type" when not empty
  std::string connection;   // "Connection" when not empty (POST sets "keep-alive")
  std::string accept = kDefaultAccept;
  std::string userAgent;  // kept by the header reset
  // Custom header lines in insertion order; kept by the header reset.
  HeaderList customHeaders;

  // Sets a custom header: replaces the value of an existing entry of the same
  // name (compared without case) in place, appends a new one otherwise; an
  // empty value removes the entry.
  void SetCustomHeader(std::string_view name, std::string_view value);
  // Clears every field except user agent and custom headers; "Accept" goes
  // back to kDefaultAccept.
  void Reset();
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Settings. Time-outs in milliseconds; 0 or less means no limit.
  void SetConnectTimeout(int milliseconds) { connectTimeoutMs_ = milliseconds; }
  void SetReadTimeout(int milliseconds) { readTimeoutMs_ = milliseconds; }
  int ConnectTimeout() const { return connectTimeoutMs_; }
  int ReadTimeout() const { return readTimeoutMs_; }

  // The TLS handler that carries https URLs (always present; plain mode for
  // http). Its settings (version set, its own time-outs, library names) may
  // be changed before any request; the client's connect and read time-outs
  // are copied into it at every connect.
  TlsSettings& TlsHandler() { return tls_; }

  // The request record and its reset (the reset every server routine
  // performs before building its request).
  HttpRequestRecord& Request() { return request_; }
  void ResetRequestHeaders() { request_.Reset(); }
  // Shorthands for the record's fields.
  void SetContentType(std::string_view mediaType) { request_.contentType = std::string(mediaType); }
  void SetUserAgent(std::string_view userAgent) { request_.userAgent = std::string(userAgent); }
  void SetCustomHeader(std::string_view name, std::string_view value) {
    request_.SetCustomHeader(name, value);
  }

  // GET: HTTP/1.1, no body, no "Content-Length"; reuses an open keep-alive
  // connection to the same host and port. Returns the decoded answer text.
  std::string Get(const std::string& url);
  // POST: closes any open connection first, sends HTTP/1.0 with
  // "Connection: keep-alive" and "Content-Length" = body.Size(); the body is
  // rewound and streamed in pieces of at most 32768 bytes. The caller keeps
  // ownership of the body.
  std::string Post(const std::string& url, BodyStream& body);
  // POST whose "Content-Type" is replaced by `requestContentType` first (the
  // multipart body passes its own "multipart/form-data; boundary=...").
  std::string Post(const std::string& url, BodyStream& body, std::string_view requestContentType);
  // POST of bytes held in memory (JSON text as UTF-8).
  std::string Post(const std::string& url, std::string_view body);
  // PUT: HTTP/1.1, "Content-Length" = body size, reuses like GET.
  std::string Put(const std::string& url, BodyStream& body);
  std::string Put(const std::string& url, std::string_view body);

  // The last answer (also after an EIdHTTPProtocolException).
  int ResponseCode() const { return response_.code; }
  // The status line as received, e.g. "HTTP/1.1 404 Not Found".
  const std::string& ResponseText() const { return response_.statusLine; }
  const HttpResponseHead& Response() const { return response_; }
  // The cookie jar (lives as long as the client).
  const CookieJar& Cookies() const { return cookies_; }
  // True while a connection is open (kept by the keep-alive verdict).
  bool Connected() const;

  // Closes the open connection, if any. Never throws.
  void Disconnect() noexcept;

 private:
  std::string Perform(const char* method, const std::string& url, BodyStream* body, bool http10);
  void OpenConnection(const Url& url, int port, bool tls);
  void SendRequest(const char* method, const Url& url, int port, BodyStream* body, bool http10);

  int connectTimeoutMs_ = 0;
  int readTimeoutMs_ = 0;
  TlsSettings tls_;
  HttpRequestRecord request_;
  HttpResponseHead response_;
  CookieJar cookies_;
  std::unique_ptr<TlsChannel> channel_;     // the open connection, if any
  std::unique_ptr<ResponseReader> reader_;  // reads answers from channel_
  std::string channelHost_;
  int channelPort_ = 0;
  bool channelTls_ = false;
};

}  // namespace velmora
