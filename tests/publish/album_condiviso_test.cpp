// The album row shared by the runs of one album: album creation under the
// row's lock, and writes that wait for another connection's write of the
// row. The other connection stands for another process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "archive/DBUtility.h"
#include "archive/Istruzione.h"
#include "publish/AlbumCondiviso.h"
#include "tests/prism/PrismTestSupport.h"

namespace velmora::test {
namespace {

class AlbumRowTest : public ArchiveFixture {
 protected:
  // A second connection to the archive holding an uncommitted write of album
  // row 7 (its lock) until Commit.
  struct OtherWriter {
    explicit OtherWriter(const std::string& path, const std::string& set) {
      AttachDatabase(db, path);
      transaction = TransazioneRigaAlbum(db);
      sql.SetDatabase(&db);
      sql.SetTransaction(transaction);
      sql.ParamCheck = false;
      sql.SQL = {"UPDATE KELALBUMPRISM SET " + set + " WHERE ID = 7"};
      sql.ExecQuery();
    }
    void Commit() { transaction->CommitRetaining(); }
    TIBDatabase db;
    TIBTransaction* transaction = nullptr;
    TIBSQL sql;
  };

  // Runs `f` on a thread, waits until the server shows its update of album
  // row 7 executing (waiting for the row the other writer holds), checks
  // that `f` has not finished, then lets the other writer commit.
  template <typename F>
  void WhileAnotherWriterHoldsTheRow(OtherWriter& other, F f) {
    const std::string attachment = LeggiRighe(db_, "SELECT CURRENT_CONNECTION FROM RDB$DATABASE")[0][0];
    TIBDatabase watcher;
    AttachDatabase(watcher, dir_ / "archivio.fdb");
    // Each read is a new transaction: a fresh view of the monitoring tables.
    auto updateWaits = [&] {
      return LeggiRighe(watcher, "SELECT 1 FROM MON$STATEMENTS WHERE MON$STATE = 1 AND MON$ATTACHMENT_ID = " +
                                     attachment + " AND MON$SQL_TEXT STARTING WITH 'UPDATE KELALBUMPRISM'")
                 .size() == 1;
    };
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    std::thread worker([&] {
      try {
        f();
      } catch (...) {
        failure = std::current_exception();
      }
      done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done || updateWaits(); })) << "never waited for the row";
    EXPECT_FALSE(done) << "finished although the row was locked";
    other.Commit();
    worker.join();
    if (failure) std::rethrow_exception(failure);
  }
};

TEST_F(AlbumRowTest, AloneTheAlbumIsCreatedWithExactlyTheAlbumAndLinkRequests) {
  PrismPeer peer({});
  LoginPrismCondiviso(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7);
  size_t before = peer.RequestLines().size();
  const AlbumAssicurato esito = AssicuraAlbumPrism(db_, http_, stato_, peer.BaseUrl(), "Matrimonio", 7);
  EXPECT_TRUE(esito.creato);
  EXPECT_TRUE(esito.creazione.riuscito);
  EXPECT_TRUE(esito.creazione.avvisi.empty());
  std::vector<std::string> requests = peer.RequestLines();
  ASSERT_EQ(requests.size(), before + 2);
  EXPECT_EQ(requests[before], "POST /api/v1/albums");
  EXPECT_EQ(requests[before + 1], "POST /api/v1/albums/" + stato_.IdAlbumPrism + "/links");
  auto state = peer.State();
  EXPECT_EQ(stato_.IdAlbumPrism, state->GetValue("albums[0].UID").AsText());
  std::vector<std::string> row = AlbumRow();
  EXPECT_EQ(row[2], stato_.IdAlbumPrism);
  EXPECT_EQ(row[3], "s/" + state->GetValue("links[0].Token").AsText() + "/" + stato_.IdAlbumPrism);
  EXPECT_TRUE(lines_.empty());
  // The lock is released: another connection writes the row at once.
  OtherWriter after(dir_ / "archivio.fdb", "NOMEALBUM = 'dopo'");
  after.Commit();
}

TEST_F(AlbumRowTest, AnAlbumAnotherProcessRecordedMeanwhileIsUsedAndNothingIsSent) {
  PrismPeer peer({});
  TIBDatabase other;
  AttachDatabase(other, dir_ / "archivio.fdb");
  ExecuteSql(other, "UPDATE KELALBUMPRISM SET IDALBUMPRISM = 'aPrima' WHERE ID = 7");
  const AlbumAssicurato esito = AssicuraAlbumPrism(db_, http_, stato_, peer.BaseUrl(), "Matrimonio", 7);
  EXPECT_FALSE(esito.creato);
  EXPECT_TRUE(esito.creazione.riuscito);
  EXPECT_EQ(stato_.IdAlbumPrism, "aPrima");
  EXPECT_TRUE(peer.RequestLines().empty());
  EXPECT_TRUE(lines_.empty());
}

TEST_F(AlbumRowTest, ACallerThatWaitedForTheLockUsesTheAlbumTheHolderCreated) {
  PrismPeer peer({});
  OtherWriter holder(dir_ / "archivio.fdb", "IDALBUMPRISM = 'aAltro', LINK_CONDIVISIONE = 's/t/aAltro'");
  bool created = true;
  WhileAnotherWriterHoldsTheRow(holder, [&] {
    created = AssicuraAlbumPrism(db_, http_, stato_, peer.BaseUrl(), "Matrimonio", 7).creato;
  });
  EXPECT_FALSE(created);
  EXPECT_EQ(stato_.IdAlbumPrism, "aAltro");
  EXPECT_TRUE(peer.RequestLines().empty());
  EXPECT_EQ(AlbumRow()[3], "s/t/aAltro");
}

TEST_F(AlbumRowTest, ALoginWriteWaitsForAnotherWriterOfTheRowInsteadOfFailing) {
  PrismPeer peer({});
  OtherWriter holder(dir_ / "archivio.fdb", "TOKENPRISM = 'altro processo'");
  WhileAnotherWriterHoldsTheRow(
      holder, [&] { LoginPrismCondiviso(db_, http_, stato_, peer.BaseUrl(), "studio", "segreta", 7); });
  EXPECT_TRUE(lines_.empty());
  std::vector<std::string> row = AlbumRow();
  EXPECT_EQ(row[0], stato_.TokenPrism);
  EXPECT_EQ(row[0].size(), 32u);
  EXPECT_EQ(row[1], peer.State()->GetValue("users.studio.UID").AsText());
}

}  // namespace
}  // namespace velmora::test
