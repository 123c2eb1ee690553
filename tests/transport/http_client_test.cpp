// The HTTP client against the scripted raw-socket peer: exact request bytes,
// connection reuse, status handling, cookies, time-outs and broken servers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "tests/transport/HttpTestPeers.h"
#include "transport/HttpClient.h"

namespace velmora {
namespace {

using test::PeerConnection;
using test::PeerStep;
using test::ScriptedPeer;

const char* kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/52.0.2743.116 "
    "Safari/537.36";
const std::string kAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

std::string Answer(const std::string& status, const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// A client as the run sets it up.
struct RunClient {
  HttpClient client;
  RunClient() {
    client.SetConnectTimeout(60000);
    client.SetReadTimeout(60000);
    client.SetUserAgent(kUserAgent);
  }
};

TEST(HttpClientWire, SendsTheRequestsOfTheRunByteForByte) {
  const std::string ok = Answer("200 OK", "{}", "Connection: keep-alive\r\n");
  ScriptedPeer peer({{{ok}}, {{ok}, {ok}, {ok}}});
  RunClient run;
  HttpClient& c = run.client;
  const std::string host = "Host: " + peer.HostHeader() + "\r\n";
  const std::string tail = "Accept: " + kAccept + "\r\nUser-Agent: " + kUserAgent + "\r\n\r\n";

  // The login: POST, HTTP/1.0, no token yet.
  c.ResetRequestHeaders();
  c.SetContentType("application/json");
  EXPECT_EQ(c.Post(peer.Url("/base/api/v1/session"), std::string_view("{\"a\":1}")), "{}");
  EXPECT_EQ(
      peer.NextRequest().bytes,
      "POST /base/api/v1/session HTTP/1.0\r\nConnection: keep-alive\r\nContent-Type: application/json\r\n"
      "Content-Length: 7\r\n" +
          host + tail + "{\"a\":1}");

  // The upload body: another POST with the token and a replaced content type.
  c.ResetRequestHeaders();
  c.SetContentType("multipart/form-data");
  c.SetCustomHeader("X-Auth-Token", "tok1");
  StringBodyStream body("0123456789");
  EXPECT_EQ(c.Post(peer.Url("/base/api/v1/users/u/upload/abc"), body, "multipart/form-data; boundary=--b"),
            "{}");
  test::PeerRequest upload = peer.NextRequest();
  EXPECT_EQ(upload.connection, 1);
  EXPECT_EQ(
      upload.bytes,
      "POST /base/api/v1/users/u/upload/abc HTTP/1.0\r\nConnection: keep-alive\r\n"
      "Content-Type: multipart/form-data; boundary=--b\r\nContent-Length: 10\r\nX-Auth-Token: tok1\r\n" +
          host + tail + "0123456789");

  // The photo lookup: GET with a content type, the token, no length, the same
  // connection (the POST answer said keep-alive).
  c.ResetRequestHeaders();
  c.SetContentType("application/json");
  c.SetCustomHeader("X-Auth-Token", "tok2");  // replaced in place
  c.SetCustomHeader("X-Other", "o");
  EXPECT_EQ(c.Get(peer.Url("/base/api/v1/photos?count=120&offset=0&order=newest&s=al")), "{}");
  test::PeerRequest get = peer.NextRequest();
  EXPECT_EQ(get.connection, 1);
  EXPECT_EQ(get.bytes,
            "GET /base/api/v1/photos?count=120&offset=0&order=newest&s=al HTTP/1.1\r\n"
            "Content-Type: application/json\r\nX-Auth-Token: tok2\r\nX-Other: o\r\n" +
                host + tail);

  // An empty token removes the header.
  c.ResetRequestHeaders();
  c.SetCustomHeader("X-Auth-Token", "");
  c.SetCustomHeader("X-Other", "");
  c.SetContentType("application/json");
  c.Request().charSet = "utf-8";
  StringBodyStream none("");
  EXPECT_EQ(c.Put(peer.Url("/base/api/v1/photos/p"), none), "{}");
  EXPECT_EQ(peer.NextRequest().bytes,
            "PUT /base/api/v1/photos/p HTTP/1.1\r\n"
            "Content-Type: application/json; charset=utf-8\r\nContent-Length: 0\r\n" +
                host + tail);
}

TEST(HttpClientWire, ValuesFromOutsideCannotAddLinesOrSplitTheRequest) {
  ScriptedPeer peer({{{Answer("200 OK", "")}}});
  RunClient run;
  run.client.SetCustomHeader("X-Auth-Token", "t\r\nX-Injected: 1\r\n\r\nGET /evil HTTP/1.1");
  run.client.SetContentType("application/json\nX: y");
  run.client.Put(peer.Url("/a b/c\r\nd?\xC3\xA8"), std::string_view("x"));
  std::string request = peer.NextRequest().bytes;
  EXPECT_EQ(request.rfind("PUT /a%20b/c%0D%0Ad?%C3%A8 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("X-Auth-Token: t??X-Injected: 1????GET /evil HTTP/1.1\r\n"), std::string::npos);
  EXPECT_NE(request.find("Content-Type: application/json?X: y\r\n"), std::string::npos);
  EXPECT_EQ(request.find("\r\nX-Injected"), std::string::npos);
}

// A body source that records the largest piece asked for.
class RecordingBody : public BodyStream {
 public:
  explicit RecordingBody(std::string bytes, uint64_t claimedSize = UINT64_MAX)
      : bytes_(std::move(bytes)), size_(claimedSize == UINT64_MAX ? bytes_.size() : claimedSize) {}
  uint64_t Size() const override { return size_; }
  void Rewind() override {
    position_ = 0;
    ++rewinds;
  }
  size_t Read(char* buffer, size_t capacity) override {
    largestPiece = std::max(largestPiece, capacity);
    size_t n = std::min(capacity, bytes_.size() - position_);
    bytes_.copy(buffer, n, position_);
    position_ += n;
    return n;
  }
  size_t largestPiece = 0;
  int rewinds = 0;

 private:
  std::string bytes_;
  uint64_t size_;
  size_t position_ = 0;
};

TEST(HttpClientWire, StreamsBodiesFromTheirStartInBoundedPieces) {
  std::string big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>('a' + i % 26);
  ScriptedPeer peer({{{Answer("200 OK", "ok")}}, {{Answer("200 OK", "ok")}}});
  RunClient run;
  RecordingBody body(big);
  char skip[100];
  body.Read(skip, sizeof(skip));  // a source already read from is sent from its start
  EXPECT_EQ(run.client.Post(peer.Url("/up"), body), "ok");
  std::string request = peer.NextRequest().bytes;
  ASSERT_GT(request.size(), big.size());
  EXPECT_EQ(request.substr(request.size() - big.size()), big);
  EXPECT_NE(request.find("Content-Length: 300000\r\n"), std::string::npos);
  EXPECT_LE(body.largestPiece, 32768u);
  EXPECT_EQ(body.rewinds, 1);

  // A source that ends before its announced size fails the call.
  RecordingBody shortBody("abc", 10);
  EXPECT_THROW(run.client.Post(peer.Url("/up"), shortBody), EStreamError);
}

struct Outcome {
  std::string className;  // empty: returned normally
  std::string message;    // exception message, or the returned text
  int code = 0;
  std::string errorBody;
};

Outcome Call(const std::function<std::string()>& call) {
  Outcome o;
  try {
    o.message = call();
  } catch (const EIdHTTPProtocolException& e) {
    o.className = e.ClassName();
    o.message = e.Message();
    o.code = e.ErrorCode();
    o.errorBody = e.ErrorMessage();
  } catch (const Exception& e) {
    o.className = e.ClassName();
    o.message = e.Message();
  }
  return o;
}

TEST(HttpClientStatus, DecidesByStatusCode) {
  struct Case {
    const char* name;
    std::string answer;
    Outcome expected;
  };
  const Case cases[] = {
      {"200", Answer("200 OK", "{\"ok\":1}"), {"", "{\"ok\":1}", 0, ""}},
      {"201 chunked",
       "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
       {"", "ok", 0, ""}},
      {"204", "HTTP/1.1 204 No Content\r\n\r\n", {"", "", 0, ""}},
      {"100 then 200", "HTTP/1.1 100 Continue\r\n\r\n" + Answer("200 OK", "after"), {"", "after", 0, ""}},
      {"101", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", {"", "", 0, ""}},
      {"302 with Location",
       Answer("302 Found", "moved", "Location: http://127.0.0.1:1/elsewhere\r\n"),
       {"EIdHTTPProtocolException", "HTTP/1.1 302 Found", 302, "moved"}},
      {"304",
       "HTTP/1.1 304 Not Modified\r\n\r\n",
       {"EIdHTTPProtocolException", "HTTP/1.1 304 Not Modified", 304, ""}},
      {"401 with NTLM challenge",
       Answer("401 Unauthorized", "denied", "WWW-Authenticate: NTLM\r\n"),
       {"EIdHTTPProtocolException", "HTTP/1.1 401 Unauthorized", 401, "denied"}},
      {"407",
       Answer("407 Proxy Authentication Required", ""),
       {"EIdHTTPProtocolException", "HTTP/1.1 407 Proxy Authentication Required", 407, ""}},
      {"404 utf-8 body",
       Answer("404 Not Found", "\xC3\xA8", "Content-Type: text/plain; charset=utf-8\r\n"),
       {"EIdHTTPProtocolException", "HTTP/1.1 404 Not Found", 404, "\xC3\xA8"}},
      {"500 cut short",
       "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 100\r\n\r\npartial",
       {"EIdHTTPProtocolException", "HTTP/1.1 500 Internal Server Error", 500, "partial"}},
      {"status not numeric",
       Answer("abc Weird", "w"),
       {"EIdHTTPProtocolException", "HTTP/1.1 abc Weird", -1, "w"}},
  };
  std::vector<PeerConnection> script;
  for (const Case& c : cases) script.push_back({PeerStep{c.answer, true}});
  ScriptedPeer peer(script);
  RunClient run;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run.client.ResetRequestHeaders();
    Outcome o = Call([&] { return run.client.Post(peer.Url("/s"), std::string_view("{}")); });
    EXPECT_EQ(o.className, c.expected.className);
    EXPECT_EQ(o.message, c.expected.message);
    EXPECT_EQ(o.code, c.expected.code);
    EXPECT_EQ(o.errorBody, c.expected.errorBody);
    peer.NextRequest();  // exactly one request per case: no redirect, no retry
  }
}

TEST(HttpClientConnection, ReusesOnlyUnderTheKeepAliveVerdict) {
  const std::string keep = Answer("200 OK", "k", "Connection: keep-alive\r\n");
  const std::string plain = Answer("200 OK", "p");
  const std::string close = Answer("200 OK", "c", "Connection: close\r\n");
  // conn 0: POST (keep-alive) + PUT + GET;  conn 1: POST without keep-alive;
  // conn 2: PUT + GET (close);  conn 3: GET until close;  conn 4: GET.
  ScriptedPeer peer({{{keep}, {plain}, {plain}},
                     {{plain}},
                     {{plain}, {close}},
                     {{"HTTP/1.1 200 OK\r\n\r\nuntil close", true}},
                     {{plain}}});
  RunClient run;
  HttpClient& c = run.client;
  struct Step {
    std::function<std::string()> call;
    std::string text;
    int connection;
  };
  const Step steps[] = {
      {[&] { return c.Post(peer.Url("/a"), std::string_view("1")); }, "k", 0},
      {[&] { return c.Put(peer.Url("/b"), std::string_view("2")); }, "p", 0},
      {[&] { return c.Get(peer.Url("/c")); }, "p", 0},
      // A POST after a PUT/GET on an open connection opens a new one.
      {[&] { return c.Post(peer.Url("/d"), std::string_view("3")); }, "p", 1},
      // The HTTP/1.0 POST answer lacked "keep-alive": a new connection.
      {[&] { return c.Put(peer.Url("/e"), std::string_view("4")); }, "p", 2},
      {[&] { return c.Get(peer.Url("/f")); }, "c", 2},
      {[&] { return c.Get(peer.Url("/g")); }, "until close", 3},
      {[&] { return c.Get(peer.Url("/h")); }, "p", 4},
  };
  int index = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(index++);
    EXPECT_EQ(s.call(), s.text);
    EXPECT_EQ(peer.NextRequest().connection, s.connection);
  }
}

TEST(HttpClientConnection, ReconnectsWhenTheServerClosedAKeptConnection) {
  // The server says keep-alive but closes right after the answer.
  ScriptedPeer peer(
      {{{Answer("200 OK", "1", "Connection: keep-alive\r\n"), true}}, {{Answer("200 OK", "2")}}});
  RunClient run;
  EXPECT_EQ(run.client.Post(peer.Url("/a"), std::string_view("x")), "1");
  peer.NextLine("CLOSED 0");
  EXPECT_EQ(run.client.Get(peer.Url("/b")), "2");
  EXPECT_EQ(peer.NextRequest().connection, 1);
}

TEST(HttpClientConnection, BytesBeyondTheAnswerRetireTheConnection) {
  ScriptedPeer peer({{{Answer("200 OK", "ok") + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale"}},
                     {{Answer("200 OK", "fresh")}}});
  RunClient run;
  EXPECT_EQ(run.client.Get(peer.Url("/a")), "ok");
  EXPECT_EQ(run.client.Get(peer.Url("/b")), "fresh");
  EXPECT_EQ(peer.NextRequest().connection, 0);
  EXPECT_EQ(peer.NextRequest().connection, 1);
}

TEST(HttpClientCookies, KeepsAndSendsCookiesAfterTheOtherHeaders) {
  ScriptedPeer peer({{{Answer("200 OK", "",
                              "Set-Cookie: sid=abc; Path=/\r\nSet-Cookie: s2=x; Secure\r\n"
                              "Set-Cookie: deep=1; Path=/api/v1\r\nConnection: keep-alive\r\n")},
                      {Answer("200 OK", "", "Set-Cookie: sid=; Max-Age=0; Path=/\r\n")},
                      {Answer("200 OK", "")}}});
  RunClient run;
  run.client.Post(peer.Url("/api/v1/session"), std::string_view("{}"));
  peer.NextRequest();
  run.client.Get(peer.Url("/api/v1/photos"));
  std::string second = peer.NextRequest().bytes;
  std::string tail = "User-Agent: " + std::string(kUserAgent) + "\r\nCookie: deep=1; sid=abc\r\n\r\n";
  EXPECT_EQ(second.substr(second.size() - tail.size()), tail) << second;
  // The deletion took effect; the secure cookie never goes over http.
  run.client.Get(peer.Url("/api/v1/photos"));
  std::string third = peer.NextRequest().bytes;
  EXPECT_NE(third.find("\r\nCookie: deep=1\r\n"), std::string::npos) << third;
}

TEST(HttpClientFailures, ReportsBrokenServersWithTheirExceptions) {
  struct Case {
    const char* name;
    PeerConnection connection;
    int readTimeoutMs;
    const char* className;
    const char* message;
  };
  const Case cases[] = {
      {"stalls", {PeerStep{"", false, true}}, 500, "EIdReadTimeout", "Read timed out."},
      {"stalls mid-body",
       {PeerStep{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", false, false, "request", 0},
        PeerStep{"", false, true, "none"}},
       500,
       "EIdReadTimeout",
       "Read timed out."},
      {"closes without answer",
       {PeerStep{"", true}},
       60000,
       "EIdConnClosedGracefully",
       "Connection Closed Gracefully."},
      {"closes mid-headers",
       {PeerStep{"HTTP/1.1 200 OK\r\nContent-", true}},
       60000,
       "EIdConnClosedGracefully",
       "Connection Closed Gracefully."},
      {"closes mid-chunk",
       {PeerStep{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", true}},
       60000,
       "EIdConnClosedGracefully",
       "Connection Closed Gracefully."},
      {"endless header line",
       {PeerStep{"HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'x') + "\r\n\r\n", true}},
       60000,
       "EIdReadLnMaxLineLengthExceeded",
       "Max line length exceeded."},
  };
  std::vector<PeerConnection> script;
  for (const Case& c : cases) script.push_back(c.connection);
  ScriptedPeer peer(script);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpClient client;
    client.SetReadTimeout(c.readTimeoutMs);
    Outcome o = Call([&] { return client.Get(peer.Url("/x")); });
    EXPECT_EQ(o.className, c.className);
    EXPECT_EQ(o.message, c.message);
    EXPECT_FALSE(client.Connected());
  }
}

TEST(HttpClientFailures, ReportsTheAnswerOfAServerThatStoppedReadingTheBody) {
  // The server answers 413 after the first bytes and hangs up with most of
  // the body unread; the client reports that answer, not the broken send.
  const std::string tooLarge =
      "HTTP/1.1 413 Request Entity Too Large\r\nConnection: close\r\nContent-Length: 8\r\n\r\ntoo big!";
  ScriptedPeer peer({{PeerStep{tooLarge, true, false, "bytes"}}});
  RunClient run;
  RecordingBody body(std::string(32 * 1024 * 1024, 'v'));
  Outcome o = Call([&] { return run.client.Post(peer.Url("/upload"), body); });
  EXPECT_EQ(o.className, "EIdHTTPProtocolException");
  EXPECT_EQ(o.message, "HTTP/1.1 413 Request Entity Too Large");
  EXPECT_EQ(o.code, 413);
  EXPECT_EQ(o.errorBody, "too big!");
  EXPECT_FALSE(run.client.Connected());
}

TEST(HttpClientFailures, ReportsSocketErrorsWithWindowsNumbers) {
  HttpClient client;
  client.SetConnectTimeout(10000);
  // A free port with nobody listening.
  int port = test::FreePort();
  try {
    client.Get("http://127.0.0.1:" + std::to_string(port) + "/");
    ADD_FAILURE() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
  }
  // A name that cannot resolve.
  try {
    client.Get("http://no-such-host.invalid/");
    ADD_FAILURE() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_THROW(client.Get("127.0.0.1/api/v1/session"), EIdUnknownProtocol);
}

TEST(HttpClientFailures, ConnectTimeoutEndsTheWait) {
  // A listener whose accept queue is full drops further connection attempts.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t len = sizeof(addr);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    fillers.push_back(s);
  }
  HttpClient client;
  client.SetConnectTimeout(500);
  Outcome o =
      Call([&] { return client.Get("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/"); });
  EXPECT_EQ(o.className, "EIdConnectTimeout");
  EXPECT_EQ(o.message, "Connect timed out.");
  for (int s : fillers) ::close(s);
  ::close(listener);
}

TEST(HttpSocketErrors, MapErrnoToWindowsNumbersAndTexts) {
  struct Case {
    int posix;
    int number;
    const char* text;
  };
  const Case cases[] = {
      {ECONNREFUSED, 10061, "Connection refused."},    {ETIMEDOUT, 10060, "Connection timed out."},
      {EHOSTUNREACH, 10065, "No route to host."},      {ECONNRESET, 10054, "Connection reset by peer."},
      {ENETUNREACH, 10051, "Network is unreachable."}, {EIO, EIO, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.posix);
    EXPECT_EQ(SocketErrorNumber(c.posix), c.number);
    EXPECT_EQ(SocketErrorMessage(c.number), "Socket Error # " + std::to_string(c.number) + "\r\n" + c.text);
  }
}

}  // namespace
}  // namespace velmora
