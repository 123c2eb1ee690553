// The database layer through the local Firebird server ("localhost:/path").
// The server is started by the CTest fixture; each test makes sure it runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

class ServerDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(test::StartFirebirdServer(error)) << error;
    connect_ = dir_.ConnectString("archivio.fdb");
    test::CreateArchiveDatabase(connect_);
  }

  std::string Read(TIBDatabase& db, const std::string& sql) {
    TIBSQL q;
    q.SetTransaction(NuovaTransazione(db, 0));
    q.ParamCheck = false;
    q.SQL = {sql};
    q.ExecQuery();
    return q.RecordCount() ? q.Fields(0).AsString() : "<no row>";
  }

  test::ServerTempDir dir_;
  std::string connect_;
};

TEST_F(ServerDatabase, AttachCreateReadAndWriteThroughTheServer) {
  TIBDatabase db;
  test::AttachDatabase(db, connect_);
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(db.DBSQLDialect(), 3);
  // The attachment really is a remote one.
  EXPECT_EQ(
      Read(db,
           "SELECT MON$REMOTE_PROTOCOL FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION"),
      "TCPv4");
  EXPECT_EQ(Read(db, "SELECT MON$PAGE_SIZE FROM MON$DATABASE"), "4096");

  TIBTransaction* tr = TransazioneNoWait(db);
  TIBSQL w;
  w.SetTransaction(tr);
  w.ParamCheck = false;
  w.SQL = {"INSERT INTO KELALBUMPRISM (ID, NOMEALBUM, TOKENPRISM) VALUES (7, 'Cresime', 'caff\xC3\xA8')"};
  w.ExecQuery();
  tr->CommitRetaining();

  TIBDatabase other;
  test::AttachDatabase(other, connect_);
  EXPECT_EQ(Read(other, "SELECT NOMEALBUM || '/' || TOKENPRISM FROM KELALBUMPRISM WHERE ID = 7"),
            "Cresime/caff\xC3\xA8");
  EXPECT_TRUE(EsisteTabella(other, "KELITEMPHOTO"));
}

TEST_F(ServerDatabase, WrongPasswordIsTheServersErrorAndTheConnectionStaysUsable) {
  TIBDatabase db;
  db.DatabaseName = connect_;
  db.Params = {"user_name=SYSDBA", "password=sbagliata"};
  try {
    db.Open();
    ADD_FAILURE() << "attached with a wrong password";
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("user name and password are not defined"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(db.Connected());
  db.Params = {"user_name=SYSDBA", "password=quietlamp"};
  db.Open();
  EXPECT_TRUE(db.Connected());
}

TEST_F(ServerDatabase, ServerGoingAwayMidSessionIsAnErrorNotACrash) {
  TIBDatabase db;
  test::AttachDatabase(db, connect_);
  TIBTransaction* tr = NuovaTransazione(db, 0);
  TIBSQL q;
  q.SetTransaction(tr);
  q.ParamCheck = false;
  q.SQL = {"UPDATE KELTRANSFLOG SET IDPRISM = 'x' WHERE ID = 1"};
  q.ExecQuery();

  int pid = test::FirebirdServerPid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  // Wait until the process is gone (its guard then starts a new server).
  test::WaitFor([pid] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(30));

  try {
    q.ExecQuery();
    ADD_FAILURE() << "statement ran without a server";
  } catch (const EIBInterBaseError& e) {
    EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_THROW(tr->CommitRetaining(), EIBInterBaseError);
  // Closing a connection whose server is gone ends it locally, quietly.
  EXPECT_NO_THROW(db.Close());
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(tr->Active());

  // The server comes back for the tests that follow.
  std::string error;
  ASSERT_TRUE(test::StartFirebirdServer(error)) << error;
  test::AttachDatabase(db, connect_);
  EXPECT_EQ(Read(db, "SELECT COUNT(*) FROM KELTRANSFLOG"), "0");
}

}  // namespace
}  // namespace velmora
