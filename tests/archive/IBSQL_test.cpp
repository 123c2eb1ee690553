// Statement and query objects against real embedded databases.
#include "archive/IBSQL.h"

#include <gtest/gtest.h>

#include <string>

#include "archive/DBUtility.h"
#include "tests/support/ExpectRaises.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

class Statements : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "archivio.fdb";
    test::CreateDatabase(db_, path_);
    test::RunSqlScript(db_, test::ArchiveSchemaPath());
    test::ExecuteSql(
        db_,
        "CREATE TABLE TIPI (ID INTEGER NOT NULL, C CHAR(5), V VARCHAR(20), S SMALLINT, I INTEGER, "
        "B BIGINT, N NUMERIC(9,2), D DECIMAL(18,4), N6 NUMERIC(18,6), F FLOAT, DP DOUBLE PRECISION, "
        "TS TIMESTAMP, DT DATE, TM TIME, BL BLOB SUB_TYPE TEXT, BO BOOLEAN)");
    test::ExecuteSql(
        db_,
        "INSERT INTO TIPI VALUES (1, 'ab', 'caff\xC3\xA8 \xE2\x82\xAC', -7, 123456, 9007199254740993, "
        "12.50, -0.0001, 1.5, 0.5, 2.25, '2026-03-07 09:05:30', '2026-03-07', '09:05:30', "
        "'testo del blob', TRUE)");
    test::ExecuteSql(db_, "INSERT INTO TIPI (ID, V) VALUES (2, NULL)");
    test::ExecuteSql(db_, "INSERT INTO TIPI (ID, V, BO) VALUES (3, '', FALSE)");
    tr_ = NuovaTransazione(db_, 0);
    q_.SetDatabase(&db_);
    q_.SetTransaction(tr_);
  }

  void Run(const std::string& sql, bool paramCheck = false) {
    q_.SQL = {sql};
    q_.ParamCheck = paramCheck;
    q_.ExecQuery();
  }

  test::TempDir dir_;
  std::string path_;
  TIBDatabase db_;
  TIBTransaction* tr_ = nullptr;
  TIBSQL q_;
};

TEST_F(Statements, AsStringForEveryColumnType) {
  Run("SELECT * FROM TIPI WHERE ID = 1");
  ASSERT_EQ(q_.RecordCount(), 1);
  struct Case {
    const char* column;
    std::string text;
  } cases[] = {
      {"C", "ab   "},  // CHAR keeps its trailing blanks
      {"V", "caff\xC3\xA8 \xE2\x82\xAC"},
      {"S", "-7"},
      {"I", "123456"},
      {"B", "9007199254740993"},
      {"N", "12.5"},
      {"D", "-0.0001"},
      {"N6", "1.5"},
      {"F", "0.5"},
      {"DP", "2.25"},
      {"TS", "2026-03-07 09:05:30"},
      {"DT", "2026-03-07"},
      {"TM", "09:05:30"},
      {"BL", "testo del blob"},
      {"BO", "True"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.column);
    EXPECT_EQ(q_.FieldByName(c.column).AsString(), c.text);
    EXPECT_FALSE(q_.FieldByName(c.column).IsNull());
  }
  EXPECT_EQ(q_.FieldByName("i").AsInteger(), 123456);
  EXPECT_EQ(q_.FieldByName("B").AsInt64(), 9007199254740993);
  EXPECT_EQ(q_.FieldByName("N").AsInteger(), 13);  // 12.50 rounded
  EXPECT_THROW(q_.FieldByName("B").AsInteger(), EConvertError);
  EXPECT_THROW(q_.FieldByName("V").AsInteger(), EConvertError);

  // Windows-1252 on the wire: two stored bytes for the two characters.
  Run("SELECT OCTET_LENGTH(SUBSTRING(V FROM 5 FOR 3)) FROM TIPI WHERE ID = 1");
  EXPECT_EQ(q_.Fields(0).AsString(), "3");
}

TEST_F(Statements, NullValuesAndFalse) {
  Run("SELECT * FROM TIPI WHERE ID = 2");
  ASSERT_EQ(q_.RecordCount(), 1);
  for (const char* column : {"C", "V", "I", "N", "TS", "BL", "BO"}) {
    SCOPED_TRACE(column);
    EXPECT_TRUE(q_.FieldByName(column).IsNull());
    EXPECT_EQ(q_.FieldByName(column).AsString(), "");
    EXPECT_EQ(q_.FieldByName(column).AsInteger(), 0);
  }
  Run("SELECT V, BO FROM TIPI WHERE ID = 3");
  EXPECT_EQ(q_.FieldByName("V").AsString(), "");
  EXPECT_EQ(q_.FieldByName("BO").AsString(), "False");
}

TEST_F(Statements, NoRowReadsTheZeroedBuffers) {
  Run("SELECT V, I, C, N, BL FROM TIPI WHERE ID = -1");
  EXPECT_EQ(q_.RecordCount(), 0);
  EXPECT_TRUE(q_.Eof());
  EXPECT_EQ(q_.FieldByName("V").AsString(), "");
  EXPECT_EQ(q_.FieldByName("I").AsString(), "0");
  EXPECT_EQ(q_.FieldByName("N").AsString(), "0");
  EXPECT_EQ(q_.FieldByName("C").AsString(), std::string(5, '\0'));
  EXPECT_EQ(q_.FieldByName("BL").AsString(), "");
  // A later run of the same statement without rows does not show the earlier row.
  q_.SQL = {"SELECT V, I FROM TIPI WHERE ID = :ID"};
  q_.ParamCheck = true;
  q_.Prepare();
  q_.SetParamString(0, "1");
  q_.ExecQuery();
  EXPECT_EQ(q_.FieldByName("I").AsString(), "123456");
  q_.SetParamString(0, "99");
  q_.ExecQuery();
  EXPECT_EQ(q_.RecordCount(), 0);
  EXPECT_EQ(q_.FieldByName("I").AsString(), "0");
}

TEST_F(Statements, ColumnNamesAndLookup) {
  Run("SELECT ID, ID, V AS \"minuscolo\", 1 + 1 FROM TIPI WHERE ID = 1");
  ASSERT_EQ(q_.FieldCount(), 4u);
  EXPECT_EQ(q_.Fields(0).Name(), "ID");
  EXPECT_EQ(q_.Fields(1).Name(), "ID1");
  EXPECT_EQ(q_.Fields(2).Name(), "minuscolo");
  EXPECT_EQ(q_.FieldByName(" id ").AsString(), "1");
  EXPECT_EQ(q_.FieldByName("Id1").AsString(), "1");
  EXPECT_EQ(q_.FieldByName("\"minuscolo\"").AsString(), q_.Fields(2).AsString());
  test::ExpectClientError([&] { q_.FieldByName("minuscolo"); }, 46, "Field \"minuscolo\" not found");
  test::ExpectClientError([&] { q_.FieldByName("nessuna"); }, 46, "Field \"nessuna\" not found");
  Run("SELECT TITOLO AS TITOLOFOTO FROM KELITEMPHOTO");
  EXPECT_EQ(q_.FieldIndex("titolofoto"), 0);
  EXPECT_EQ(q_.FieldIndex("TITOLO"), -1);
}

TEST_F(Statements, ClientErrorsBeforeTheServer) {
  TIBSQL s;
  s.SQL = {"SELECT 1 FROM RDB$DATABASE"};
  test::ExpectClientError([&] { s.ExecQuery(); }, 24, "Database not assigned");
  TIBDatabase closed;
  s.SetDatabase(&closed);
  test::ExpectClientError([&] { s.ExecQuery(); }, 15, "Cannot perform operation -- DB is not open");
  s.SetDatabase(&db_);
  test::ExpectClientError([&] { s.ExecQuery(); }, 25, "Transaction not assigned");
  TIBTransaction idle;
  idle.SetDefaultDatabase(&db_);
  s.SetTransaction(&idle);
  test::ExpectClientError([&] { s.ExecQuery(); }, 18, "Transaction is not active");
  s.SetTransaction(tr_);
  s.SQL.clear();
  test::ExpectClientError([&] { s.ExecQuery(); }, 42, "Empty query");
  s.SQL = {"  ", ""};
  test::ExpectClientError([&] { s.ExecQuery(); }, 42, "Empty query");
  s.SQL = {"SET TRANSACTION READ ONLY"};
  s.ParamCheck = false;
  test::ExpectClientError([&] { s.ExecQuery(); }, 5, "Not permitted");
  EXPECT_FALSE(s.Prepared());
  s.SQL = {"SELECT 'open FROM RDB$DATABASE"};
  s.ParamCheck = true;
  test::ExpectClientError([&] { s.ExecQuery(); }, 55, "SQL Parse Error:\r\n\r\nEOF in string detected");
  s.SQL = {"SELECT 1 FROM RDB$DATABASE WHERE 1 = ?"};
  test::ExpectClientError([&] { s.ExecQuery(); }, 55, "SQL Parse Error:\r\n\r\nParameter name expected");
}

TEST_F(Statements, ParamCheckOffSendsTheTextAsWritten) {
  // A line comment holding a quote: the scan would see an open string.
  const std::string sql = "-- it's a comment\nSELECT 1 FROM RDB$DATABASE";
  q_.SQL = {sql};
  q_.ParamCheck = true;
  test::ExpectClientError([&] { q_.ExecQuery(); }, 55, "SQL Parse Error:\r\n\r\nEOF in string detected");
  q_.SQL = {"-- it's a comment", "SELECT 'a:b' || '?' FROM RDB$DATABASE"};
  q_.ParamCheck = false;
  q_.ExecQuery();
  EXPECT_EQ(q_.Fields(0).AsString(), "a:b?");
  // With ParamCheck on, quoted texts and comments pass unchanged as well.
  Run("SELECT ':x' || '/*' /* :y ' */ FROM RDB$DATABASE", true);
  EXPECT_EQ(q_.Fields(0).AsString(), ":x/*");
  EXPECT_TRUE(q_.ParamNames().empty());
}

TEST_F(Statements, LongTextsGoWholeAndNulBytesAreRefused) {
  // The client API's 16-bit length: texts of 64 KiB and more travel NUL-terminated.
  for (size_t total : {size_t{65535}, size_t{65536}, size_t{65546}, size_t{300000}}) {
    SCOPED_TRACE(total);
    std::string head = "UPDATE TIPI SET V='lungo " + std::to_string(total) + "' /*";
    std::string tail = "*/ WHERE ID = 3";
    std::string sql = head + std::string(total - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(sql.size(), total);
    Run(sql);
    Run("SELECT V FROM TIPI WHERE ID = 3");
    EXPECT_EQ(q_.Fields(0).AsString(), "lungo " + std::to_string(total));
    Run("SELECT COUNT(*) FROM TIPI WHERE V STARTING WITH 'lungo'");
    EXPECT_EQ(q_.Fields(0).AsString(), "1");
  }
  test::ExpectClientError([&] { Run(std::string("UPDATE TIPI SET V='a\0b' WHERE ID = 1", 37)); }, 120,
                          "Text cannot be sent to the database: statement contains a NUL byte");
  test::ExpectClientError(
      [&] { Run("UPDATE TIPI SET V='\xE6\x97\xA5' WHERE ID = 1"); }, 120,
      "Text cannot be sent to the database: statement has a character outside Windows-1252");
  Run("SELECT V FROM TIPI WHERE ID = 1");
  EXPECT_EQ(q_.Fields(0).AsString(), "caff\xC3\xA8 \xE2\x82\xAC");
}

TEST_F(Statements, CommitRetainingKeepsCursorsAndNothingCommitsByItself) {
  Run("SELECT ID FROM TIPI ORDER BY ID");
  EXPECT_EQ(q_.Fields(0).AsString(), "1");
  tr_->CommitRetaining();
  ASSERT_TRUE(q_.Next());
  EXPECT_EQ(q_.Fields(0).AsString(), "2");
  EXPECT_EQ(q_.RecordCount(), 2);
  ASSERT_TRUE(q_.Next());
  EXPECT_FALSE(q_.Next());
  EXPECT_TRUE(q_.Eof());
  EXPECT_EQ(q_.RecordCount(), 3);

  // Executing does not commit: another connection does not see the write.
  Run("UPDATE TIPI SET V='nuovo' WHERE ID = 2");
  {
    TIBDatabase other;
    test::AttachDatabase(other, path_);
    TIBSQL r;
    r.SetTransaction(TransazioneReadCommitted(other));
    r.SQL = {"SELECT COALESCE(V, '<null>') FROM TIPI WHERE ID = 2"};
    r.ExecQuery();
    EXPECT_EQ(r.Fields(0).AsString(), "<null>");
    tr_->CommitRetaining();
    r.ExecQuery();
    EXPECT_EQ(r.Fields(0).AsString(), "nuovo");
  }
  // Releasing a statement object leaves its transaction alone.
  {
    TIBSQL s;
    s.SetTransaction(tr_);
    s.SQL = {"SELECT 1 FROM RDB$DATABASE"};
    s.ExecQuery();
  }
  EXPECT_TRUE(tr_->Active());
}

TEST_F(Statements, ExecuteBlockReturningOneRow) {
  Run("UPDATE TIPI SET I = I + 1 WHERE ID = 1 RETURNING I");
  EXPECT_EQ(q_.RecordCount(), 1);
  EXPECT_EQ(q_.FieldByName("I").AsString(), "123457");
}

class Queries : public Statements {};

TEST_F(Queries, OpenReadCloseAndRunAgain) {
  TIBQuery q;
  q.SetDatabase(&db_);
  q.SetTransaction(tr_);
  q.SQL = {"SELECT ID, V AS Testo FROM TIPI", "ORDER BY ID"};
  q.Open();
  EXPECT_TRUE(q.Active());
  EXPECT_EQ(q.RecordCount(), 1);
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 1);
  EXPECT_EQ(q.FieldByName("testo").AsString(), "caff\xC3\xA8 \xE2\x82\xAC");
  EXPECT_TRUE(q.Next());
  EXPECT_EQ(q.FieldByName("TESTO").AsString(), "");  // NULL
  EXPECT_EQ(q.RecordCount(), 2);
  // The database layer's own class, not the client library's.
  test::ExpectRaises<EDatabaseError>([&] { q.FieldByName("NOME"); }, "Field 'NOME' not found",
                                     "EDatabaseError");
  q.Close();
  EXPECT_FALSE(q.Active());
  EXPECT_THROW(q.FieldByName("ID"), EDatabaseError);

  q.SQL = {"SELECT V, I FROM TIPI WHERE ID = -1"};
  q.Open();
  EXPECT_EQ(q.RecordCount(), 0);
  EXPECT_EQ(q.FieldByName("V").AsString(), "");
  EXPECT_EQ(q.FieldByName("I").AsInteger(), 0);
  q.Close();

  q.SQL = {"UPDATE TIPI SET V = 'via query' WHERE ID = 3"};
  q.ExecSQL();
  EXPECT_FALSE(q.Active());
  q.SQL = {"SELECT V FROM TIPI WHERE ID = 3"};
  q.Open();
  EXPECT_EQ(q.FieldByName("V").AsString(), "via query");
  q.Close();

  q.SQL.clear();
  test::ExpectClientError([&] { q.ExecSQL(); }, 65, "Empty SQL Statement");
  test::ExpectClientError([&] { q.Open(); }, 65, "Empty SQL Statement");
}

TEST_F(Queries, GeneratorReadWithTheTrailingSemicolon) {
  TIBQuery q;
  q.SetDatabase(&db_);
  q.SetTransaction(TransazioneNoWait(db_));
  q.SQL = {"SELECT GEN_ID(CODICETABXCOUNTER,1) FROM RDB$DATABASE;"};
  q.Open();
  int first = q.Fields(0).AsInteger();
  q.Close();
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), first + 1);
}

}  // namespace
}  // namespace velmora
