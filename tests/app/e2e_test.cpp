// Whole runs of the real program, copied into a directory with its
// parameter file, against the test Prism server and real embedded archives.
// Each successful run waits the program's fixed pause before its lookup.
#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "tests/app/AppTestSupport.h"

namespace velmora::test {
namespace {

std::string Sha1Hex(const std::string& path) {
  return RunProcess({"/usr/bin/sha1sum", path}).out.substr(0, 40);
}

ProcessResult RunProgram(PublicationSetup& setup, const std::string& idTransfer = "5") {
  const std::string program = setup.Dir() / "velmora";
  if (!FileExists(program)) CopyFile(BinaryPath("app/velmora"), program);
  ProcessResult result = RunProcess(
      {program, "1", "query_esterno", "qualsiasi", idTransfer}, setup.Dir().Path(),
      {{"DISPLAY", ""},
       {"LSAN_OPTIONS", "use_tls=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp")}},
      300);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return result;
}

TEST(EndToEnd, FirstRunCreatesTheAlbumAndASecondRunReusesIt) {
  PublicationSetup setup({}, ArchiveRows{});
  ProcessResult first = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(first.out),
            setup.PublishedLines());
  EXPECT_EQ(first.out.substr(first.out.size() - 2), "\r\n");

  auto state = setup.Peer().State();
  const std::string photoUid = state->GetValue("photos[0].UID").AsText();
  const std::string albumUid = state->GetValue("albums[0].UID").AsText();
  EXPECT_EQ(state->GetValue("photos[0].Title").AsText(), "Gli sposi");
  EXPECT_EQ(state->GetValue("photos[0].Hash").AsText(), Sha1Hex(setup.PhotoPath()));
  EXPECT_EQ(state->GetValue("albums[0].Title").AsText(), "Matrimonio Rossi");

  auto transfer = setup.TransferRow();
  ASSERT_EQ(transfer.size(), 3u);
  EXPECT_EQ(transfer[0], photoUid);
  EXPECT_EQ(transfer[1], Sha1Hex(setup.PhotoPath()));
  EXPECT_FALSE(transfer[2].empty());
  EXPECT_EQ(setup.TransferRow(6), (std::vector<std::string>{"altra", "altra", ""}));

  auto album = setup.AlbumRow();
  ASSERT_EQ(album.size(), 4u);
  EXPECT_EQ(album[1], state->GetValue("users.studio.UID").AsText());
  EXPECT_EQ(album[2], albumUid);
  EXPECT_EQ(album[3], "s/" + state->GetValue("links[0].Token").AsText() + "/" + albumUid);
  EXPECT_EQ(album[0].size(), 32u);

  // The second run finds the album in the archive: no album, no link. The
  // photo was edited meanwhile: other bytes, a new photo on the server.
  WriteFileBytes(setup.PhotoPath(), ReadFileBytes(setup.PhotoPath()) + "ritoccata");
  ProcessResult second = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(second.out),
            setup.PublishedLines());
  state = setup.Peer().State();
  EXPECT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
  EXPECT_EQ(state->GetValue("links").AsArray().Count(), 1u);
  EXPECT_EQ(state->GetValue("photos").AsArray().Count(), 2u);
  EXPECT_EQ(setup.TransferRow()[0], state->GetValue("photos[1].UID").AsText());
  EXPECT_EQ(setup.AlbumRow()[2], albumUid);
  int albumRequests = 0;
  for (const std::string& line : setup.Peer().RequestLines())
    albumRequests += line.rfind("POST /api/v1/albums", 0) == 0;
  EXPECT_EQ(albumRequests, 2);  // album and link of the first run only
}

TEST(EndToEnd, HttpsWithSelfSignedCertificate) {
  PublicationSetup setup(WithHttps(), ArchiveRows{});
  ProcessResult run = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(run.out),
            setup.PublishedLines());
  EXPECT_EQ(setup.TransferRow()[1], Sha1Hex(setup.PhotoPath()));
}

TEST(EndToEnd, LookupFindingNothingRecordsTheUploadToken) {
  PublicationSetup setup(WithScript("[" + Rule("GET", "^api/v1/photos", 200, "[]") + "]"), ArchiveRows{});
  ProcessResult run = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(run.out),
            (std::vector<std::string>{setup.Peer().ImportedMessage(), "Impossibile recuperare UID Foto caricata 5",
                                      setup.Peer().UploadedMessage(), "TORNAVELO terminato"}));
  auto transfer = setup.TransferRow();
  ASSERT_EQ(transfer.size(), 3u);
  ASSERT_EQ(transfer[0].size(), 6u);
  EXPECT_EQ(transfer[0].find_first_not_of("abcdefghijklmnopqrstuvwxyz1234567890"), std::string::npos);
  EXPECT_EQ(transfer[1], "");
  EXPECT_FALSE(transfer[2].empty());
  bool uploadWithToken = false;
  for (const std::string& line : setup.Peer().RequestLines()) {
    uploadWithToken |= line.size() > 7 && line.substr(line.size() - 7) == "/" + transfer[0] &&
                       line.rfind("POST /api/v1/users/", 0) == 0;
  }
  EXPECT_TRUE(uploadWithToken);
}

TEST(EndToEnd, EmptyTitleAndEmptyExtension) {
  ArchiveRows rows;
  rows.titolo = "";
  rows.estensione = "";
  rows.idAlbumPrism = "";
  PublicationSetup setup({}, rows);
  ProcessResult run = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(run.out),
            setup.PublishedLines());
  auto requests = setup.Peer().Requests();
  for (const auto& r : requests) {
    EXPECT_NE(r->GetValue("path").AsText().rfind("/api/v1/photos/", 0), 0u) << "no title update expected";
    if (r->FindValue("parts[0]")) {
      EXPECT_EQ(r->GetValue("parts[0].content_type").AsText(), "image/jpeg");
    }
  }
  EXPECT_EQ(setup.Peer().State()->GetValue("photos[0].Title").AsText(), "");
  EXPECT_EQ(setup.TransferRow()[0], setup.Peer().State()->GetValue("photos[0].UID").AsText());
}

TEST(EndToEnd, LoginNotJsonThenRefusedUploadEndsWithOneReport) {
  PublicationSetup setup(
      WithScript("[" + Rule("POST", "session", 200, R"("<html>manutenzione</html>")") + "]"), ArchiveRows{});
  ProcessResult run = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(run.out), (std::vector<std::string>{
                                       "Risposta non valida",
                                       "EIdHTTPProtocolException: HTTP/1.1 401 Unauthorized",
                                   }));
  // The stored token and user went out unchanged; nothing was recorded.
  auto requests = setup.Peer().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1]->GetValue("path").AsText().rfind("/api/v1/users/vecchio/upload/", 0), 0u);
  EXPECT_EQ(PrismPeer::Header(*requests[1], "X-Auth-Token"), "vecchio");
  EXPECT_EQ(setup.TransferRow(), (std::vector<std::string>{"prima", "prima", ""}));
  EXPECT_EQ(setup.AlbumRow(), (std::vector<std::string>{"vecchio", "vecchio", "", ""}));
}

TEST(EndToEnd, LoginWithoutUserKeepsTheStoredUserAndGoesOn) {
  PublicationSetup setup(WithScript("[" + Rule("POST", "session", 200, R"({"access_token":"t"})") + "]"),
                         ArchiveRows{});
  ProcessResult run = RunProgram(setup);
  auto lines = ConsoleLines(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "User non trovato");
  // The token "t" is unknown to the server: the upload is refused.
  EXPECT_EQ(lines[1], "EIdHTTPProtocolException: HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(setup.AlbumRow(), (std::vector<std::string>{"vecchio", "vecchio", "", ""}));
}

TEST(EndToEnd, OnlyTheLoginWaitsOutTheServersLimit) {
  const std::string limited = R"("status":429,"body":{"error":"rate limit exceeded","code":429})";
  {
    // Refused three times, then the server's own answer: the run goes on as usual.
    PublicationSetup setup(
        WithScript(R"([{"method":"POST","path":"api/v1/session","times":3,)" + limited + "}]"), ArchiveRows{});
    ProcessResult run = RunProgram(setup);
    EXPECT_EQ(ConsoleLines(run.out), setup.PublishedLines());
    std::vector<std::string> lines = setup.Peer().RequestLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              std::vector<std::string>(4, "POST /api/v1/session"));
    EXPECT_EQ(setup.TransferRow()[0], setup.Peer().State()->GetValue("photos[0].UID").AsText());
  }
  {
    // Any other request refused so is reported at once.
    PublicationSetup setup(WithScript(R"([{"method":"POST","path":"/upload/",)" + limited + "}]"),
                           ArchiveRows{});
    ProcessResult run = RunProgram(setup);
    EXPECT_EQ(ConsoleLines(run.out),
              (std::vector<std::string>{"EIdHTTPProtocolException: HTTP/1.1 429 Too Many Requests"}));
    std::vector<std::string> lines = setup.Peer().RequestLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("POST /api/v1/users/", 0), 0u);
    EXPECT_EQ(setup.TransferRow(), (std::vector<std::string>{"prima", "prima", ""}));
  }
}

TEST(EndToEnd, UploadOfBytesTheLibraryHoldsRecordsTheExistingPhoto) {
  // Transfer rows 5 and 6 publish the same photo row: when the second run
  // uploads, the server holds those bytes already and makes no new photo.
  PublicationSetup setup(WithProfile("real"), ArchiveRows{});
  RunProgram(setup, "5");
  ProcessResult second = RunProgram(setup, "6");
  EXPECT_EQ(ConsoleLines(second.out), setup.PublishedLines());
  auto state = setup.Peer().State();
  ASSERT_EQ(state->GetValue("photos").AsArray().Count(), 1u);
  EXPECT_EQ(setup.Peer().Counter("duplicates"), 1);
  for (int id : {5, 6}) {
    SCOPED_TRACE(id);
    std::vector<std::string> row = setup.TransferRow(id);
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[0], state->GetValue("photos[0].UID").AsText());
    EXPECT_EQ(row[1], Sha1Hex(setup.PhotoPath()));
  }
  EXPECT_EQ(state->GetValue("photos[0].Title").AsText(), "Gli sposi");
}

TEST(EndToEnd, VideoListedAsPreviewThenVideoRecordsTheVideo) {
  ArchiveRows rows;
  rows.estensione = "mp4";
  rows.fileName = "sposi.mp4";
  PublicationSetup setup(WithProfile("real"), rows);
  ProcessResult run = RunProgram(setup);
  EXPECT_EQ(ConsoleLines(run.out), setup.PublishedLines());
  auto state = setup.Peer().State();
  ASSERT_EQ(state->GetValue("photos").AsArray().Count(), 1u);
  // The server listed the video's preview (a .mp4.jpg of other bytes) first.
  ASSERT_NE(state->FindValue("photos[0].Preview"), nullptr);
  std::vector<std::string> row = setup.TransferRow();
  ASSERT_EQ(row.size(), 3u);
  EXPECT_EQ(row[0], state->GetValue("photos[0].UID").AsText());
  EXPECT_EQ(row[1], Sha1Hex(setup.PhotoPath()));
  EXPECT_EQ(state->GetValue("photos[0].Title").AsText(), "Gli sposi");
}

TEST(EndToEnd, ArgumentFourMustBeADecimalInteger) {
  PublicationSetup setup({}, ArchiveRows{});
  ProcessResult run = RunProgram(setup, "5 OR 1=1");
  EXPECT_EQ(ConsoleLines(run.out),
            (std::vector<std::string>{"Identificativo trasferimento non valido: 5 OR 1=1"}));
  EXPECT_TRUE(setup.Peer().Requests().empty());
  EXPECT_EQ(setup.TransferRow(), (std::vector<std::string>{"prima", "prima", ""}));
}

}  // namespace
}  // namespace velmora::test
