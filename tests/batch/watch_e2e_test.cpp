// velmora-batch --watch, the real program, against the test Prism server
// and embedded archives: rows present at the start and rows inserted while
// it runs, a server that goes away and comes back without the old session,
// the notify messages, SIGHUP and SIGTERM; and the repair of rows recorded
// without a photo.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/batch/WatchTestSupport.h"

namespace velmora::test {
namespace {

TEST(Watch, PublishesRowsAtTheStartAndRowsInsertedLaterWithOneSession) {
  BatchArchive a;
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 3; ++id) a.AddTransfer(id, 1);
  a.AddTransfer(4, 1, false);  // its file is not there
  NotifySocket notify(a.Dir() / "notify.sock");
  // The unit's watchdog: a message at least every cycle.
  StartedService service(a, {"--interval", "1"}, notify.Path(), {{"WATCHDOG_USEC", "3000000"}});

  ASSERT_TRUE(notify.WaitFor("READY=1", 60)) << service.Out();
  EXPECT_NE(notify.Seen().back().find("STATUS=in attesa "), std::string::npos) << notify.Seen().back();
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 1, 3); }, std::chrono::seconds(120))) << service.Out();
  // Rows inserted by another process while it runs.
  for (int id = 5; id <= 7; ++id) a.AddTransfer(id, 1);
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 5, 7); }, std::chrono::seconds(120))) << service.Out();
  EXPECT_TRUE(notify.WaitFor("pubblicate oggi 6", 60)) << service.Out();
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 10));

  // SIGHUP: the configuration again, the service goes on.
  service.Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return service.CountLines("Configurazione riletta: archivio ") == 1; },
                      std::chrono::seconds(60)))
      << service.Out();
  a.AddTransfer(8, 1);
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 8, 8); }, std::chrono::seconds(120))) << service.Out();

  service.Signal(SIGTERM);
  const int status = service.Wait(60);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << service.Out();
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", 10));

  EXPECT_EQ(a.ExpectConsistent(), 7u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 7u);
  EXPECT_EQ(a.Peer().State()->GetValue("albums").AsArray().Count(), 1u);
  // One session from the start to the reload, one after it.
  EXPECT_EQ(a.Peer().CountRequests("POST /api/v1/session"), 2);
  // One line per published row, one for the missing file however many
  // cycles looked at it; nothing else but the start, the reload and the end.
  const std::string out = service.Out();
  for (int id : {1, 2, 3, 5, 6, 7, 8}) {
    EXPECT_EQ(service.CountLines("Riga " + std::to_string(id) + ": pubblicata p"), 1) << id << "\n" << out;
  }
  EXPECT_EQ(
      service.CountLines("Riga 4: saltata: File da caricare non esiste C:\\Foto\\f4.jpg; nuovo controllo "
                         "tra 10 min"),
      1)
      << out;
  std::vector<std::string> lines = Lines(out);
  EXPECT_EQ(lines.size(), 7u + 1 + 1 + 1 + 1) << out;
  EXPECT_EQ(lines.front().rfind("Servizio avviato: archivio ", 0), 0u) << out;
  EXPECT_EQ(lines.back(), "Servizio fermato da SIGTERM: pubblicate oggi 7, in attesa 1") << out;
  EXPECT_EQ(a.Transfers()[4].dataOra, "");
}

TEST(Watch, AServerThatGoesAwayCostsNoCpuAndEveryRowIsPublishedOnceAfterItsReturn) {
  RestartablePrism server;
  BatchArchive a;
  AddAlbumOn(a, 1, "Matrimonio", server.BaseUrl());
  a.AddTransfer(1, 1);
  NotifySocket notify(a.Dir() / "notify.sock");
  StartedService service(a, {"--interval", "1"}, notify.Path());
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 1, 1); }, std::chrono::seconds(120))) << service.Out();

  // Restarted without the old session, while nothing was pending: the next
  // row meets 401 on the kept session and logs in once more.
  server.StopForgettingSessions();
  server.Start();
  a.AddTransfer(2, 1);
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 2, 2); }, std::chrono::seconds(120))) << service.Out();
  EXPECT_EQ(service.CountLines("Album 1: sessione scaduta sul server, nuovo accesso"), 1) << service.Out();
  EXPECT_EQ(server.Count("POST /api/v1/session"), 2);

  // Down, with rows inserted meanwhile: each is told once, the service
  // stays up and uses almost no CPU.
  server.StopForgettingSessions();
  for (int id = 3; id <= 5; ++id) a.AddTransfer(id, 1);
  ASSERT_TRUE(
      WaitFor([&] { return service.CountLines("Riga 5: non riuscita: ") == 1; }, std::chrono::seconds(60)))
      << service.Out();
  const double cpuBefore = service.CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  // The window the CPU time is measured over (the measure itself, not a wait for an event).
  ::usleep(4 * 1000 * 1000);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = service.CpuSeconds() - cpuBefore;
  EXPECT_LT(cpu / wall, 0.05) << cpu << " s of CPU in " << wall << " s";
  for (int id = 3; id <= 5; ++id) {
    EXPECT_EQ(service.CountLines("Riga " + std::to_string(id) + ": non riuscita: "), 1) << service.Out();
  }
  // The status names the failure; without a watchdog in the unit, no
  // watchdog messages.
  EXPECT_TRUE(notify.WaitFor("STATUS=in attesa 3, pubblicate oggi 2, ultimo errore riga ", 10));
  for (const std::string& m : notify.Seen()) EXPECT_EQ(m.find("WATCHDOG"), std::string::npos) << m;

  server.Start();
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 3, 5); }, std::chrono::seconds(120))) << service.Out();
  service.Signal(SIGTERM);
  const int status = service.Wait(60);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

  auto state = server.State();
  ASSERT_TRUE(state);
  const TJSONArray& photos = state->GetValue("photos").AsArray();
  EXPECT_EQ(photos.Count(), 5u);
  std::set<std::string> hashes;
  for (size_t i = 0; i < photos.Count(); ++i) hashes.insert(photos.Items(i).GetValue("Hash").AsText());
  EXPECT_EQ(hashes.size(), 5u);
  auto t = a.Transfers();
  for (int id = 1; id <= 5; ++id) EXPECT_EQ(t[id].hashPrism, a.PhotoSha1(id)) << id;
  EXPECT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
}

TEST(Watch, ASigtermAfterTheUploadFinishesTheRowAndLeavesTheOthersPending) {
  // Filing answers come late: the stop finds rows 1 and 2 on the server
  // (each row a lot of its own). Upload answers come later still, so that
  // the uploads are not all done when the second filing arrives.
  BatchArchive a(WithScript(R"([{"method": "PUT", "path": "/upload/", "delay_ms": 1500, "pass": true},)"
                            R"( {"method": "POST", "path": "/upload/", "delay_ms": 2000, "pass": true}])"));
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 6; ++id) a.AddTransfer(id, 1);
  StartedService service(a, {"--interval", "1", "--jobs", "2", "--group-files", "1"});
  auto filings = [&] {
    int n = 0;
    for (const std::string& line : a.Peer().RequestLines())
      n += line.rfind("PUT ", 0) == 0 && line.find("/upload/") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(WaitFor([&] { return filings() >= 2; }, std::chrono::seconds(60))) << service.Out();
  service.Signal(SIGTERM);
  const int status = service.Wait(60);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << service.Out();
  const size_t published = a.ExpectConsistent();
  EXPECT_GE(published, 2u);
  EXPECT_LT(published, 6u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), published);
  // The others are pending, and the next start publishes them.
  a.Control("reset");
  StartedService again(a, {"--interval", "1"});
  ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 1, 6); }, std::chrono::seconds(120))) << again.Out();
  again.Signal(SIGTERM);
  again.Wait(60);
  EXPECT_EQ(a.ExpectConsistent(), 6u);
  EXPECT_EQ(a.Peer().State()->GetValue("photos").AsArray().Count(), 6u);
}

// Rows recorded without a photo (the upload token in IDPRISM, no hash):
// one whose photo is on the server gets it recorded and its title set, one
// whose photo is not there is published again, one whose file is gone is
// told and left.
TEST(Watch, RepairsRowsRecordedWithoutAPhoto) {
  for (bool watch : {false, true}) {
    SCOPED_TRACE(watch ? "service" : "batch --ripara");
    BatchArchive a;
    a.AddAlbum(1, "Matrimonio");
    for (int id = 1; id <= 3; ++id) a.AddTransfer(id, 1);
    ProcessResult first = a.Run({"--ids", "1"});
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    const std::string uid1 = a.Transfers()[1].idPrism;
    a.Execute(
        "UPDATE KELTRANSFLOG SET IDPRISM='ab12cd', HASHPRISM='', DATAORATRANSF='2026-01-02 03:04:05' "
        "WHERE ID IN (1, 2, 3)");
    a.Execute("UPDATE KELITEMPHOTO SET TITOLO='Nuovo titolo' WHERE ID=1");
    ::unlink(a.PhotoPath(3).c_str());
    // A row recorded with a photo is not touched.
    a.AddTransfer(4, 1);
    a.Execute("UPDATE KELTRANSFLOG SET IDPRISM='pqrstu', HASHPRISM='abc', DATAORATRANSF='NOW' WHERE ID=4");

    std::string out;
    if (watch) {
      StartedService service(a, {"--interval", "1"});
      ASSERT_TRUE(WaitFor([&] { return AllPublished(a, 1, 2) && service.CountLines("Riga 3: saltata") == 1; },
                          std::chrono::seconds(120)))
          << service.Out();
      service.Signal(SIGTERM);
      service.Wait(60);
      out = service.Out();
    } else {
      ProcessResult run = a.Run({"--ripara"});
      EXPECT_EQ(run.exitCode, 1) << run.out << run.err;  // row 3 has no file
      out = run.out;
    }
    auto t = a.Transfers();
    EXPECT_EQ(t[1].idPrism, uid1) << out;
    EXPECT_EQ(t[1].hashPrism, a.PhotoSha1(1));
    EXPECT_EQ(t[1].dataOra.substr(0, 10), "2026-01-02") << "found: the time of the transfer is kept";
    EXPECT_EQ(t[2].hashPrism, a.PhotoSha1(2)) << out;
    EXPECT_NE(t[2].idPrism, "ab12cd");
    EXPECT_EQ(t[3].idPrism, "ab12cd");
    EXPECT_EQ(t[3].hashPrism, "");
    EXPECT_EQ(t[4].hashPrism, "abc");
    EXPECT_NE(out.find("Riga 3: saltata: File da caricare non esiste C:\\Foto\\f3.jpg"), std::string::npos)
        << out;
    auto state = a.Peer().State();
    const TJSONArray& photos = state->GetValue("photos").AsArray();
    ASSERT_EQ(photos.Count(), 2u);
    for (size_t i = 0; i < photos.Count(); ++i) {
      if (photos.Items(i).GetValue("UID").AsText() == uid1) {
        EXPECT_EQ(photos.Items(i).GetValue("Title").AsText(), "Nuovo titolo");
      }
    }
  }
}

// Under the journal (JOURNAL_STREAM names its standard output) every line
// carries its priority, so that `journalctl -p err` shows the failures only.
TEST(Watch, LinesCarryTheJournalsPrioritiesUnderTheJournal) {
  BatchArchive a;
  a.AddAlbum(1, "Matrimonio");
  // Album row 2's server refuses connections: nobody listens on that port.
  a.Execute(
      "INSERT INTO KELALBUMPRISM (ID, ACCOUNTUSER, ACCOUNTPASSWORD, NOMESITOPRISM, IDALBUMPRISM, NOMEALBUM) "
      "VALUES (2, 'studio', 'segreta', 'http://127.0.0.1:" +
      std::to_string(FreePort()) + "/', '', 'Altro')");
  a.AddTransfer(1, 1);
  a.AddTransfer(2, 1, false);
  a.AddTransfer(3, 2);
  std::vector<std::string> argv{
      "/bin/sh",   "-c",         "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\" \"$@\"",
      a.Program(), "1",          "query_esterno",
      "--watch",   "--interval", "1"};
  StartedBatch service(a, argv, 0);
  auto has = [&service](const std::string& line) { return service.Out().find(line) != std::string::npos; };
  ASSERT_TRUE(WaitFor([&] { return has("<6>Riga 1: pubblicata p") && has("<3>Riga 3: non riuscita: "); },
                      std::chrono::seconds(120)))
      << service.Out();
  EXPECT_TRUE(
      has("\n<4>Riga 2: saltata: File da caricare non esiste C:\\Foto\\f2.jpg; nuovo controllo tra 10 min\n"))
      << service.Out();
  EXPECT_TRUE(has("<3>Riga 3: non riuscita: EIdSocketError: ")) << service.Out();
  EXPECT_EQ(service.Out().rfind("<6>Servizio avviato: archivio ", 0), 0u) << service.Out();
  EXPECT_EQ(service.Out().find('\r'), std::string::npos) << service.Out();
  service.Signal(SIGTERM);
  service.Wait(60);
}

}  // namespace
}  // namespace velmora::test
