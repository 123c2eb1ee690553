// Several runs of the real program started at the same moment on one album
// row: the photo rows, transfer rows and distinct media files they publish,
// and the checks of what the server and the archive hold afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Paths.h"
#include "tests/app/AppTestSupport.h"
#include "transport/Sha1.h"

namespace velmora::test {

// One transfer row to publish and the file behind it.
struct TransferToPublish {
  int id = 0;
  std::string title;
  std::string sha1;  // of the file's bytes
};

// Adds `count` photo rows (ids 100...) with their own files and titles, and
// one transfer row for each (ids 200...), all on album row 3.
inline std::vector<TransferToPublish> AddTransfers(PublicationSetup& setup, int count) {
  std::vector<TransferToPublish> transfers;
  TIBDatabase db;
  AttachDatabase(db, setup.ArchivePath());
  RunProcess({"/bin/mkdir", "-p", setup.Dir() / "foto/2024/"});
  for (int i = 0; i < count; ++i) {
    TransferToPublish t;
    t.id = 200 + i;
    t.title = "Scatto " + std::to_string(i);
    std::string name = "scatto" + std::to_string(i);
    // Same size and extension for all: only the bytes tell them apart.
    std::string bytes =
        std::string("\xFF\xD8\xFF\xE0", 4) + "JFIF " + std::string(2000, static_cast<char>('a' + i));
    WriteFileBytes(setup.Dir() / ("foto/2024/" + name + ".jpg"), bytes);
    t.sha1 = Sha1Hex(bytes);
    ExecuteSql(db, "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES (" +
                       std::to_string(100 + i) + ", '" + kStoredFolder + "', '" + name + "', 'jpg', '" +
                       t.title + "')");
    ExecuteSql(db, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (" + std::to_string(t.id) +
                       ", 3, " + std::to_string(100 + i) + ")");
    transfers.push_back(t);
  }
  return transfers;
}

// The program copied into the set-up's directory, next to its parameter file.
inline std::string ProgramIn(PublicationSetup& setup) {
  const std::string program = setup.Dir() / "velmora";
  if (!FileExists(program)) CopyFile(BinaryPath("app/velmora"), program);
  return program;
}

inline std::map<std::string, std::string> RunEnvironment() {
  return {{"DISPLAY", ""},
          {"LSAN_OPTIONS", "use_tls=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp")}};
}

// Starts one run per transfer at once and waits for all of them.
inline std::vector<ProcessResult> RunAllAtOnce(PublicationSetup& setup,
                                               const std::vector<TransferToPublish>& transfers) {
  const std::string program = ProgramIn(setup);
  std::vector<ProcessResult> results(transfers.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < transfers.size(); ++i) {
    threads.emplace_back([&, i] {
      results[i] = RunProcess({program, "1", "query_esterno", "qualsiasi", std::to_string(transfers[i].id)},
                              setup.Dir().Path(), RunEnvironment(), 300);
    });
  }
  for (std::thread& t : threads) t.join();
  return results;
}

// Each transfer row names the server photo made of its own file, in album
// `albumUid`, titled with its own title.
inline void ExpectRowsNameTheirOwnPhotos(PublicationSetup& setup, const std::vector<TransferToPublish>& transfers,
                                         const std::string& albumUid) {
  auto state = setup.Peer().State();
  const TJSONArray& photos = state->GetValue("photos").AsArray();
  for (const TransferToPublish& t : transfers) {
    SCOPED_TRACE("transfer " + std::to_string(t.id));
    std::vector<std::string> row = setup.TransferRow(t.id);
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(row[1], t.sha1);
    EXPECT_FALSE(row[2].empty());
    const TJSONValue* photo = nullptr;
    for (size_t p = 0; p < photos.Count(); ++p) {
      if (photos.Items(p).GetValue("UID").AsText() == row[0]) photo = &photos.Items(p);
    }
    ASSERT_NE(photo, nullptr) << "IDPRISM " << row[0] << " names no photo";
    EXPECT_EQ(photo->GetValue("Hash").AsText(), t.sha1);
    EXPECT_EQ(photo->GetValue("Title").AsText(), t.title);
    bool inAlbum = false;
    const TJSONArray& albums = photo->GetValue("Albums").AsArray();
    for (size_t a = 0; a < albums.Count(); ++a) inAlbum |= albums.Items(a).AsText() == albumUid;
    EXPECT_TRUE(inAlbum);
  }
}

// What must hold after every transfer was published at once: each run
// succeeded, one server album (and one link) for the album row, and each
// transfer row names the photo made of its own file, titled with its own
// title.
inline void ExpectEachRunPublishedItsOwnPhoto(PublicationSetup& setup,
                                              const std::vector<TransferToPublish>& transfers,
                                              const std::vector<ProcessResult>& results) {
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE("transfer " + std::to_string(transfers[i].id));
    EXPECT_EQ(results[i].exitCode, 0) << results[i].err;
    EXPECT_EQ(ConsoleLines(results[i].out),
              setup.PublishedLines());
  }
  auto state = setup.Peer().State();
  ASSERT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
  EXPECT_EQ(state->GetValue("links").AsArray().Count(), 1u);
  const std::string albumUid = state->GetValue("albums[0].UID").AsText();
  EXPECT_EQ(setup.AlbumRow()[2], albumUid);
  const TJSONArray& photos = state->GetValue("photos").AsArray();
  ASSERT_EQ(photos.Count(), transfers.size());
  ExpectRowsNameTheirOwnPhotos(setup, transfers, albumUid);
}

}  // namespace velmora::test
