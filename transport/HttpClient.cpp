#include "transport/HttpClient.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>

#include "platform/Exceptions.h"
#include "platform/Text.h"

namespace velmora {

namespace {

// Body bytes are taken from their source in pieces of at most this size.
constexpr size_t kBodyPiece = 32768;
// Pieces are gathered into socket writes of up to this size: large enough to
// halve the send calls, small enough to stay in the CPU cache between the
// source's read and the send (a 256 KiB buffer cost 50% more CPU time).
constexpr size_t kSendBuffer = 2 * kBodyPiece;

// A body over bytes the caller keeps alive for the call.
class ViewBodyStream : public BodyStream {
 public:
  explicit ViewBodyStream(std::string_view bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  void Rewind() override { position_ = 0; }
  size_t Read(char* buffer, size_t capacity) override {
    size_t n = std::min(capacity, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

}  // namespace

void HttpRequestRecord::SetCustomHeader(std::string_view name, std::string_view value) {
  auto it = std::find_if(customHeaders.begin(), customHeaders.end(),
                         [&](const auto& h) { return EqualsNoCase(h.first, name); });
  if (value.empty()) {
    if (it != customHeaders.end()) customHeaders.erase(it);
  } else if (it != customHeaders.end()) {
    it->second = std::string(value);
  } else {
    customHeaders.emplace_back(std::string(name), std::string(value));
  }
}

void HttpRequestRecord::Reset() {
  contentType.clear();
  charSet.clear();
  connection.clear();
  accept = kDefaultAccept;
}

HttpClient::HttpClient() = default;

HttpClient::~HttpClient() { Disconnect(); }

bool HttpClient::Connected() const { return channel_ != nullptr && channel_->IsOpen(); }

void HttpClient::Disconnect() noexcept {
  reader_.reset();
  if (channel_) channel_->Close();
  channel_.reset();
}

std::string HttpClient::Get(const std::string& url) { return Perform("GET", url, nullptr, false); }

std::string HttpClient::Post(const std::string& url, BodyStream& body) {
  return Perform("POST", url, &body, true);
}

std::string HttpClient::Post(const std::string& url, BodyStream& body, std::string_view requestContentType) {
  request_.contentType = std::string(requestContentType);
  return Post(url, body);
}

std::string HttpClient::Post(const std::string& url, std::string_view body) {
  ViewBodyStream stream(body);
  return Post(url, stream);
}

std::string HttpClient::Put(const std::string& url, BodyStream& body) {
  return Perform("PUT", url, &body, false);
}

std::string HttpClient::Put(const std::string& url, std::string_view body) {
  ViewBodyStream stream(body);
  return Put(url, stream);
}

void HttpClient::OpenConnection(const Url& url, int port, bool tls) {
  if (channel_ && (!EqualsNoCase(channelHost_, url.host) || channelPort_ != port || channelTls_ != tls)) {
    Disconnect();
  }
  // Bytes beyond the last answer leave the connection in an unknown state.
  if (channel_ && channel_->Reusable() && reader_->Buffered() == 0) return;
  Disconnect();
  TlsSettings settings = tls_;
  settings.connectTimeoutMs = connectTimeoutMs_;
  settings.readTimeoutMs = readTimeoutMs_;
  auto channel = std::make_unique<TlsChannel>(settings);
  channel->Connect(url.host, port, url.ipv6Literal, !tls, url.host);
  channel_ = std::move(channel);
  reader_ = std::make_unique<ResponseReader>(*channel_);
  channelHost_ = url.host;
  channelPort_ = port;
  channelTls_ = tls;
}

void HttpClient::SendRequest(const char* method, const Url& url, int port, BodyStream* body, bool http10) {
  HeaderList headers;
  headers.emplace_back("Connection", request_.connection);
  std::string contentType = request_.contentType;
  if (!contentType.empty() && !request_.charSet.empty()) contentType += "; charset=" + request_.charSet;
  headers.emplace_back("Content-Type", contentType);
  uint64_t size = body ? body->Size() : 0;
  if (std::strcmp(method, "GET") != 0) headers.emplace_back("Content-Length", std::to_string(size));
  for (const auto& h : request_.customHeaders) headers.push_back(h);
  headers.emplace_back("Host", HostHeaderValue(url, port));
  headers.emplace_back("Accept", request_.accept);
  headers.emplace_back("User-Agent", request_.userAgent);
  headers.emplace_back("Cookie", cookies_.HeaderFor(url, static_cast<int64_t>(std::time(nullptr))));
  std::string head = FormatRequestHead(method, RequestTarget(url), http10, headers);

  if (body == nullptr || size == 0) {
    channel_->Write(head.data(), head.size());
    return;
  }
  body->Rewind();
  // The head and the first body pieces go out together; then the body in
  // gathered pieces, never more than kSendBuffer bytes in memory.
  size_t capacity = std::max(kSendBuffer, head.size() + kBodyPiece);
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::memcpy(buffer.get(), head.data(), head.size());
  size_t filled = head.size();
  uint64_t left = size;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>({left, kBodyPiece, capacity - filled}));
    size_t got = body->Read(buffer.get() + filled, want);
    if (got == 0) throw EStreamError("Request body ended before its announced size.");
    filled += got;
    left -= got;
    if (capacity - filled < kBodyPiece || left == 0) {
      channel_->Write(buffer.get(), filled);
      filled = 0;
    }
  }
}

std::string HttpClient::Perform(const char* method, const std::string& url, BodyStream* body, bool http10) {
  response_ = HttpResponseHead();
  Url parsed = ParseUrl(url);
  int port = RequestPort(parsed);
  bool tls = EqualsNoCase(parsed.scheme, "https");
  if (http10) {
    // POST: always a fresh connection, HTTP/1.0, asking to keep it alive.
    Disconnect();
    request_.connection = "keep-alive";
  }

  std::string bodyBytes;
  bool failure = false;
  std::exception_ptr sendError;
  try {
    OpenConnection(parsed, port, tls);
    try {
      SendRequest(method, parsed, port, body, http10);
    } catch (const EIdSocketError&) {
      // A server may answer and stop reading before the body is complete
      // (a 413 for an upload too large): its answer, when already here,
      // tells more than the broken send.
      if (!channel_->InputPending()) throw;
      sendError = std::current_exception();
    }
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    response_ = reader_->ReadFinalHead([&](const HttpResponseHead& head) {
      response_ = head;
      for (const auto& [name, value] : head.headers) {
        if (EqualsNoCase(name, "Set-Cookie")) cookies_.Store(value, parsed, now);
      }
    });
    failure = response_.code != 101 && (response_.code < 200 || response_.code > 299);
    // After a broken send only a failure answer is reported: a success
    // answer cannot stand for a body that was not delivered.
    if (sendError && !failure) std::rethrow_exception(sendError);
    if (response_.code == 101) {
      // The connection now speaks another protocol: it is not kept.
      Disconnect();
      return "";
    }
    bodyBytes = reader_->ReadBody(response_, failure);
  } catch (...) {
    Disconnect();
    if (sendError) std::rethrow_exception(sendError);
    throw;
  }
  if (sendError) Disconnect();

  bool keep = channel_ && channel_->IsOpen() && !reader_->PeerClosed() &&
              !EqualsNoCase(Trim(request_.connection, kSpaceTab), "close");
  if (keep) {
    keep = http10 ? EqualsNoCase(response_.connection, "keep-alive")
                  : !EqualsNoCase(response_.connection, "close");
  }
  if (!keep) Disconnect();

  std::string text = DecodeBody(std::move(bodyBytes), response_);
  if (failure) throw EIdHTTPProtocolException(response_.statusLine, response_.code, std::move(text));
  return text;
}

}  // namespace velmora
