// Connection and transaction behaviour against real embedded databases.
#include "archive/IBDatabase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "archive/DBUtility.h"
#include "archive/FbClient.h"
#include "archive/IBSQL.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

using test::TempDir;

// Reads the first column of the first row of `sql` in a fresh transaction.
std::string Scalar(TIBDatabase& db, const std::string& sql) {
  TIBTransaction tr;
  tr.SetDefaultDatabase(&db);
  tr.StartTransaction();
  TIBSQL q;
  q.SetTransaction(&tr);
  q.ParamCheck = false;
  q.SQL = {sql};
  q.ExecQuery();
  std::string value = q.RecordCount() ? q.Fields(0).AsString() : "<no row>";
  q.Close();
  tr.Commit();
  return value;
}

class EmbeddedDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "archivio.fdb";
    test::CreateDatabase(db_, path_);
    test::RunSqlScript(db_, test::ArchiveSchemaPath());
    test::ExecuteSql(db_, "INSERT INTO KELALBUMPRISM (ID, NOMEALBUM) VALUES (1, 'Matrimoni')");
  }

  TempDir dir_;
  std::string path_;
  TIBDatabase db_;
};

TEST_F(EmbeddedDatabase, CreateLeavesTheConnectionAttachedInDialect3WithPageSize4096) {
  EXPECT_TRUE(db_.Connected());
  EXPECT_EQ(db_.DBSQLDialect(), 3);
  EXPECT_EQ(db_.SQLDialect(), 3);
  EXPECT_EQ(Scalar(db_, "SELECT MON$PAGE_SIZE FROM MON$DATABASE"), "4096");
  EXPECT_EQ(Scalar(db_, "SELECT NOMEALBUM FROM KELALBUMPRISM WHERE ID = 1"), "Matrimoni");
}

TEST_F(EmbeddedDatabase, ConnectErrorsLeaveTheConnectionUsable) {
  test::ExpectClientError([&] { db_.Open(); }, 16, "Cannot perform operation -- DB is currently open");
  test::ExpectClientError([&] { db_.CreateDatabase(); }, 16, "Cannot perform operation -- DB is currently open");
  db_.Close();
  EXPECT_FALSE(db_.Connected());

  TIBDatabase other;
  other.Params = {"user_name=SYSDBA", "password=x"};
  test::ExpectClientError([&] { other.SetConnected(true); }, 17, "Database name is missing");
  other.DatabaseName = path_;
  other.Params = {"USER 'SYSDBA'", "PASSWORD 'quietlamp'"};
  test::ExpectClientError([&] { other.Open(); }, 114, "DPB Constant (USER 'SYSDBA') is unknown");
  EXPECT_FALSE(other.Connected());

  // A missing file is the server's error; the same object then creates it.
  other.DatabaseName = dir_ / "nuovo.fdb";
  other.Params = {"user_name=SYSDBA", "password=quietlamp"};
  try {
    other.Open();
    ADD_FAILURE() << "attached a missing file";
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("nuovo.fdb"), std::string::npos) << e.Message();
    EXPECT_EQ(e.IBErrorCode(), 335544344);  // isc_io_error
  }
  EXPECT_FALSE(other.Connected());
  other.Params = {"USER 'SYSDBA'", "PASSWORD 'quietlamp'", "PAGE_SIZE 4096"};
  other.CreateDatabase();
  EXPECT_TRUE(other.Connected());
  other.Close();

  // Creating over an existing file fails and stays unconnected.
  EXPECT_THROW(other.CreateDatabase(), EIBInterBaseError);
  EXPECT_FALSE(other.Connected());
  other.Params = {"user_name=SYSDBA", "password=quietlamp"};
  other.SetConnected(true);
  EXPECT_TRUE(other.Connected());
  other.SetConnected(false);
  EXPECT_FALSE(other.Connected());
}

TEST_F(EmbeddedDatabase, CreateThroughTheParameterBlockWhenParamsNameTheUser) {
  TIBDatabase other;
  other.DatabaseName = dir_ / "blocco.fdb";
  other.Params = {"user_name=SYSDBA", "password=quietlamp"};
  other.CreateDatabase();
  EXPECT_TRUE(other.Connected());
  EXPECT_EQ(Scalar(other, "SELECT CURRENT_USER FROM RDB$DATABASE"), "SYSDBA");
}

TEST_F(EmbeddedDatabase, DialectIsLoweredToTheDatabasesOwn) {
  TIBDatabase old;
  old.DatabaseName = dir_ / "dialetto1.fdb";
  old.Params = {"USER 'SYSDBA'", "PASSWORD 'quietlamp'"};
  old.SetSQLDialect(1);
  old.CreateDatabase();
  EXPECT_EQ(old.DBSQLDialect(), 1);
  old.Close();

  old.Params = {"user_name=SYSDBA", "password=quietlamp"};
  old.SetSQLDialect(3);  // unconnected: any dialect from 1 up
  old.Open();
  EXPECT_EQ(old.DBSQLDialect(), 1);
  EXPECT_EQ(old.SQLDialect(), 1);
  test::ExpectClientError([&] { old.SetSQLDialect(3); }, 87, "SQL Dialect Invalid");
  test::ExpectClientError([&] { old.SetSQLDialect(0); }, 87, "SQL Dialect Invalid");
  old.SetSQLDialect(1);
  EXPECT_EQ(Scalar(old, "SELECT 'x' FROM RDB$DATABASE"), "x");
}

TEST_F(EmbeddedDatabase, TransactionClientErrors) {
  TIBTransaction tr;
  test::ExpectClientError([&] { tr.StartTransaction(); }, 21, "No databases are listed in transaction component");
  test::ExpectClientError([&] { tr.CommitRetaining(); }, 18, "Transaction is not active");
  TIBDatabase closed;
  tr.SetDefaultDatabase(&closed);
  test::ExpectClientError([&] { tr.SetActive(true); }, 15, "Cannot perform operation -- DB is not open");
  tr.SetDefaultDatabase(&db_);
  tr.Params = {"isc_tpb_autocommit"};
  test::ExpectClientError([&] { tr.StartTransaction(); }, 13, "TPB Constant (isc_tpb_autocommit) is unsupported");
  EXPECT_FALSE(tr.Active());
  tr.Params.clear();
  tr.StartTransaction();
  test::ExpectClientError([&] { tr.StartTransaction(); }, 19, "Transaction is active");
  test::ExpectClientError([&] { tr.SetDefaultDatabase(&closed); }, 19, "Transaction is active");
  tr.CommitRetaining();
  EXPECT_TRUE(tr.Active());
  tr.Commit();
  EXPECT_FALSE(tr.Active());
}

TEST_F(EmbeddedDatabase, ClosingAndReleasingCommitOpenWrites) {
  // Close (Connected = false) commits a write still open on the connection.
  TIBTransaction* tr = NuovaTransazione(db_, 0);
  {
    TIBSQL q;
    q.SetDatabase(&db_);
    q.SetTransaction(tr);
    q.ParamCheck = false;
    q.SQL = {"UPDATE KELALBUMPRISM SET TOKENPRISM='chiuso' WHERE ID = 1"};
    q.ExecQuery();
  }
  db_.SetConnected(false);
  EXPECT_FALSE(tr->Active());

  // Releasing the connection commits too, with a statement object still open on it.
  {
    TIBDatabase db;
    test::AttachDatabase(db, path_);
    TIBTransaction* t = TransazioneNoWait(db);
    TIBSQL q;
    q.SetDatabase(&db);
    q.SetTransaction(t);
    q.ParamCheck = false;
    q.SQL = {"UPDATE KELALBUMPRISM SET IDUSERPRISM='rilasciato' WHERE ID = 1"};
    q.ExecQuery();
  }
  TIBDatabase check;
  test::AttachDatabase(check, path_);
  EXPECT_EQ(Scalar(check, "SELECT TOKENPRISM || '/' || IDUSERPRISM FROM KELALBUMPRISM WHERE ID = 1"),
            "chiuso/rilasciato");
}

TEST_F(EmbeddedDatabase, ForcedEndRollsBackWhenTheCommitFailsAndRaisesNothing) {
  // A commit trigger refuses to commit transactions that set a flag.
  test::ExecuteSql(db_, "CREATE EXCEPTION NO_COMMIT 'commit refused'");
  test::ExecuteSql(db_,
                   "CREATE TRIGGER REFUSE_COMMIT ON TRANSACTION COMMIT AS BEGIN "
                   "IF (RDB$GET_CONTEXT('USER_TRANSACTION', 'REFUSE') = '1') THEN EXCEPTION NO_COMMIT; END");
  auto writeAndFlag = [](TIBDatabase& db, TIBTransaction* tr) {
    TIBSQL q;
    q.SetDatabase(&db);
    q.SetTransaction(tr);
    q.ParamCheck = false;
    q.SQL = {"UPDATE KELALBUMPRISM SET TOKENPRISM='perso' WHERE ID = 1"};
    q.ExecQuery();
    q.SQL = {"SELECT RDB$SET_CONTEXT('USER_TRANSACTION', 'REFUSE', '1') FROM RDB$DATABASE"};
    q.ExecQuery();
  };
  TIBTransaction* tr = NuovaTransazione(db_, 0);
  writeAndFlag(db_, tr);
  // An explicit commit reports the refusal and leaves the transaction active.
  try {
    tr->Commit();
    ADD_FAILURE() << "commit succeeded";
  } catch (const EIBInterBaseError& e) {
    EXPECT_NE(e.Message().find("commit refused"), std::string::npos) << e.Message();
  }
  EXPECT_TRUE(tr->Active());
  // Closing ends it by force: rolled back, no error.
  EXPECT_NO_THROW(db_.Close());
  EXPECT_FALSE(tr->Active());
  test::AttachDatabase(db_, path_);
  EXPECT_EQ(Scalar(db_, "SELECT COALESCE(TOKENPRISM, '<null>') FROM KELALBUMPRISM WHERE ID = 1"), "<null>");
}

TEST_F(EmbeddedDatabase, ServerErrorReportJoinsMessageLines) {
  TIBTransaction* tr = NuovaTransazione(db_, 0);
  TIBSQL q;
  q.SetTransaction(tr);
  q.ParamCheck = false;
  q.SQL = {"SELECT * FROM NON_ESISTE"};
  try {
    q.ExecQuery();
    ADD_FAILURE() << "no error";
  } catch (const EIBInterBaseError& e) {
    EXPECT_STREQ(e.ClassName(), "EIBInterBaseError");
    EXPECT_EQ(e.SQLCode(), -204);
    EXPECT_EQ(e.IBErrorCode(), 335544569);  // isc_dsql_error
    EXPECT_EQ(
        e.Message().rfind("Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nNON_ESISTE\r\n", 0),
        0u)
        << e.Message();
    EXPECT_NE(e.Message().back(), '.');
  }
  // The failed statement leaves its transaction usable.
  EXPECT_TRUE(tr->Active());
  q.SQL = {"SELECT NOMEALBUM FROM KELALBUMPRISM"};
  q.ExecQuery();
  EXPECT_EQ(q.FieldByName("NOMEALBUM").AsString(), "Matrimoni");
}

TEST_F(EmbeddedDatabase, PermissionErrorIsTheRoleError) {
  // The embedded engine trusts the user name; VISITATORE has no rights on the tables.
  TIBDatabase guest;
  guest.DatabaseName = path_;
  guest.Params = {"user_name=VISITATORE", "password=x"};
  guest.Open();
  TIBSQL q;
  q.SetTransaction(NuovaTransazione(guest, 0));
  q.ParamCheck = false;
  q.SQL = {"SELECT ID FROM KELTRANSFLOG"};
  try {
    q.ExecQuery();
    ADD_FAILURE() << "no error";
  } catch (const EIBInterBaseRoleError& e) {
    EXPECT_EQ(e.SQLCode(), -551);
    EXPECT_NE(e.Message().find("no permission"), std::string::npos) << e.Message();
  }
}

TEST_F(EmbeddedDatabase, LockConflictUnderNoWaitFailsAtOnce) {
  TIBTransaction* first = NuovaTransazione(db_, 0);
  TIBSQL a;
  a.SetTransaction(first);
  a.ParamCheck = false;
  a.SQL = {"UPDATE KELALBUMPRISM SET TOKENPRISM='primo' WHERE ID = 1"};
  a.ExecQuery();

  TIBDatabase second;
  test::AttachDatabase(second, path_);
  TIBSQL b;
  b.SetTransaction(TransazioneNoWait(second));
  b.ParamCheck = false;
  b.SQL = {"UPDATE KELALBUMPRISM SET TOKENPRISM='secondo' WHERE ID = 1"};
  try {
    b.ExecQuery();
    ADD_FAILURE() << "no conflict";
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.SQLCode(), -913);
    EXPECT_NE(e.Message().find("update conflicts with concurrent update"), std::string::npos) << e.Message();
  }
}

// A connection double: records attach and create attempts without a server.
class RecordingDatabase : public TIBDatabase {
 public:
  std::vector<std::string> attempts;
  bool failAttach = true;
  bool connected = false;
  bool Connected() const noexcept override { return connected; }
  void Open() override {
    attempts.push_back("attach " + DatabaseName + " [" + Joined() + "]");
    if (failAttach) throw EIBInterBaseError("attach refused", -902, 335544344);
    connected = true;
  }
  void CreateDatabase() override {
    attempts.push_back("create " + DatabaseName + " [" + Joined() + "]");
    connected = true;
  }
  void Close() override { connected = false; }

 private:
  std::string Joined() const {
    std::string s;
    for (const std::string& p : Params) s += (s.empty() ? "" : "|") + p;
    return s;
  }
};

TEST(ConnectionDouble, ConnectedGoesThroughTheOverriddenOperations) {
  RecordingDatabase db;
  db.DatabaseName = "srv:/dati/archivio.fdb";
  db.Params = {"user_name=SYSDBA", "password=x"};
  EXPECT_THROW(db.SetConnected(true), EIBInterBaseError);
  db.Params = {"USER 'SYSDBA'", "PASSWORD 'x'", "PAGE_SIZE 4096"};
  db.CreateDatabase();
  EXPECT_TRUE(db.Connected());
  db.SetConnected(true);  // already connected: nothing happens
  db.SetConnected(false);
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.attempts, (std::vector<std::string>{
                             "attach srv:/dati/archivio.fdb [user_name=SYSDBA|password=x]",
                             "create srv:/dati/archivio.fdb [USER 'SYSDBA'|PASSWORD 'x'|PAGE_SIZE 4096]"}));
}

// Durability: a child process writes and ends with _exit, releasing nothing.
// The child is this test binary running the disabled test below.
TEST(DurabilityChild, DISABLED_WriteAndExit) {
  const char* path = std::getenv("VELMORA_DURABILITY_DB");
  const char* mode = std::getenv("VELMORA_DURABILITY_MODE");
  if (!path || !mode) GTEST_SKIP();
  auto* db = new TIBDatabase;  // never released: the process ends without cleanup
  test::AttachDatabase(*db, path);
  TIBTransaction* tr = NuovaTransazione(*db, 0);
  auto* q = new TIBSQL;
  q->SetTransaction(tr);
  q->ParamCheck = false;
  q->SQL = {std::string("UPDATE KELALBUMPRISM SET TOKENPRISM='") + mode + "' WHERE ID = 1"};
  q->ExecQuery();
  if (std::string(mode) == "retaining") tr->CommitRetaining();
  std::fflush(nullptr);
  _exit(0);
}

TEST_F(EmbeddedDatabase, CommitRetainingSurvivesAProcessThatEndsWithoutReleasing) {
  db_.Close();  // the child needs the file for itself
  struct Case {
    const char* mode;
    const char* stored;
  } cases[] = {{"uncommitted", "<null>"}, {"retaining", "retaining"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    test::ProcessResult r = test::RunProcess({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                              "--gtest_filter=DurabilityChild.DISABLED_WriteAndExit"},
                                             "",
                                             {{"VELMORA_DURABILITY_DB", path_},
                                              {"VELMORA_DURABILITY_MODE", c.mode},
                                              {"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    TIBDatabase check;
    test::AttachDatabase(check, path_);
    EXPECT_EQ(Scalar(check, "SELECT COALESCE(TOKENPRISM, '<null>') FROM KELALBUMPRISM WHERE ID = 1"),
              c.stored);
  }
}

// Without the client library: the child runs with the library file hidden.
TEST(ClientLibraryChild, DISABLED_ReportMissingLibrary) {
  TIBDatabase db;
  db.DatabaseName = "/tmp/none.fdb";
  try {
    db.Open();
    std::printf("opened\n");
  } catch (const EIBClientError& e) {
    std::printf("%s %d: %s\n", e.ClassName(), e.SQLCode(), e.Message().c_str());
  }
}

TEST(ClientLibrary, MissingLibraryIsTheClientErrorNamingTheFile) {
  if (::geteuid() != 0 || ::access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "needs root and unshare";
  std::string real = "/usr/lib/x86_64-linux-gnu/libfbclient.so.2";
  // A private mount namespace in which the library file reads as empty.
  test::ProcessResult r =
      test::RunProcess({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                        "mount --bind /dev/null \"$(readlink -f " + real +
                            ")\" && exec \"$0\" --gtest_also_run_disabled_tests "
                            "--gtest_filter=ClientLibraryChild.DISABLED_ReportMissingLibrary",
                        "/proc/" + std::to_string(::getpid()) + "/exe"});
  // Without the rights for a private mount namespace the check cannot run here.
  bool setupFailed =
      r.out.find("EIBClientError") == std::string::npos &&
      (r.err.find("unshare:") != std::string::npos || r.err.find("mount:") != std::string::npos);
  if (setupFailed) GTEST_SKIP() << "no private mount namespace here: " << r.err;
  EXPECT_NE(r.out.find("EIBClientError 1: InterBase library libfbclient.so.2 not found in the path. "
                       "Please install InterBase to use this functionality\n"),
            std::string::npos)
      << r.out << r.err;
}

}  // namespace
}  // namespace velmora
