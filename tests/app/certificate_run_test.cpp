// Whole runs with the certificate keys of the parameter file, against the
// test Prism server over TLS with certificates made here: a failing check
// ends the run with one report naming the check and the server's pin before
// the password leaves, and nothing is written; passing checks publish as
// usual.
#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestPki.h"

namespace velmora::test {
namespace {

ProcessResult RunWithKeys(PublicationSetup& setup, const std::string& keys) {
  WriteFileBytes(setup.Dir() / "ParametriKelvora.ini",
                 "[CONFIG]\r\nUtente=1\r\nPercorsoDatabase=" + setup.Dir() / "config.fdb" + "\r\n" + keys +
                     "\r\n[PERCORSI]\r\nC:\\Foto\\=" + setup.Dir() / "foto/" + "\r\n");
  const std::string program = setup.Dir() / "velmora";
  if (!FileExists(program)) CopyFile(BinaryPath("app/velmora"), program);
  ProcessResult result = RunProcess(
      {program, "1", "query_esterno", "x", "5"}, setup.Dir().Path(),
      {{"DISPLAY", ""},
       {"LSAN_OPTIONS", "use_tls=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp")}},
      300);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return result;
}

TEST(CertificateRun, FailingChecksStopBeforeTheLoginAndPassingOnesPublish) {
  TestPki pki;
  TestCertificate ca = pki.MakeCa("studio");
  TestCertificate server = pki.Issue(ca, "server", "127.0.0.1", "IP:127.0.0.1", false);
  const std::string pin = TestPki::Pin(server.cert);
  const std::string otherPin = "sha256//" + std::string(43, 'B') + "=";
  struct Case {
    const char* name;
    std::string keys;
    std::vector<std::string> lines;  // "" = the normal publication
  };
  const Case cases[] = {
      {"wrong pin",
       "ImprontaCertificato=" + otherPin,
       {"EIdOSSLConnectError: Error connecting with SSL.",
        "ImprontaCertificato: la chiave del server non corrisponde; impronta del server " + pin}},
      {"system store does not know the studio CA",
       "VerificaCertificato=1",
       {"EIdOSSLConnectError: Error connecting with SSL.",
        "VerificaCertificato: certificato del server non valido (unable to get local issuer certificate); "
        "impronta del server " +
            pin}},
      {"right pin", "ImprontaCertificato=" + otherPin + ";" + pin, {}},
      {"CA file and pin",
       "VerificaCertificato=1\r\nFileCertificatiCA=" + ca.cert + "\r\nImprontaCertificato=" + pin,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrismPeer::Options options = WithHttps();
    options.cert = server.cert;
    options.key = server.key;
    PublicationSetup setup(options, ArchiveRows{});
    auto album = setup.AlbumRow();
    auto transfer = setup.TransferRow();
    ProcessResult run = RunWithKeys(setup, c.keys);
    if (!c.lines.empty()) {
      EXPECT_EQ(ConsoleLines(run.out), c.lines);
      EXPECT_TRUE(setup.Peer().RequestLines().empty());
      EXPECT_EQ(setup.AlbumRow(), album);
      EXPECT_EQ(setup.TransferRow(), transfer);
    } else {
      EXPECT_EQ(ConsoleLines(run.out),
                setup.PublishedLines());
      EXPECT_EQ(setup.Peer().RequestLines().front(), "POST /api/v1/session");
      EXPECT_NE(setup.TransferRow(), transfer);
    }
  }
}

}  // namespace
}  // namespace velmora::test
