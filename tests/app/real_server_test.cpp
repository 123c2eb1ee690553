// Whole runs of the real program against the test server's real profile, a
// server that behaves as a production Prism server does: a limit of logins
// in flight, order=newest by shooting time, a video listed as two files,
// library-wide de-duplication and an import that may import nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "tests/app/ConcurrentRuns.h"

namespace velmora::test {
namespace {

PrismPeer::Options Real(std::vector<std::string> args = {}) {
  PrismPeer::Options options = WithProfile("real");
  options.args = std::move(args);
  return options;
}

// Album row 3 names the server album `uid`.
void UseServerAlbum(PublicationSetup& setup, const std::string& uid) {
  TIBDatabase db;
  AttachDatabase(db, setup.ArchivePath());
  ExecuteSql(db, "UPDATE KELALBUMPRISM SET IDALBUMPRISM='" + uid + "' WHERE ID=3");
}

ProcessResult RunTransfer(PublicationSetup& setup, int id) {
  return RunProcess({ProgramIn(setup), "1", "query_esterno", "qualsiasi", std::to_string(id)},
                    setup.Dir().Path(), RunEnvironment(), 300);
}

// The console lines of a run that published its photo.
void ExpectPublishedLines(PublicationSetup& setup, const ProcessResult& run) {
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ConsoleLines(run.out), setup.PublishedLines());
}

TEST(RealServer, SixtyFourRunsAtOnceIntoANewAlbumEachPublishTheirOwnPhoto) {
  PublicationSetup setup(Real(), ArchiveRows{});
  std::vector<TransferToPublish> transfers = AddTransfers(setup, 64);
  // The first logins are held in flight until the server has refused one
  // for its limit: every run beyond the limit meets it, whatever the timing.
  setup.Peer().Settings(R"({"login_hold": true})");
  // The program is in place before the control requests below start
  // children beside the runs.
  ProgramIn(setup);
  std::vector<ProcessResult> results;
  std::thread runs([&] { results = RunAllAtOnce(setup, transfers); });
  const bool refused = WaitFor([&] { return setup.Peer().LoginsRefused() > 0; }, std::chrono::minutes(2));
  setup.Peer().Settings(R"({"login_hold": false})");
  runs.join();
  EXPECT_TRUE(refused);
  ExpectEachRunPublishedItsOwnPhoto(setup, transfers, results);
  std::cout << "logins " << setup.Peer().Logins() << ", of them refused " << setup.Peer().LoginsRefused()
            << "\n";
  EXPECT_EQ(setup.Peer().Counter("logins_200"), 64);
}

TEST(RealServer, RunsIntoAnAlbumOfPhotosShotLaterFindTheirOwnPastTheFirstPage) {
  for (int runs : {1, 8}) {
    SCOPED_TRACE(std::to_string(runs) + " runs");
    PublicationSetup setup(Real(), ArchiveRows{});
    const std::string album = setup.Peer().CreateAlbum("Matrimonio Rossi");
    const std::vector<std::string> later = setup.Peer().Seed(album, 130, "2024-06-01T10:00:00Z");
    UseServerAlbum(setup, album);
    std::vector<TransferToPublish> transfers = AddTransfers(setup, runs);
    for (const TransferToPublish& t : transfers) setup.Peer().SetTaken(t.sha1, "2019-05-04T10:00:00Z");

    std::vector<ProcessResult> results = RunAllAtOnce(setup, transfers);
    for (size_t i = 0; i < results.size(); ++i) {
      SCOPED_TRACE("transfer " + std::to_string(transfers[i].id));
      ExpectPublishedLines(setup, results[i]);
    }
    ExpectRowsNameTheirOwnPhotos(setup, transfers, album);
    // The photos shot later keep their titles (none).
    auto state = setup.Peer().State();
    const TJSONArray& photos = state->GetValue("photos").AsArray();
    EXPECT_EQ(photos.Count(), later.size() + transfers.size());
    for (size_t p = 0; p < photos.Count(); ++p) {
      const std::string uid = photos.Items(p).GetValue("UID").AsText();
      if (std::find(later.begin(), later.end(), uid) != later.end()) {
        EXPECT_EQ(photos.Items(p).GetValue("Title").AsText(), "") << uid;
      }
    }
    // Every run read the second page, where the new photos are.
    EXPECT_EQ(static_cast<size_t>(setup.Peer().CountRequests(
                  "GET /api/v1/photos?count=120&offset=120&order=newest&s=" + album)),
              transfers.size());
  }
}

TEST(RealServer, AnUploadTheServerDoesNotImportTakesNoOtherPhoto) {
  PublicationSetup setup(Real({"--unsupported", "image/jpeg"}), ArchiveRows{});
  const std::string album = setup.Peer().CreateAlbum("Matrimonio Rossi");
  setup.Peer().Seed(album, 3, "2018-01-01T10:00:00Z");
  UseServerAlbum(setup, album);
  ProcessResult run = RunTransfer(setup, 5);
  std::vector<std::string> lines = ConsoleLines(run.out);
  std::vector<std::string> expected = setup.PublishedLines();
  expected.insert(expected.begin() + 1, "Impossibile recuperare UID Foto caricata 5");
  EXPECT_EQ(lines, expected);
  std::vector<std::string> row = setup.TransferRow();
  ASSERT_EQ(row.size(), 3u);
  EXPECT_EQ(row[0].size(), 6u);  // the upload token
  EXPECT_EQ(row[1], "");
  EXPECT_FALSE(row[2].empty());
  auto state = setup.Peer().State();
  const TJSONArray& photos = state->GetValue("photos").AsArray();
  ASSERT_EQ(photos.Count(), 3u);
  for (size_t p = 0; p < photos.Count(); ++p) {
    EXPECT_NE(photos.Items(p).GetValue("UID").AsText(), row[0]);
    EXPECT_EQ(photos.Items(p).GetValue("Title").AsText(), "");
  }
  EXPECT_EQ(setup.Peer().CountRequests("PUT /api/v1/photos/"), 0);
  EXPECT_EQ(setup.Peer().Counter("skipped"), 1);
}

TEST(RealServer, AnUploadWhoseBytesTheLibraryHoldsIsRecordedWithTheExistingPhoto) {
  PublicationSetup setup(Real(), ArchiveRows{});
  // Row 5 publishes the photo into the album row's album.
  ProcessResult first = RunTransfer(setup, 5);
  ExpectPublishedLines(setup, first);
  const std::string firstAlbum = setup.AlbumRow()[2];
  const std::string photo = setup.TransferRow(5)[0];
  // Row 6 sends the same file into another album.
  {
    TIBDatabase db;
    AttachDatabase(db, setup.ArchivePath());
    ExecuteSql(db, "UPDATE KELALBUMPRISM SET IDALBUMPRISM='', NOMEALBUM='Secondo album' WHERE ID=3");
  }
  ProcessResult second = RunTransfer(setup, 6);
  ExpectPublishedLines(setup, second);
  const std::string secondAlbum = setup.AlbumRow()[2];
  EXPECT_NE(secondAlbum, firstAlbum);
  std::vector<std::string> row = setup.TransferRow(6);
  ASSERT_EQ(row.size(), 3u);
  EXPECT_EQ(row[0], photo);
  EXPECT_EQ(row[1], Sha1Hex(ReadFileBytes(setup.PhotoPath())));
  auto state = setup.Peer().State();
  ASSERT_EQ(state->GetValue("photos").AsArray().Count(), 1u);
  EXPECT_EQ(state->GetValue("photos[0].Albums").AsArray().Count(), 2u);
  EXPECT_EQ(setup.Peer().Counter("duplicates"), 1);
}

}  // namespace
}  // namespace velmora::test
