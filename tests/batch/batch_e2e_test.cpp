// Whole batches of the real velmora-batch program against the test Prism
// server and embedded archives.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/batch/BatchTestSupport.h"

namespace velmora::test {
namespace {

int CountUploads(PrismPeer& peer) {
  int n = 0;
  for (const std::string& line : peer.RequestLines())
    n += line.rfind("POST ", 0) == 0 && line.find("/upload/") != std::string::npos;
  return n;
}

// 30 pending rows: 15 in album row 1 (no server album yet), 15 in album
// row 2, whose server album is made first.
void ThirtyRows(BatchArchive& a, std::string& album2) {
  a.AddAlbum(1, "Matrimonio Rossi");
  a.AddAlbum(2, "Battesimo", "da-creare");
  for (int id = 1; id <= 30; ++id) a.AddTransfer(id, id <= 15 ? 1 : 2);
  // Album row 2 refers to an album the server really has.
  ProcessResult made = RunProcess(
      {"/usr/bin/curl", "-s", "-X", "POST", "-H", "Content-Type: application/json", "--data",
       "{\"username\":\"studio\",\"password\":\"segreta\"}", a.Peer().BaseUrl() + "api/v1/session"});
  auto login = ParseJSONValue(made.out);
  ASSERT_TRUE(login);
  ProcessResult album = RunProcess(
      {"/usr/bin/curl", "-s", "-X", "POST", "-H", "X-Auth-Token: " + login->GetValue("access_token").AsText(),
       "--data", "{\"Title\":\"Battesimo\",\"Favorite\":false}", a.Peer().BaseUrl() + "api/v1/albums"});
  album2 = ParseJSONValue(album.out)->GetValue("UID").AsText();
  a.Execute("UPDATE KELALBUMPRISM SET IDALBUMPRISM='" + album2 + "' WHERE ID=2");
}

TEST(Batch, PublishesEveryPendingRowOnceAndARerunDoesNothing) {
  BatchArchive a;
  std::string album2;
  ThirtyRows(a, album2);
  // Row 31 is already published: it is not selected.
  a.AddTransfer(31, 1);
  a.Execute("UPDATE KELTRANSFLOG SET IDPRISM='vecchia', HASHPRISM='h', DATAORATRANSF='NOW' WHERE ID=31");

  ProcessResult run = a.Run({"--jobs", "4", "--report", a.Dir() / "report.json"});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 31u) << run.out;
  for (int id = 1; id <= 30; ++id) {
    EXPECT_EQ(lines[id - 1].rfind("Riga " + std::to_string(id) + ": pubblicata p", 0), 0u) << lines[id - 1];
  }
  EXPECT_EQ(
      lines[30].rfind("Pubblicate 30, già sul server 0, non riuscite 0, saltate 0; 0.1 MiB inviati in ", 0),
      0u)
      << lines[30];
  // Standard error is not a terminal: no progress line.
  EXPECT_EQ(run.err.find(" righe, "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("velmora-batch:"), std::string::npos) << run.err;

  EXPECT_EQ(a.ExpectConsistent(30), 30u);
  auto state = a.Peer().State();
  const TJSONArray& albums = state->GetValue("albums").AsArray();
  ASSERT_EQ(albums.Count(), 2u);  // row 2's album and one new album for row 1
  const std::string album1 = a.AlbumRow(1)[2];
  EXPECT_NE(album1, "");
  EXPECT_NE(album1, album2);
  EXPECT_EQ(a.AlbumRow(2)[2], album2);
  const TJSONArray& photos = state->GetValue("photos").AsArray();
  ASSERT_EQ(photos.Count(), 30u);
  auto transfers = a.Transfers();
  for (size_t i = 0; i < photos.Count(); ++i) {
    const TJSONValue& p = photos.Items(i);
    int id = 0;
    for (const auto& [rowId, row] : transfers) {
      if (row.idPrism == p.GetValue("UID").AsText()) id = rowId;
    }
    ASSERT_NE(id, 0);
    EXPECT_EQ(p.GetValue("Title").AsText(), "Titolo " + std::to_string(id));
    // The upload's own name (a real server names its files itself).
    const TJSONValue* original = p.FindValue("OriginalName");
    EXPECT_EQ(original ? original->AsText() : p.GetValue("FileName").AsText().substr(8),
              "f" + std::to_string(id) + ".jpg");
  }
  EXPECT_EQ(transfers[31].idPrism, "vecchia");
  // One login per album row, one album and one share link.
  EXPECT_EQ(a.Peer().CountRequests("POST /api/v1/session"), 2 + 1);  // + the one made by the set-up
  EXPECT_EQ(a.Peer().CountRequests("POST /api/v1/albums/"), 1);

  auto report = ParseJSONValue(ReadFileBytes(a.Dir() / "report.json"));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->GetValue("riepilogo.pubblicate").AsText(), "30");
  EXPECT_EQ(report->GetValue("righe").AsArray().Count(), 30u);
  EXPECT_EQ(report->GetValue("righe[0].uid").AsText(), transfers[1].idPrism);
  EXPECT_EQ(report->GetValue("righe[0].hash").AsText(), a.PhotoSha1(1));

  // Nothing is pending any more.
  const int before = static_cast<int>(a.Peer().RequestLines().size());
  ProcessResult again = a.Run();
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_EQ(Lines(again.out).size(), 1u) << again.out;
  EXPECT_EQ(Lines(again.out)[0].rfind("Pubblicate 0, già sul server 0, non riuscite 0, saltate 0;", 0), 0u);
  EXPECT_EQ(static_cast<int>(a.Peer().RequestLines().size()), before);
  EXPECT_EQ(a.Transfers()[1].dataOra, transfers[1].dataOra);

  // --ids publishes a published row again: the album holds its bytes, so
  // it records that photo without uploading.
  ProcessResult republish = a.Run({"--ids", "3"});
  EXPECT_EQ(republish.exitCode, 0) << republish.out << republish.err;
  EXPECT_EQ(Lines(republish.out)[0], "Riga 3: già sul server " + transfers[3].idPrism);
  EXPECT_EQ(a.Peer().CountRequests("POST /api/v1/users/"), 30);
  EXPECT_EQ(a.ExpectConsistent(30), 30u);
}

TEST(Batch, TwoBatchesAtOnceOnALocalArchivePublishEveryRowOnce) {
  BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 150, "pass": true}])"));
  ExpectTwoBatchesPublishEveryRowOnce(a);
}

// Single runs and a batch on the same rows at once. Uploads are answered
// slowly, so each side certainly meets the other's claim: runs 1 and 2 hold
// their rows (through the upload and the pause before the lookup) when the
// batch starts, and the batch holds rows 3 and 4 when their runs start.
TEST(Batch, ABatchAndSingleRunsAtOnceOnTheSameRowsPublishEveryRowOnce) {
  BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 1000, "pass": true}])"));
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 4; ++id) a.AddTransfer(id, 1);
  auto uploads = [&a] { return CountUploads(a.Peer()); };

  std::map<int, std::unique_ptr<StartedBatch>> runs;
  for (int id : {1, 2}) runs[id] = std::make_unique<StartedBatch>(a, a.RunArgv(id), 0);
  ASSERT_TRUE(WaitFor([&] { return uploads() >= 2; }));
  StartedBatch batch(a, {"--jobs", "2"});
  ASSERT_TRUE(WaitFor([&] { return uploads() >= 4; }));
  for (int id : {3, 4}) runs[id] = std::make_unique<StartedBatch>(a, a.RunArgv(id), 0);

  const int batchStatus = batch.Wait(120);
  ASSERT_TRUE(WIFEXITED(batchStatus)) << batchStatus;
  std::map<int, std::string> runOut;
  for (auto& [id, run] : runs) {
    const int status = run->Wait(120);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    runOut[id] = run->Out();
  }
  const std::string out = batch.Out();
  for (int id = 1; id <= 4; ++id) {
    const std::string tag = "Riga " + std::to_string(id) + ": ";
    const bool byBatch = out.find(tag + "pubblicata ") != std::string::npos;
    const bool byRun = runOut[id].find("TORNAVELO terminato") != std::string::npos;
    EXPECT_NE(byBatch, byRun) << "row " << id << "\n" << out << runOut[id];
    EXPECT_EQ(byRun, id <= 2) << "row " << id << "\n" << out << runOut[id];
    if (id <= 2) {
      EXPECT_NE(out.find(tag + "saltata: in lavorazione in un altro processo"), std::string::npos) << out;
    } else {
      EXPECT_EQ(runOut[id],
                "Trasferimento pubblicato nel frattempo da un altro processo " + std::to_string(id) + "\r\n");
    }
  }
  EXPECT_EQ(uploads(), 4);
  EXPECT_EQ(a.ExpectConsistent(), 4u);
  auto state = a.Peer().State();
  EXPECT_EQ(state->GetValue("photos").AsArray().Count(), 4u);
  EXPECT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
}

// A second run of the same row, started while the first one holds it,
// waits for the first to end and then sends nothing; a stop signal ends
// that wait at once.
TEST(Batch, ARunOfARowAnotherRunHoldsWaitsAndSendsNothing) {
  BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 1000, "pass": true}])"));
  a.AddAlbum(1, "Matrimonio");
  a.AddTransfer(1, 1);
  a.AddTransfer(2, 1);
  // Row 1: the second run waits to the end; row 2: it is stopped meanwhile.
  for (int id : {1, 2}) {
    const bool stopped = id == 2;
    SCOPED_TRACE(stopped ? "stopped while waiting" : "waits to the end");
    StartedBatch first(a, a.RunArgv(id), 0);
    ASSERT_TRUE(WaitFor([&] { return CountUploads(a.Peer()) >= id; }));
    TransactionCounter transactions(a.ArchivePath());
    StartedBatch second(a, a.RunArgv(id), 0);
    if (stopped) {
      // The second run reads its row (three transactions up to its first
      // try) and then tries the claim once per transaction: five mean it
      // has come back from its pause twice. The first run starts none while
      // its upload is held back.
      ASSERT_TRUE(WaitFor([&] { return transactions.Others() >= 5; })) << second.Out();
      second.Signal(SIGTERM);
      const int status = second.Wait(5);
      ASSERT_TRUE(WIFSIGNALED(status)) << status << " " << second.Out();
      EXPECT_EQ(WTERMSIG(status), SIGTERM);
    }
    const int firstStatus = first.Wait(60);
    ASSERT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0) << firstStatus;
    EXPECT_NE(first.Out().find("TORNAVELO terminato"), std::string::npos) << first.Out();
    if (!stopped) {
      const int status = second.Wait(60);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(second.Out(), "Trasferimento pubblicato nel frattempo da un altro processo 1\r\n");
    }
    // Only the first run logged in and uploaded.
    EXPECT_EQ(CountUploads(a.Peer()), id);
    EXPECT_EQ(a.Peer().CountRequests("POST /api/v1/session"), id);
    EXPECT_EQ(a.ExpectConsistent(), static_cast<size_t>(id));
  }
}

TEST(Batch, DryRunChangesNothing) {
  BatchArchive a;
  a.AddAlbum(1, "Matrimonio");
  a.AddTransfer(1, 1);
  a.AddTransfer(2, 1, false);
  a.AddTransfer(3, 1);
  auto before = a.Transfers();
  ProcessResult run = a.Run({"--dry-run", "--ids", "1-2"});
  EXPECT_EQ(run.exitCode, 1) << run.err;  // row 2 has no file
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{
                "Riga 1: da pubblicare C:\\Foto\\f1.jpg (album 1 \"Matrimonio\", album da creare "
                "sul server)",
                "Riga 2: saltata: File da caricare non esiste C:\\Foto\\f2.jpg",
                "Da pubblicare 1, saltate 1; prova, nessuna modifica"}));
  EXPECT_TRUE(a.Peer().RequestLines().empty());
  auto after = a.Transfers();
  EXPECT_EQ(after[1].dataOra, "");
  EXPECT_EQ(a.AlbumRow(1)[0], "vecchio");
  EXPECT_EQ(after.size(), before.size());
}

TEST(Batch, FailingRowsStayPendingAndTheOthersArePublished) {
  // The first upload is answered 500 (with one job, row 1's); row 4 has no
  // file.
  BatchArchive a(WithScript(
      R"([{"method": "POST", "path": "api/v1/users/.*/upload/", "status": 500, "body": "guasto", "times": 1}])"));
  a.AddAlbum(1, "Matrimonio");
  a.AddTransfer(1, 1);
  a.AddTransfer(2, 1);
  a.AddTransfer(3, 1);
  a.AddTransfer(4, 1, false);
  a.AddTransfer(5, 1);
  ProcessResult run = a.Run({"--jobs", "1", "--wait", "1"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 6u) << run.out;
  EXPECT_EQ(lines[0], "Riga 4: saltata: File da caricare non esiste C:\\Foto\\f4.jpg");
  EXPECT_EQ(lines[1].rfind("Riga 1: non riuscita: EIdHTTPProtocolException: HTTP/1.", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("500"), std::string::npos);
  EXPECT_EQ(lines[2].rfind("Riga 2: pubblicata p", 0), 0u) << lines[2];
  EXPECT_EQ(lines[5].rfind("Pubblicate 3, già sul server 0, non riuscite 1, saltate 1;", 0), 0u) << lines[5];
  auto t = a.Transfers();
  EXPECT_EQ(t[1].dataOra, "");
  EXPECT_EQ(t[1].idPrism, "");
  EXPECT_EQ(t[4].dataOra, "");
  EXPECT_EQ(a.ExpectConsistent(), 3u);
}

TEST(Batch, APhotoTheServerNeverListsIsReportedAndLeftPending) {
  // The listing stays empty: the uploaded photo is never found.
  BatchArchive a(WithScript(R"([{"method": "GET", "path": "api/v1/photos\\?", "status": 200, "body": []}])"));
  a.AddAlbum(1, "Matrimonio", "");
  a.AddTransfer(1, 1);
  ProcessResult run = a.Run({"--wait", "1"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  EXPECT_EQ(lines[0], "Riga 1: non riuscita: foto caricata non trovata nell'album entro 1 s");
  EXPECT_EQ(a.Transfers()[1].dataOra, "");
  EXPECT_EQ(a.Transfers()[1].idPrism, "");
  // A later batch finds the photo by its hash and records it without a
  // second upload.
  a.Control("reset");
  ProcessResult again = a.Run();
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_EQ(Lines(again.out)[0].rfind("Riga 1: già sul server p", 0), 0u) << again.out;
  EXPECT_EQ(a.ExpectConsistent(), 1u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 1u);
}

int CountRequestsOf(PrismPeer& peer, const std::string& method, const std::string& fragment) {
  int n = 0;
  for (const std::string& line : peer.RequestLines()) {
    n += line.rfind(method + " ", 0) == 0 && line.find(fragment) != std::string::npos;
  }
  return n;
}

// The upload token of an upload or filing request line
// ("POST /api/v1/users/U/upload/TOKEN"), "" for any other line.
std::string UploadToken(const std::string& line) {
  const size_t at = line.find("/upload/");
  return at == std::string::npos ? "" : line.substr(at + 8);
}

TEST(Batch, UploadsAreFiledInLotsOfAtMostTheGivenCount) {
  BatchArchive a;
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 7; ++id) a.AddTransfer(id, 1);
  ProcessResult run = a.Run({"--jobs", "3", "--group-files", "3"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(a.ExpectConsistent(), 7u);
  // Uploads per token, and the filings in the order they were sent.
  std::map<std::string, int> uploads;
  std::vector<std::string> filings;
  for (const std::string& line : a.Peer().RequestLines()) {
    const std::string token = UploadToken(line);
    if (token.empty()) continue;
    if (line.rfind("POST ", 0) == 0) ++uploads[token];
    if (line.rfind("PUT ", 0) == 0) filings.push_back(token);
  }
  ASSERT_EQ(filings.size(), 3u) << run.out;
  EXPECT_EQ(uploads.size(), 3u);
  EXPECT_EQ(uploads[filings[0]], 3);
  EXPECT_EQ(uploads[filings[1]], 3);
  EXPECT_EQ(uploads[filings[2]], 1);
  // A filing comes after every upload of its lot.
  const std::vector<std::string> lines = a.Peer().RequestLines();
  for (const std::string& token : filings) {
    size_t lastUpload = 0, filing = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (UploadToken(lines[i]) != token) continue;
      (lines[i].rfind("POST ", 0) == 0 ? lastUpload : filing) = i;
    }
    EXPECT_LT(lastUpload, filing) << token;
  }
}

TEST(Batch, AFailedFilingLeavesItsLotPendingAndTheOtherLotsArePublished) {
  // The first filing is answered 500: rows 1 and 2 (the first lot) stay
  // pending, rows 3 and 4 are published, and a rerun publishes the first
  // lot once.
  BatchArchive a(WithScript(
      R"([{"method": "PUT", "path": "api/v1/users/.*/upload/", "status": 500, "body": "guasto", "times": 1}])"));
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 4; ++id) a.AddTransfer(id, 1);
  ProcessResult run = a.Run({"--jobs", "1", "--group-files", "2", "--wait", "1"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  for (int row : {0, 1}) {
    SCOPED_TRACE(row);
    EXPECT_EQ(lines[row].rfind("Riga " + std::to_string(row + 1) +
                                   ": non riuscita: archiviazione nell'album non riuscita: "
                                   "EIdHTTPProtocolException: HTTP/1.",
                               0),
              0u)
        << lines[row];
  }
  EXPECT_EQ(lines[2].rfind("Riga 3: pubblicata p", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("Riga 4: pubblicata p", 0), 0u) << lines[3];
  EXPECT_EQ(lines[4].rfind("Pubblicate 2, già sul server 0, non riuscite 2, saltate 0;", 0), 0u) << lines[4];
  EXPECT_EQ(CountRequestsOf(a.Peer(), "PUT", "/upload/"), 2);
  auto t = a.Transfers();
  EXPECT_EQ(t[1].dataOra, "");
  EXPECT_EQ(t[2].dataOra, "");
  EXPECT_EQ(a.ExpectConsistent(), 2u);

  a.Control("reset");
  ProcessResult again = a.Run();
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_EQ(a.ExpectConsistent(), 4u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 4u);
}

TEST(Batch, ALotTheServerPartlyImportsRecordsTheImportedAndReportsTheRest) {
  // The server's import skips TIFF files and still answers the filing 200.
  BatchArchive a;
  a.Control("settings", R"({"unsupported": "tif"})");
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 3; ++id) a.AddTransfer(id, 1);
  a.Execute(
      "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
      "(4, 'C:\\Foto', 'f4', 'tif', 'Titolo 4')");
  a.Execute("INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (4, 1, 4)");
  WriteFileBytes(a.Dir() / "foto/f4.tif", "II*\0 a tiff of its own");
  ProcessResult run = a.Run({"--wait", "1"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  for (int row : {0, 1, 2})
    EXPECT_EQ(lines[row].rfind("Riga " + std::to_string(row + 1) + ": pubblicata p", 0), 0u);
  EXPECT_EQ(lines[3], "Riga 4: non riuscita: foto caricata non trovata nell'album entro 1 s");
  EXPECT_EQ(CountRequestsOf(a.Peer(), "PUT", "/upload/"), 1);
  EXPECT_EQ(a.Transfers()[4].dataOra, "");
  EXPECT_EQ(a.ExpectConsistent(), 3u);
}

// A batch killed with SIGKILL at a moment chosen by the server's requests,
// then run again without the server's delays: every row ends published once.
struct CrashCase {
  const char* name;
  const char* rules;     // the server's answer rules for the first batch
  const char* method;    // kill once the server has seen
  const char* fragment;  //   this many requests of this kind
  int count;
};

TEST(Batch, KilledAtAnyPointARerunPublishesEveryRowExactlyOnce) {
  const CrashCase cases[] = {
      {"during the first uploads",
       R"([{"method": "POST", "path": "/upload/", "delay_ms": 300, "pass": true}])", "POST", "/upload/", 2},
      {"after two lots of uploads were filed",
       R"([{"method": "POST", "path": "/upload/", "delay_ms": 100, "pass": true}])", "PUT", "/upload/", 2},
      {"during identification", R"([{"method": "GET", "path": "api/v1/photos\\?", "body": []}])", "GET",
       "api/v1/photos?", 3},
      {"while titles are set",
       R"([{"method": "PUT", "path": "api/v1/photos/", "delay_ms": 200, "pass": true}])", "PUT",
       "api/v1/photos/", 3},
  };
  for (const CrashCase& c : cases) {
    SCOPED_TRACE(c.name);
    BatchArchive a(WithScript(c.rules));
    a.AddAlbum(1, "Matrimonio");
    for (int id = 1; id <= 10; ++id) a.AddTransfer(id, 1);
    {
      // Lots of three: four filings for the ten rows.
      StartedBatch batch(a, {"--jobs", "2", "--wait", "60", "--group-files", "3"});
      ASSERT_TRUE(WaitFor([&] { return CountRequestsOf(a.Peer(), c.method, c.fragment) >= c.count; },
                          std::chrono::seconds(240)));
      batch.Signal(SIGKILL);
      int status = batch.Wait(30);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }
    const size_t before = a.ExpectConsistent();
    EXPECT_LT(before, 10u);
    a.Control("reset");
    ProcessResult rerun = a.Run({"--wait", "5"});
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
    EXPECT_EQ(a.ExpectConsistent(), 10u);
    EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 10u);
    EXPECT_EQ(a.Peer().State()->GetValue("albums").AsArray().Count(), 1u);
  }
}

TEST(Batch, AStopSignalAbandonsUnfinishedUploadsAndEndsByTheSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    // Each upload answer comes 1500 ms after the body: a signal during that
    // wait abandons the row (no answer, no filing, nothing recorded).
    BatchArchive a(WithScript(R"([{"method": "POST", "path": "/upload/", "delay_ms": 1500, "pass": true}])"));
    a.AddAlbum(1, "Matrimonio");
    for (int id = 1; id <= 8; ++id) a.AddTransfer(id, 1);
    StartedBatch batch(a, {"--jobs", "2"});
    ASSERT_TRUE(WaitFor([&] { return CountRequestsOf(a.Peer(), "POST", "/upload/") >= 2; }));
    const auto start = std::chrono::steady_clock::now();
    batch.Signal(signal);
    int status = batch.Wait(30);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(CountRequestsOf(a.Peer(), "POST", "/upload/"), 2);
    EXPECT_EQ(CountRequestsOf(a.Peer(), "PUT", "/upload/"), 0);
    EXPECT_EQ(a.ExpectConsistent(), 0u);
    std::vector<std::string> lines = Lines(batch.Out());
    ASSERT_EQ(lines.size(), 9u) << batch.Out();
    EXPECT_EQ(lines[0], "Riga 1: interrotta, resta in attesa");
    EXPECT_NE(lines.back().find("(interrotto da un segnale)"), std::string::npos) << batch.Out();
    a.Control("reset");
    ProcessResult rerun = a.Run();
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
    EXPECT_EQ(a.ExpectConsistent(), 8u);
    EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 8u);
  }
}

TEST(Batch, AStopSignalAfterTheUploadFinishesAndRecordsTheRow) {
  // The filing answers come 1500 ms late: a signal then finds the bytes on
  // the server, and those rows are finished and recorded. Each row is a lot
  // of its own here, and the upload answers come 2000 ms late, so that the
  // uploads are not all done when the second filing arrives.
  BatchArchive a(WithScript(R"([{"method": "PUT", "path": "/upload/", "delay_ms": 1500, "pass": true},)"
                            R"( {"method": "POST", "path": "/upload/", "delay_ms": 2000, "pass": true}])"));
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 8; ++id) a.AddTransfer(id, 1);
  StartedBatch batch(a, {"--jobs", "2", "--group-files", "1"});
  ASSERT_TRUE(WaitFor([&] { return CountRequestsOf(a.Peer(), "PUT", "/upload/") >= 2; }));
  batch.Signal(SIGTERM);
  int status = batch.Wait(60);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  const size_t published = a.ExpectConsistent();
  EXPECT_GE(published, 2u);
  EXPECT_LT(published, 8u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), published);
  a.Control("reset");
  ProcessResult rerun = a.Run();
  EXPECT_EQ(rerun.exitCode, 0) << rerun.out << rerun.err;
  EXPECT_EQ(a.ExpectConsistent(), 8u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 8u);
}

}  // namespace
}  // namespace velmora::test
