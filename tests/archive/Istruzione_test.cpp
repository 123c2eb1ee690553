// The statement helper and the transaction scope on real embedded
// databases: what a statement reads, how a scope ends its transaction, that a
// rollback which fails (the connection was cut by the server) never hides
// the error that ended the work, and that a stop signal ends the pauses of
// the conflict retry.
#include "archive/Istruzione.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "platform/Exceptions.h"
#include "platform/Signals.h"
#include "tests/support/ExpectRaises.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

class IstruzioneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::CreateDatabase(db_, Path());
    test::RunSqlScript(db_, test::ArchiveSchemaPath());
    test::ExecuteSql(db_, "INSERT INTO KELALBUMPRISM (ID, NOMEALBUM) VALUES (1, 'Uno')");
    test::ExecuteSql(db_, "INSERT INTO KELALBUMPRISM (ID, NOMEALBUM) VALUES (2, 'Due')");
  }
  std::string Path() const { return dir_ / "archivio.fdb"; }
  std::string NomeAlbum(int id) {
    TIBDatabase other;
    test::AttachDatabase(other, Path());
    auto righe = LeggiRighe(other, "SELECT NOMEALBUM FROM KELALBUMPRISM WHERE ID = " + std::to_string(id));
    return righe.empty() ? "(none)" : righe[0][0];
  }
  // Ends the connection `victim` from another attachment, as an
  // administrator does: every later call on it fails.
  void CutConnection(TIBDatabase& victim) {
    const std::string id = LeggiRighe(victim, "SELECT CURRENT_CONNECTION FROM RDB$DATABASE")[0][0];
    TIBDatabase admin;
    test::AttachDatabase(admin, Path());
    test::ExecuteSql(admin, "DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + id);
  }

  test::TempDir dir_;
  TIBDatabase db_;
};

TEST_F(IstruzioneTest, TextGoesUnscannedAndRowsReadAsText) {
  // A colon and a question mark outside quotes would be parameters when scanned.
  Istruzione sql(NuovaTransazione(db_, 0),
                 {"SELECT ID, NOMEALBUM, 'a:b?' AS T FROM KELALBUMPRISM", "ORDER BY ID"});
  sql.Esegui();
  EXPECT_EQ(sql.Testo("nomealbum"), "Uno");
  EXPECT_EQ(sql.Testo("T"), "a:b?");
  EXPECT_EQ(sql->SQL.size(), 2u);
  EXPECT_EQ(sql.Righe(10),
            (std::vector<std::vector<std::string>>{{"1", "Uno", "a:b?"}, {"2", "Due", "a:b?"}}));
  EXPECT_TRUE(sql.Eof());
  test::ExpectClientError([&] { sql.Testo("NESSUNA"); }, 46, "Field \"NESSUNA\" not found");

  EXPECT_EQ(LeggiRighe(db_, "SELECT ID FROM KELALBUMPRISM ORDER BY ID", 1),
            (std::vector<std::vector<std::string>>{{"1"}}));
  EXPECT_TRUE(LeggiRighe(db_, "SELECT ID FROM KELALBUMPRISM WHERE ID = 9").empty());
  // LeggiRighe ends its own transaction: only the one above stays open.
  EXPECT_EQ(db_.ActiveTransactionCount(), 1);
  EXPECT_THROW(LeggiRighe(db_, "SELECT NESSUNA FROM KELALBUMPRISM"), EIBInterBaseError);
  EXPECT_EQ(db_.ActiveTransactionCount(), 1);
}

TEST_F(IstruzioneTest, ScopeCommitsOnConfermaAndRollsBackOtherwise) {
  struct Case {
    const char* name;
    bool conferma;
    bool raise;
    std::string after;
  } cases[] = {
      {.name = "confirmed", .conferma = true, .raise = false, .after = "scritto"},
      {.name = "left without confirming", .conferma = false, .raise = false, .after = "Uno"},
      {.name = "left by an exception", .conferma = true, .raise = true, .after = "Uno"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ExecuteSql(db_, "UPDATE KELALBUMPRISM SET NOMEALBUM = 'Uno' WHERE ID = 1");
    TIBTransaction* t = NuovaTransazione(db_, 0);
    try {
      AmbitoTransazione scope(t);
      Istruzione(t, {"UPDATE KELALBUMPRISM SET NOMEALBUM = 'scritto' WHERE ID = 1"}).Esegui();
      if (c.raise) throw EConvertError("dopo la scrittura");
      if (c.conferma) scope.Conferma();
    } catch (const EConvertError&) {
    }
    EXPECT_FALSE(t->Active());
    EXPECT_EQ(NomeAlbum(1), c.after);
  }
  // Handed over, the transaction stays open with its write.
  TIBTransaction* t = NuovaTransazione(db_, 0);
  {
    AmbitoTransazione scope(t);
    Istruzione(t, {"UPDATE KELALBUMPRISM SET NOMEALBUM = 'tenuto' WHERE ID = 2"}).Esegui();
    scope.ConfermaMantenendo();
    EXPECT_EQ(scope.Consegna(), t);
  }
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(NomeAlbum(2), "tenuto");
}

TEST_F(IstruzioneTest, AFailingRollbackKeepsTheErrorThatEndedTheWork) {
  TIBTransaction* t = NuovaTransazione(db_, 0);
  Istruzione(t, {"UPDATE KELALBUMPRISM SET NOMEALBUM = 'perso' WHERE ID = 1"}).Esegui();
  CutConnection(db_);
  // The work ends with an error of its own; the scope's rollback then meets
  // the cut connection.
  test::ExpectRaises<EConvertError>(
      [&] {
        AmbitoTransazione scope(t);
        throw EConvertError("'x' is not a valid integer value");
      },
      "'x' is not a valid integer value");
  // The same for an error of the database layer raised inside the scope.
  std::string message;
  try {
    AmbitoTransazione scope(t);
    Istruzione(t, {"SELECT 1 FROM RDB$DATABASE"}).Esegui();
  } catch (const EIBInterBaseError& e) {
    message = e.Message();
  }
  EXPECT_NE(message.find("connection shutdown"), std::string::npos) << message;
  // The rollback the scopes tried really fails on this connection.
  ASSERT_TRUE(t->Active());
  EXPECT_THROW(t->Rollback(), EIBInterBaseError);
  // A commit that fails is the error the caller sees, not the rollback after it.
  test::ExpectRaisesAnd<EIBInterBaseError>([&] { AmbitoTransazione(t).Conferma(); }, message, nullptr,
                                           [](const EIBInterBaseError&) {});
  EXPECT_EQ(NomeAlbum(1), "Uno");
}

// The body of the child process of the test below: holds a real update
// conflict (its snapshot cannot see the row another transaction committed),
// says "in attesa" and runs the conflict retry until it ends.
TEST(ConflictWaitChild, DISABLED_RetriesUntilStopped) {
  const char* path = std::getenv("VELMORA_CONFLICT_DB");
  if (path == nullptr) GTEST_SKIP() << "run by ConflictRetry.AStopSignalEndsTheWait";
  InstallStopSignals();
  TIBDatabase db;
  test::AttachDatabase(db, path);
  TIBTransaction* snapshot = NuovaTransazione(db, OpzioneTransazione(2) | OpzioneTransazione(6));
  Istruzione(snapshot, {"SELECT ID FROM KELALBUMPRISM"}).Esegui();
  TIBTransaction* other = NuovaTransazione(db, 0);
  Istruzione(other, {"UPDATE KELALBUMPRISM SET NOMEALBUM = 'altro' WHERE ID = 1"}).Esegui();
  other->Commit();
  Istruzione sql(snapshot, {"UPDATE KELALBUMPRISM SET NOMEALBUM = 'mio' WHERE ID = 1"});
  std::cout << "in attesa" << std::endl;
  try {
    sql.EseguiRipetendoConflitti();
    std::cout << "eseguita" << std::endl;
  } catch (const EStopRequested&) {
    std::cout << "fermata" << std::endl;
  } catch (const EIBError& e) {
    std::cout << "conflitto " << e.IBErrorCode() << std::endl;
  }
}

TEST(ConflictRetry, AStopSignalEndsTheWait) {
  test::TempDir dir;
  const std::string path = dir / "archivio.fdb";
  test::CreateArchiveDatabase(path);
  {
    TIBDatabase db;
    test::AttachDatabase(db, path);
    test::ExecuteSql(db, "INSERT INTO KELALBUMPRISM (ID, NOMEALBUM) VALUES (1, 'Uno')");
  }
  test::BackgroundProcess child({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                 "--gtest_filter=ConflictWaitChild.DISABLED_RetriesUntilStopped"},
                                {{"VELMORA_CONFLICT_DB", path}});
  std::string line;
  while ((line = child.ReadLine(60)) != "in attesa") {
  }
  child.Signal(SIGTERM);
  const auto signalled = std::chrono::steady_clock::now();
  // Without the signal the retry would go on for its hundred tries and end
  // with the conflict.
  while ((line = child.ReadLine(60)).rfind("fermata", 0) != 0 && line.rfind("conflitto", 0) != 0 &&
         line != "eseguita") {
  }
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
  EXPECT_EQ(line, "fermata");
  EXPECT_LT(ms.count(), 1000);
  const int status = child.Wait(std::chrono::seconds(60));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace velmora
