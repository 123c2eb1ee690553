// The archive stage and the publication sequence run in-process (pause 0)
// against the test Prism server and real embedded archives: the answer
// variants and failures that the end-to-end runs leave out.
#include "app/Publication.h"

#include <gtest/gtest.h>

#include "archive/SQLText.h"
#include "config/QorIni22.h"
#include "platform/Console.h"
#include "platform/Desktop.h"
#include "platform/Exceptions.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ExpectRaises.h"
#include "transport/Sha1.h"

namespace velmora::test {
namespace {

class InProcessRun {
 public:
  explicit InProcessRun(PublicationSetup& setup) : setup_(setup) {}
  // Runs both stages; exceptions pass to the caller as they would to the frame.
  void Run(const std::string& idTransfer = "5", const std::string& ditta = "query_esterno") {
    RunArguments arguments{"1", ditta, idTransfer, setup_.Dir().Path()};
    EseguiPubblicazione(arguments, 0);
  }
  std::vector<std::string> lines;

 private:
  PublicationSetup& setup_;
  ConsoleRedirect console_{[this](std::string_view line) { lines.emplace_back(line); }};
};

TEST(Publication, ArgumentFourOtherThanADecimalIntegerStopsBeforeAnything) {
  PublicationSetup setup({}, ArchiveRows{});
  const char* bad[] = {
      "", "-", "12a", "1;", " 5", "5 ", "+5", "0x10", "1.0", "1234567890123456789", "5--", "5\r\nDELETE"};
  for (const char* id : bad) {
    SCOPED_TRACE(id);
    InProcessRun run(setup);
    run.Run(id);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], RigaIdentificativoNonValido(id));
    EXPECT_EQ(run.lines[0].find_first_of("\r\n"), std::string::npos);
  }
  EXPECT_TRUE(setup.Peer().Requests().empty());
  EXPECT_EQ(RigaIdentificativoNonValido("5 OR 1=1"), "Identificativo trasferimento non valido: 5 OR 1=1");
  for (const char* good : {"5", "0", "-12", "123456789012345678"})
    EXPECT_TRUE(IdentificativoRiga(good).has_value()) << good;
}

TEST(Publication, ArchiveStageEndings) {
  PublicationSetup setup({}, [] {
    ArchiveRows r;
    r.createFile = false;
    return r;
  }());
  {
    InProcessRun run(setup);
    run.Run("5", "altra_ditta");
    EXPECT_EQ(run.lines, (std::vector<std::string>{"Archivio vuoto"}));
  }
  {
    InProcessRun run(setup);
    run.Run("5");
    EXPECT_EQ(run.lines, (std::vector<std::string>{"File da caricare non esiste C:\\Foto\\2024\\sposi.jpg"}));
  }
  {
    InProcessRun run(setup);
    run.Run("99");
    EXPECT_EQ(run.lines, (std::vector<std::string>{"File da caricare non esiste \\.jpg"}));
  }
  EXPECT_TRUE(setup.Peer().Requests().empty());
  EXPECT_EQ(PercorsoMedia("C:\\Foto\\", "a", "JPG"), "C:\\Foto\\\\a.JPG");
}

// Records the messages and closes every prompt unanswered.
class ClosingDesktop : public Desktop {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowPrompt(PromptForm& form) override { form.esito = 0; }
  std::vector<std::string> messages;
};

TEST(Publication, ArchiveThatCannotBeUsedEndsWithTheDatabaseReport) {
  PublicationSetup setup(PrismPeer::Options{}, ArchiveRows{});
  ClosingDesktop desktop;
  DesktopOverride desktopOverride(desktop);
  TQorIni22 store(nullptr, setup.Dir().Path(), "ParametriKelvora.ini");
  // The configuration database has no publication tables.
  store.SettaValoreTolvaUser("Archivio", setup.Dir() / "config.fdb");
  {
    InProcessRun run(setup);
    EXPECT_THROW(run.Run(), EIBInterBaseError);
    EXPECT_TRUE(run.lines.empty());
  }
  // An archive that can be neither opened nor created.
  store.SettaValoreTolvaUser("Archivio", setup.Dir() / "manca/archivio.fdb");
  InProcessRun run(setup);
  test::ExpectRaises<EIBClientError>([&] { run.Run(); }, "Cannot perform operation -- DB is not open");
  EXPECT_TRUE(setup.Peer().Requests().empty());
}

TEST(Publication, UploadAnswerChecksEndTheRunWithoutRecording) {
  struct Case {
    const char* name;
    std::string answer;
    const char* line;
  } cases[] = {{"not JSON", R"("caricato")", "Risposta non valida"},
               {"no message", R"({"code":200})", "Impossibile caricare foto"},
               {"message object", R"({"message":{"a":1}})", "Impossibile caricare foto"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublicationSetup setup(WithScript("[" + Rule("POST", "/upload/", 200, c.answer) + "]"), ArchiveRows{});
    InProcessRun run(setup);
    run.Run();
    EXPECT_EQ(run.lines, (std::vector<std::string>{c.line}));
    EXPECT_EQ(setup.TransferRow(), (std::vector<std::string>{"prima", "prima", ""}));
    auto lines = setup.Peer().RequestLines();
    ASSERT_EQ(lines.size(), 2u);  // login and upload only
  }
  PublicationSetup setup(WithScript("[" + Rule("POST", "/upload/", 200, "[]") + "]"), ArchiveRows{});
  InProcessRun run(setup);
  EXPECT_THROW(run.Run(), EInvalidCast);
  EXPECT_EQ(setup.TransferRow(), (std::vector<std::string>{"prima", "prima", ""}));
}

TEST(Publication, FailedAlbumCreationStillAssignsAndLooksUpWithAnEmptyAlbum) {
  PublicationSetup setup(WithScript("[" + Rule("POST", "^api/v1/albums$", 200, R"("no")") + "]"),
                         ArchiveRows{});
  InProcessRun run(setup);
  run.Run();
  EXPECT_EQ(run.lines, (std::vector<std::string>{"Risposta crea album non valida", setup.Peer().ImportedMessage(),
                                                 setup.Peer().UploadedMessage(), "TORNAVELO terminato"}));
  auto requests = setup.Peer().RequestLines();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[4].substr(requests[4].size() - 2), "s=");
  EXPECT_EQ(setup.AlbumRow()[2], "");
  EXPECT_EQ(setup.TransferRow()[0], setup.Peer().State()->GetValue("photos[0].UID").AsText());
}

TEST(Publication, AlbumPresentCreatesNothing) {
  struct Case {
    const char* name;
    bool onServer;  // the album row's album exists on the server
  } cases[] = {{"album on the server", true}, {"album gone from the server", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublicationSetup setup({}, [] {
      ArchiveRows r;
      r.idAlbumPrism = "albumfisso";
      return r;
    }());
    if (c.onServer) setup.Peer().CreateAlbum("Matrimonio Rossi", "albumfisso");
    InProcessRun run(setup);
    run.Run();
    if (c.onServer) {
      EXPECT_EQ(run.lines, setup.PublishedLines());
      EXPECT_EQ(setup.TransferRow()[0], setup.Peer().State()->GetValue("photos[0].UID").AsText());
    } else {
      // The listing of an album the server does not know fails (400 on a
      // real server, an empty list on the plain one): not found.
      std::vector<std::string> expected{setup.Peer().ImportedMessage(), "Impossibile recuperare UID Foto caricata 5",
                                        setup.Peer().UploadedMessage(), "TORNAVELO terminato"};
      if (setup.Peer().Profile() == "real") expected.insert(expected.begin() + 1, "Error: HTTP/1.1 400 Bad Request");
      EXPECT_EQ(run.lines, expected);
    }
    for (const std::string& line : setup.Peer().RequestLines()) {
      EXPECT_EQ(line.find("/albums"), std::string::npos) << line;
    }
    auto requests = setup.Peer().Requests();
    EXPECT_EQ(requests[2]->GetValue("body").AsText(), "{\"albums\":[\"albumfisso\"]}");
  }
}

TEST(Publication, HostileLookupTextsReachTheTransferRowExactly) {
  const std::string uid = "p'1'); DELETE FROM KELTRANSFLOG; --\r\n";
  const std::string hash = "h';--";
  ArchiveRows rows;
  rows.titolo = "";
  PublicationSetup setup(WithScript("[" +
                                    Rule("GET", "^api/v1/photos", 200,
                                         R"([{"FileName":"2024/sposi.jpg","UID":"p'1'); DELETE FROM )"
                                         R"(KELTRANSFLOG; --\r\n","Hash":"h';--"}])") +
                                    "]"),
                         rows);
  InProcessRun run(setup);
  run.Run();
  EXPECT_EQ(run.lines,
            setup.PublishedLines());
  auto transfer = setup.TransferRow();
  ASSERT_EQ(transfer.size(), 3u);
  EXPECT_EQ(transfer[0], uid);
  EXPECT_EQ(transfer[1], hash);
  EXPECT_EQ(setup.TransferRow(6), (std::vector<std::string>{"altra", "altra", ""}));
}

TEST(Publication, ListingWithoutTheUploadTakesNoOtherPhoto) {
  // A photo of somebody else, listed with the server's SHA-1 of its bytes.
  const std::string foreign =
      R"({"UID":"altrui","FileName":"2024/05/20240501_101010_ABCDEF12.jpg","Hash":")" +
      Sha1Hex("another studio's photo") + R"("})";
  PublicationSetup setup(WithScript("[" + Rule("GET", "^api/v1/photos", 200, "[" + foreign + "]") + "]"),
                         ArchiveRows{});
  InProcessRun run(setup);
  run.Run();
  EXPECT_EQ(run.lines,
            (std::vector<std::string>{setup.Peer().ImportedMessage(), "Impossibile recuperare UID Foto caricata 5",
                                      setup.Peer().UploadedMessage(), "TORNAVELO terminato"}));
  std::vector<std::string> row = setup.TransferRow();
  ASSERT_EQ(row.size(), 3u);
  ASSERT_EQ(row[0].size(), 6u);  // the upload token
  EXPECT_NE(row[0], "altrui");
  EXPECT_EQ(row[1], "");
  EXPECT_FALSE(row[2].empty());
  for (const std::string& line : setup.Peer().RequestLines())
    EXPECT_NE(line.rfind("PUT /api/v1/photos/", 0), 0u) << "nothing is titled: " << line;
}

TEST(Publication, TitleFailureEndsTheRunBeforeRecording) {
  PublicationSetup setup(WithScript("[" + Rule("PUT", "^api/v1/photos/", 500, R"({"error":"x"})") + "]"),
                         ArchiveRows{});
  InProcessRun run(setup);
  EXPECT_THROW(run.Run(), EIdHTTPProtocolException);
  EXPECT_EQ(run.lines, (std::vector<std::string>{setup.Peer().ImportedMessage()}));
  EXPECT_EQ(setup.TransferRow(), (std::vector<std::string>{"prima", "prima", ""}));
  // The album row written before the failure stays written.
  EXPECT_FALSE(setup.AlbumRow()[2].empty());
}

}  // namespace
}  // namespace velmora::test
