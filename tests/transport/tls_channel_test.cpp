// The TLS channel against `openssl s_server` and the scripted peer speaking
// TLS: versions, certificates nobody checks, the server name, and the
// failures of loading and handshaking.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"
#include "tests/transport/HttpTestPeers.h"
#include "transport/HttpClient.h"

namespace velmora {
namespace {

using test::PeerStep;
using test::ScriptedPeer;
using test::TlsServer;

// Certificates shared by the suite: made once, removed at the end.
class TlsChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir();
    valid_ = test::MakeCertificate(*dir_, "valid", "localhost", false);
    expired_ = test::MakeCertificate(*dir_, "expired", "expired.test", true);
    otherName_ = test::MakeCertificate(*dir_, "other", "some.other.name", false);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string Url(int port, const std::string& host = "127.0.0.1") {
    return "https://" + host + ":" + std::to_string(port) + "/";
  }

  static test::TempDir* dir_;
  static std::pair<std::string, std::string> valid_, expired_, otherName_;
};

test::TempDir* TlsChannelTest::dir_ = nullptr;
std::pair<std::string, std::string> TlsChannelTest::valid_, TlsChannelTest::expired_,
    TlsChannelTest::otherName_;

std::string NegotiatedLine(const std::string& page) {
  size_t at = page.find("New, ");
  if (at == std::string::npos) return "";
  return page.substr(at, page.find(',', at + 5) - at);
}

TEST_F(TlsChannelTest, ReachesEveryVersionAndAcceptsAnyCertificate) {
  struct Case {
    const char* name;
    std::pair<std::string, std::string>* cert;
    std::vector<std::string> serverOptions;
    const char* negotiated;
  };
  const Case cases[] = {
      {"TLS 1.3, self-signed", &valid_, {"-tls1_3"}, "New, TLSv1.3"},
      {"TLS 1.2 only", &valid_, {"-tls1_2"}, "New, TLSv1.2"},
      {"TLS 1.0 only", &valid_, {"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"}, "New, TLSv1.0"},
      {"expired certificate", &expired_, {}, "New, TLSv1.3"},
      {"certificate for another name", &otherName_, {"-tls1_2"}, "New, TLSv1.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsServer server(c.cert->first, c.cert->second, c.serverOptions);
    HttpClient client;
    client.SetReadTimeout(60000);
    client.SetConnectTimeout(60000);
    std::string page;
    try {
      page = client.Get(Url(server.Port()));
    } catch (const Exception& e) {
      ADD_FAILURE() << e.ClassName() << ": " << e.Message();
      continue;
    }
    EXPECT_EQ(NegotiatedLine(page), c.negotiated) << page.substr(0, 300);
  }
}

TEST_F(TlsChannelTest, SendsTheUrlHostAsServerName) {
  for (const char* host : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    TlsServer server(
        valid_.first, valid_.second,
        {"-servername", "expected.test", "-cert2", otherName_.first, "-key2", otherName_.second});
    HttpClient client;
    client.SetReadTimeout(60000);
    EXPECT_NE(client.Get(Url(server.Port(), host)), "");
    EXPECT_EQ(server.NextServerName(), host);
  }
}

TEST_F(TlsChannelTest, NarrowVersionSetsLimitTheHandshake) {
  TlsServer server(valid_.first, valid_.second, {"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"});
  HttpClient client;
  client.SetReadTimeout(60000);
  client.TlsHandler().sslVersions = kSslVersionTLS1_2;  // TLS 1.2 only: no common version
  EXPECT_THROW(client.Get(Url(server.Port())), EIdOSSLUnderlyingCryptoError);
  client.TlsHandler().sslVersions = kSslVersionTLS1;
  EXPECT_EQ(NegotiatedLine(client.Get(Url(server.Port()))), "New, TLSv1.0");
}

TEST_F(TlsChannelTest, OneVersionAloneIsThatVersionOnly) {
  struct Case {
    const char* name;
    int versions;
    const char* negotiated;  // nullptr: the handshake fails
  };
  const Case cases[] = {
      {"TLS 1.2 alone offers no TLS 1.3", kSslVersionTLS1_2, nullptr},
      {"TLS 1.2 with the flexible member is TLS 1.2 alone", kSslVersionTLS1_2 | kSslVersionFlexible, nullptr},
      {"two versions negotiate flexibly, TLS 1.3 included", kSslVersionTLS1_1 | kSslVersionTLS1_2,
       "New, TLSv1.3"},
      {"the run's set", kSslVersionsAll, "New, TLSv1.3"},
      {"an empty set allows nothing", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsServer server(valid_.first, valid_.second, {"-tls1_3"});
    HttpClient client;
    client.SetReadTimeout(60000);
    client.TlsHandler().sslVersions = c.versions;
    if (c.negotiated == nullptr) {
      EXPECT_THROW(client.Get(Url(server.Port())), EIdOSSLUnderlyingCryptoError);
    } else {
      EXPECT_EQ(NegotiatedLine(client.Get(Url(server.Port()))), c.negotiated);
    }
  }
}

TEST(TlsVersionSet, KeepsOneVersionOrDropsTheFlexibleMember) {
  struct Case {
    int in, out;
  };
  const Case cases[] = {{63, 61},
                        {2, 61},
                        {0, 0},
                        {kSslVersionSSL2, kSslVersionSSL2},
                        {kSslVersionTLS1_2, kSslVersionTLS1_2},
                        {kSslVersionTLS1 | kSslVersionFlexible, kSslVersionTLS1},
                        {kSslVersionTLS1 | kSslVersionTLS1_2, kSslVersionTLS1 | kSslVersionTLS1_2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(EffectiveSslVersions(c.in), c.out);
  }
}

TEST_F(TlsChannelTest, CarriesRequestsAndBodiesOverAKeptConnection) {
  std::string big(200000, 'q');
  const std::string keep = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
  ScriptedPeer peer({{{keep}, {chunked}, {"HTTP/1.1 404 Not Found\r\n\r\ngone", true}}}, valid_.first,
                    valid_.second);
  HttpClient client;
  client.SetReadTimeout(60000);
  client.SetUserAgent("ua");
  EXPECT_EQ(client.Post(peer.Url("/up", "https"), std::string_view(big)), "ok");
  std::string first = peer.NextRequest().bytes;
  EXPECT_EQ(first.substr(first.size() - big.size()), big);
  EXPECT_EQ(client.Put(peer.Url("/put", "https"), std::string_view("x")), "abc");
  try {
    client.Get(peer.Url("/get", "https"));
    ADD_FAILURE() << "no exception";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(e.ErrorMessage(), "gone");  // read until the TLS peer closed
  }
  EXPECT_EQ(peer.NextRequest().connection, 0);
  EXPECT_EQ(peer.NextRequest().connection, 0);
}

TEST_F(TlsChannelTest, ReadTimeoutAndEarlyCloseAfterTheHandshake) {
  ScriptedPeer peer({{PeerStep{"", false, true}},
                     {PeerStep{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", true}},
                     {test::ResetStep()}},
                    valid_.first, valid_.second);
  struct Case {
    const char* name;
    const char* className;
    const char* message;
  };
  const Case cases[] = {
      {"stalled answer", "EIdReadTimeout", "Read timed out."},
      {"closed mid-chunk", "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {"reset after the request", "EIdSocketError", "Socket Error # 10054\r\nConnection reset by peer."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpClient client;
    client.SetReadTimeout(700);
    test::ExpectRaises<Exception>([&] { client.Get(peer.Url("/", "https")); }, c.message, c.className);
  }
}

TEST_F(TlsChannelTest, ReportsHandshakeFailures) {
  struct Case {
    const char* name;
    PeerStep step;
    int readTimeoutMs;
    const char* className;
    const char* message;
  };
  const Case cases[] = {
      {"hang-up after the ClientHello", PeerStep{"", true, false, "bytes"}, 60000, "EIdOSSLConnectError",
       "Error connecting with SSL.\r\nEOF was observed that violates the protocol"},
      {"reset after the ClientHello", test::ResetStep("", "bytes"), 60000, "EIdSocketError",
       "Socket Error # 10054\r\nConnection reset by peer."},
      {"no handshake data in time", PeerStep{"", false, true, "bytes"}, 500, "EIdSocketError",
       "Socket Error # 10060\r\nConnection timed out."},
      {"plain HTTP answer", PeerStep{"HTTP/1.1 400 Bad Request\r\n\r\n", true, false, "bytes"}, 60000,
       "EIdOSSLUnderlyingCryptoError", nullptr},
  };
  std::vector<test::PeerConnection> script;
  for (const Case& c : cases) script.push_back({c.step});
  ScriptedPeer peer(script);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpClient client;
    client.SetReadTimeout(c.readTimeoutMs);
    try {
      client.Get(peer.Url("/", "https"));
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.ClassName(), c.className);
      if (c.message) {
        EXPECT_EQ(e.Message(), c.message);
      } else {
        EXPECT_EQ(e.Message().rfind("Error connecting with SSL.\r\n", 0), 0u) << e.Message();
      }
    }
    EXPECT_FALSE(client.Connected());
  }
}

TEST_F(TlsChannelTest, MissingOrForeignLibraryFailsHttpsOnly) {
  struct Case {
    const char* crypto;
    const char* ssl;
    const char* failure;
  };
  const Case cases[] = {
      {"libcrypto-missing.so.3", "libssl.so.3", "Failed to load libcrypto-missing.so.3"},
      {"libcrypto.so.3", "libssl-missing.so.3", "Failed to load libssl-missing.so.3"},
      // A library that is not OpenSSL at all lacks its functions.
      {"libz.so.1", "libz.so.1", "OpenSSL_version_num"},
  };
  ScriptedPeer peer({{{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nplain", true}}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.crypto + std::string(" ") + c.ssl);
    HttpClient client;
    client.SetReadTimeout(60000);
    client.TlsHandler().cryptoLibrary = c.crypto;
    client.TlsHandler().sslLibrary = c.ssl;
    std::string failures;
    EXPECT_FALSE(LoadTlsLibrary(client.TlsHandler(), &failures));
    EXPECT_NE(failures.find(c.failure), std::string::npos) << failures;
    test::ExpectRaises<EIdOSSLCouldNotLoadSSLLibrary>([&] { client.Get("https://127.0.0.1:1/"); },
                                                      "Could not load SSL library.");
  }
  HttpClient client;
  client.TlsHandler().sslLibrary = "libssl-missing.so.3";
  EXPECT_EQ(client.Get(peer.Url("/")), "plain");
}

// A peer that takes the connection (and the TLS handshake) and then reads
// nothing: the upload fills the socket buffers and the send must end with
// the write time-out, which is the read time-out's value. It ends after that
// one time-out, over TLS as over plain TCP: no second wait follows (for an
// answer, or for the close of the TLS session). The bound leaves a loaded
// machine a whole time-out for the connect and for filling the buffers; a
// second wait would take the call past it by itself.
TEST_F(TlsChannelTest, SendToAPeerThatStopsReadingEndsWithTheWriteTimeout) {
  struct Case {
    const char* name;
    bool tls;
    bool put;
  };
  const Case cases[] = {
      {"plain POST", false, false},
      {"plain PUT", false, true},
      {"TLS POST", true, false},
      {"TLS PUT", true, true},
  };
  constexpr int kTimeoutMs = 700;
  // Larger than what the loopback socket buffers of both sides hold.
  const std::string body(48 << 20, 'u');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerStep deaf;
    deaf.read = "none";
    deaf.stall = true;
    std::unique_ptr<ScriptedPeer> peer =
        c.tls ? std::make_unique<ScriptedPeer>(std::vector<test::PeerConnection>{{deaf}}, valid_.first,
                                               valid_.second)
              : std::make_unique<ScriptedPeer>(std::vector<test::PeerConnection>{{deaf}});
    HttpClient client;
    client.SetConnectTimeout(10000);
    client.SetReadTimeout(kTimeoutMs);
    std::string url = peer->Url("/upload", c.tls ? "https" : "http");
    uint64_t start = MonotonicNanoseconds();
    try {
      if (c.put) {
        client.Put(url, body);
      } else {
        client.Post(url, body);
      }
      ADD_FAILURE() << "the send did not end";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), 10060);
      EXPECT_EQ(e.Message(), "Socket Error # 10060\r\nConnection timed out.");
    } catch (const Exception& e) {
      ADD_FAILURE() << e.ClassName() << ": " << e.Message();
    }
    uint64_t elapsedMs = (MonotonicNanoseconds() - start) / 1000000;
    EXPECT_GE(elapsedMs, static_cast<uint64_t>(kTimeoutMs));
    EXPECT_LT(elapsedMs, static_cast<uint64_t>(2 * kTimeoutMs));
    EXPECT_FALSE(client.Connected());
  }
}

// The server answers 413 after the first bytes and hangs up with most of the
// body unread: over TLS too, the client reports that answer, not the broken
// send (the answer's record is told apart from the session tickets).
TEST_F(TlsChannelTest, ReportsTheAnswerOfAServerThatStoppedReadingTheBody) {
  const std::string tooLarge =
      "HTTP/1.1 413 Request Entity Too Large\r\nConnection: close\r\nContent-Length: 8\r\n\r\ntoo big!";
  ScriptedPeer peer({{PeerStep{tooLarge, true, false, "bytes"}}}, valid_.first, valid_.second);
  HttpClient client;
  client.SetConnectTimeout(10000);
  client.SetReadTimeout(60000);
  try {
    client.Post(peer.Url("/upload", "https"), std::string(32 << 20, 'v'));
    ADD_FAILURE() << "no exception";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.Message(), "HTTP/1.1 413 Request Entity Too Large");
    EXPECT_EQ(e.ErrorCode(), 413);
    EXPECT_EQ(e.ErrorMessage(), "too big!");
  } catch (const Exception& e) {
    ADD_FAILURE() << e.ClassName() << ": " << e.Message();
  }
  EXPECT_FALSE(client.Connected());
}

}  // namespace
}  // namespace velmora
