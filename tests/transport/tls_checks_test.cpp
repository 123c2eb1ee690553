// The optional certificate checks of the TLS channel against `openssl
// s_server` with a test CA made here: pinned public keys, the chain against a
// CA file or the system store with the host name, what a failing check sends
// (nothing of the request), and that without the keys every certificate is
// still accepted as before.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "tests/support/TestPki.h"
#include "tests/transport/HttpTestPeers.h"
#include "transport/HttpClient.h"

namespace velmora {
namespace {

using test::TestCertificate;
using test::TestPki;
using test::TlsServer;

class TlsChecksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki();
    ca_ = pki_->MakeCa("studio");
    TestCertificate other = pki_->MakeCa("other");
    good_ = pki_->Issue(ca_, "good", "localhost", "DNS:localhost,IP:127.0.0.1", false);
    wrongName_ = pki_->Issue(ca_, "wrongname", "other.test", "DNS:other.test", false);
    expired_ = pki_->Issue(ca_, "expired", "localhost", "DNS:localhost,IP:127.0.0.1", true);
    unknownCa_ = pki_->Issue(other, "unknownca", "localhost", "DNS:localhost,IP:127.0.0.1", false);
    selfSigned_ = pki_->SelfSigned("selfsigned", "127.0.0.1");
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  static std::string Url(int port, const std::string& host = "127.0.0.1") {
    return "https://" + host + ":" + std::to_string(port) + "/";
  }

  static TestPki* pki_;
  static TestCertificate ca_, good_, wrongName_, expired_, unknownCa_, selfSigned_;
};

TestPki* TlsChecksTest::pki_ = nullptr;
TestCertificate TlsChecksTest::ca_, TlsChecksTest::good_, TlsChecksTest::wrongName_, TlsChecksTest::expired_,
    TlsChecksTest::unknownCa_, TlsChecksTest::selfSigned_;

constexpr const char* kOtherPin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

TEST_F(TlsChecksTest, ChecksPassOrFailNamingTheCheckAndTheServerPin) {
  struct Case {
    const char* name;
    const TestCertificate* cert;
    const char* host;
    bool verify;
    std::string caFile;   // "" = the system store
    std::string pins;     // ";"-separated
    std::string failure;  // "" = connects; else a part of the second message line
  };
  const std::string ca = ca_.cert;
  const std::string goodPin = TestPki::Pin(good_.cert);
  const std::string selfPin = TestPki::Pin(selfSigned_.cert);
  const Case cases[] = {
      {"CA file, IP address in the certificate", &good_, "127.0.0.1", true, ca, "", ""},
      {"CA file, DNS name in the certificate", &good_, "localhost", true, ca, "", ""},
      {"CA file, certificate for another name", &wrongName_, "localhost", true, ca, "",
       "VerificaCertificato: certificato del server non valido (hostname mismatch)"},
      {"CA file, certificate for another address", &wrongName_, "127.0.0.1", true, ca, "",
       "VerificaCertificato: certificato del server non valido (IP address mismatch)"},
      {"CA file, expired certificate", &expired_, "localhost", true, ca, "",
       "VerificaCertificato: certificato del server non valido (certificate has expired)"},
      {"CA file, certificate of an unknown CA", &unknownCa_, "localhost", true, ca, "",
       "VerificaCertificato: certificato del server non valido (unable to get local issuer certificate)"},
      {"system store does not know the test CA", &good_, "localhost", true, "", "",
       "VerificaCertificato: certificato del server non valido (unable to get local issuer certificate)"},
      {"self-signed with the system store", &selfSigned_, "127.0.0.1", true, "", "",
       "VerificaCertificato: certificato del server non valido (self-signed certificate)"},
      {"CA file that does not exist", &good_, "localhost", true, pki_->Dir() / "missing.pem", "",
       "FileCertificatiCA: impossibile leggere " + pki_->Dir() / "missing.pem"},
      {"right pin of a self-signed certificate", &selfSigned_, "127.0.0.1", false, "", selfPin, ""},
      {"right pin among others", &good_, "127.0.0.1", false, "", std::string(kOtherPin) + ";" + goodPin, ""},
      {"wrong pin", &selfSigned_, "127.0.0.1", false, "", kOtherPin,
       "ImprontaCertificato: la chiave del server non corrisponde; impronta del server " + selfPin},
      {"malformed pin never matches", &selfSigned_, "127.0.0.1", false, "", "sha1//abc",
       "ImprontaCertificato: la chiave del server non corrisponde; impronta del server " + selfPin},
      {"right pin, chain verified too", &good_, "localhost", true, ca, goodPin, ""},
      {"right pin does not excuse an expired chain", &expired_, "localhost", true, ca,
       TestPki::Pin(expired_.cert),
       "VerificaCertificato: certificato del server non valido (certificate has expired); impronta del "
       "server " +
           TestPki::Pin(expired_.cert)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsServer server(c.cert->cert, c.cert->key, {});
    {
      HttpClient client;
      client.SetReadTimeout(60000);
      client.SetConnectTimeout(60000);
      client.TlsHandler().verifyCertificate = c.verify;
      client.TlsHandler().caFile = c.caFile;
      client.TlsHandler().pinnedKeys = ImprontePubbliche(c.pins);
      if (c.failure.empty()) {
        try {
          EXPECT_NE(client.Get(Url(server.Port(), c.host)).find("New, TLS"), std::string::npos);
        } catch (const Exception& e) {
          ADD_FAILURE() << e.ClassName() << ": " << e.Message();
        }
      } else {
        try {
          client.Get(Url(server.Port(), c.host));
          ADD_FAILURE() << "connected";
        } catch (const EIdOSSLConnectError& e) {
          EXPECT_EQ(e.Message().rfind("Error connecting with SSL.\r\n", 0), 0u) << e.Message();
          EXPECT_NE(e.Message().find(c.failure), std::string::npos) << e.Message();
          EXPECT_FALSE(client.Connected());
        }
      }
    }
    // Without the keys the same server is reached as it always was.
    HttpClient plain;
    plain.SetReadTimeout(60000);
    EXPECT_NE(plain.Get(Url(server.Port(), c.host)).find("New, TLS"), std::string::npos);
  }
}

// `openssl s_server` in echo mode for one connection: prints what it
// receives. Its standard input is a pipe held open by a sleep (at end of
// input it would drop the connection); both end within 30 seconds.
// Output() reads what it printed up to the end of the connection.
class EchoTlsServer {
 public:
  explicit EchoTlsServer(const TestCertificate& cert) {
    for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
      port_ = test::FreePort();
      process_ = std::make_unique<test::BackgroundProcess>(std::vector<std::string>{
          "/usr/bin/timeout", "30", "/bin/sh", "-c",
          "/bin/sleep 30 | exec /usr/bin/stdbuf -oL /usr/bin/openssl s_server -accept \"$0\" -cert \"$1\" "
          "-key \"$2\" -naccept 1",
          "127.0.0.1:" + std::to_string(port_), cert.cert, cert.key});
      try {
        while (process_->ReadLine(60) != "ACCEPT") {
        }
      } catch (const std::runtime_error&) {
        process_.reset();
      }
    }
    if (!process_) throw std::runtime_error("openssl s_server did not start");
  }
  int Port() const { return port_; }
  std::string Output() {
    std::string all;
    try {
      for (;;) {
        std::string line = process_->ReadLine(60);
        all += line + "\n";
        if (line == "CONNECTION CLOSED") break;
      }
    } catch (const std::runtime_error&) {
    }
    return all;
  }

 private:
  std::unique_ptr<test::BackgroundProcess> process_;
  int port_ = 0;
};

TEST_F(TlsChecksTest, AFailedCheckSendsNoByteOfTheRequest) {
  for (bool pinned : {true, false}) {
    SCOPED_TRACE(pinned ? "wrong pin" : "no keys");
    EchoTlsServer server(selfSigned_);
    {
      HttpClient client;
      client.SetReadTimeout(1500);  // the echo server never answers
      if (pinned) client.TlsHandler().pinnedKeys = {kOtherPin};
      std::string body = "segreta";
      if (pinned) {
        EXPECT_THROW(client.Post(Url(server.Port()) + "api/v1/session", body), EIdOSSLConnectError);
      } else {
        EXPECT_THROW(client.Post(Url(server.Port()) + "api/v1/session", body), EIdReadTimeout);
      }
    }
    std::string output = server.Output();
    // The handshake itself completed in both cases; only the unchecked
    // connection carried the request.
    EXPECT_NE(output.find("CIPHER is"), std::string::npos) << output;
    EXPECT_EQ(output.find("POST /api/v1/session") != std::string::npos, !pinned) << output;
    EXPECT_EQ(output.find("segreta") != std::string::npos, !pinned) << output;
  }
}

TEST_F(TlsChecksTest, PeerInfoShowsTheCertificateAndTheVerdict) {
  TlsServer server(expired_.cert, expired_.key, {"-tls1_2"});
  TlsSettings settings;
  settings.inspectCertificate = true;
  settings.caFile = ca_.cert;
  settings.readTimeoutMs = 60000;
  TlsChannel channel(settings);
  channel.Connect("127.0.0.1", server.Port(), false, false,
                  "localhost");  // inspection alone enforces nothing
  const TlsPeerInfo& peer = channel.PeerInfo();
  EXPECT_EQ(peer.protocol, "TLSv1.2");
  EXPECT_FALSE(peer.cipher.empty());
  EXPECT_EQ(peer.subject, "/CN=localhost");
  EXPECT_EQ(peer.issuer, "/CN=studio Test CA");
  EXPECT_EQ(peer.notAfter, "2020-02-01 00:00:00 UTC");
  EXPECT_TRUE(peer.expired);
  EXPECT_TRUE(peer.verifyChecked);
  EXPECT_FALSE(peer.verified);
  EXPECT_EQ(peer.verifyError, "certificate has expired");
  EXPECT_EQ(peer.publicKeyPin, TestPki::Pin(expired_.cert));
  test::ProcessResult fingerprint = test::RunProcess(
      {"/usr/bin/openssl", "x509", "-in", expired_.cert, "-noout", "-fingerprint", "-sha256"});
  EXPECT_EQ("sha256 Fingerprint=" + peer.certificateSha256 + "\n", fingerprint.out);
  channel.Close();

  // Without inspection nothing is verified or loaded.
  TlsServer again(good_.cert, good_.key, {});
  TlsChannel quiet(TlsSettings{});
  quiet.Connect("127.0.0.1", again.Port(), false, false, "127.0.0.1");
  EXPECT_FALSE(quiet.PeerInfo().verifyChecked);
  EXPECT_FALSE(quiet.PeerInfo().expired);
  EXPECT_EQ(quiet.PeerInfo().publicKeyPin, TestPki::Pin(good_.cert));
}

TEST(TlsCheckKeys, ParameterFileKeys) {
  test::TempDir dir;
  struct Case {
    const char* name;
    std::string config;
    bool verify;
    std::string caFile;
    std::vector<std::string> pins;
  };
  const std::string pin = "sha256//" + std::string(43, 'Q') + "=";
  const Case cases[] = {
      {"no keys: nothing changes", "Utente=1\r\n", false, "", {}},
      {"verification on", "VerificaCertificato=1\r\n", true, "", {}},
      {"zero and empty are off", "VerificaCertificato=0\r\n", false, "", {}},
      {"empty value", "VerificaCertificato=\r\n", false, "", {}},
      {"any other value is on", "VerificaCertificato=si\r\n", true, "", {}},
      {"absolute CA file",
       "VerificaCertificato=1\r\nFileCertificatiCA=/etc/ca.pem\r\n",
       true,
       "/etc/ca.pem",
       {}},
      {"relative CA file", "FileCertificatiCA=certs/ca.pem\r\n", false, dir / "certs/ca.pem", {}},
      {"pins", "ImprontaCertificato= " + pin + " ; ;sha256//x\r\n", false, "", {pin, "sha256//x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteFileBytes(dir / "ParametriKelvora.ini", "[CONFIG]\r\n" + c.config);
    TlsSettings settings;
    ApplicaControlliCertificato(dir / "ParametriKelvora.ini", settings);
    EXPECT_EQ(settings.verifyCertificate, c.verify);
    EXPECT_EQ(settings.caFile, c.caFile);
    EXPECT_EQ(settings.pinnedKeys, c.pins);
    EXPECT_FALSE(settings.inspectCertificate);
    EXPECT_EQ(settings.sslVersions, kSslVersionsAll);
  }
  TlsSettings untouched;
  ApplicaControlliCertificato(dir / "missing.ini", untouched);
  EXPECT_FALSE(untouched.verifyCertificate);
  EXPECT_TRUE(untouched.pinnedKeys.empty());

  EXPECT_TRUE(ImprontaBenFormata(pin));
  EXPECT_FALSE(ImprontaBenFormata("sha256//" + std::string(44, 'Q')));
  EXPECT_FALSE(ImprontaBenFormata("sha1//" + std::string(43, 'Q') + "="));
  EXPECT_FALSE(ImprontaBenFormata("sha256//" + std::string(42, 'Q') + "*="));
}

}  // namespace
}  // namespace velmora
