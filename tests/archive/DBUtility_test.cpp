// Transaction presets and the table check.
#include "archive/DBUtility.h"

#include <gtest/gtest.h>

#include "archive/IBSQL.h"
#include "tests/support/ExpectRaises.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

TEST(OpzioniTransazioneTest, OneLinePerOptionInAscendingOrder) {
  struct Case {
    const char* name;
    TOpzioniTransazione set;
    std::vector<std::string> lines;
  } cases[] = {
      {"empty", 0, {}},
      {"no wait", 132, {"isc_tpb_concurrency", "isc_tpb_nowait"}},
      {"read committed", 163840, {"isc_tpb_read_committed", "isc_tpb_rec_version"}},
      {"bits outside 1..20",
       OpzioneTransazione(0) | OpzioneTransazione(21) | OpzioneTransazione(22) | OpzioneTransazione(23) |
           OpzioneTransazione(31),
       {}},
      {"table reservation", OpzioneTransazione(10), {"isc_tpb_lock_read"}},
      {"order follows numbers",
       OpzioneTransazione(9) | OpzioneTransazione(1) | OpzioneTransazione(20),
       {"isc_tpb_consistency", "isc_tpb_write", "isc_tpb_no_auto_undo"}},
  };
  EXPECT_EQ(kOpzioniNoWait, 132u);
  EXPECT_EQ(kOpzioniReadCommitted, 163840u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIBTransaction t;
    t.Params = {"kept"};
    OpzioniTransazione(t, c.set);
    std::vector<std::string> expected{"kept"};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(t.Params, expected);
  }
  TIBTransaction all;
  OpzioniTransazione(all, 0xFFFFFFFFu);
  ASSERT_EQ(all.Params.size(), 20u);
  EXPECT_EQ(all.Params.front(), "isc_tpb_consistency");
  EXPECT_EQ(all.Params.back(), "isc_tpb_no_auto_undo");
}

class Presets : public ::testing::Test {
 protected:
  void SetUp() override {
    test::CreateDatabase(db_, dir_ / "archivio.fdb");
    test::RunSqlScript(db_, test::ArchiveSchemaPath());
  }

  // The isolation mode and lock time-out the server reports for `tr`.
  std::string Mode(TIBTransaction* tr) {
    TIBSQL q;
    q.SetTransaction(tr);
    q.SQL = {"SELECT MON$ISOLATION_MODE, MON$LOCK_TIMEOUT FROM MON$TRANSACTIONS",
             "WHERE MON$TRANSACTION_ID = CURRENT_TRANSACTION"};
    q.ExecQuery();
    return q.Fields(0).AsString() + "/" + q.Fields(1).AsString();
  }

  test::TempDir dir_;
  TIBDatabase db_;
};

TEST_F(Presets, ServerSeesTheOptionsOfEachPreset) {
  // Isolation: 1 concurrency, 2 read committed with record versions; time-out -1 waits, 0 does not.
  EXPECT_EQ(Mode(NuovaTransazione(db_, 0)), "1/-1");
  EXPECT_EQ(Mode(NuovaTransazione(db_, OpzioneTransazione(23))), "1/-1");
  EXPECT_EQ(Mode(TransazioneNoWait(db_)), "1/0");
  EXPECT_EQ(Mode(TransazioneReadCommitted(db_)), "2/-1");
  EXPECT_EQ(db_.ActiveTransactionCount(), 4);
  for (TIBTransaction* t : db_.Transactions()) EXPECT_EQ(t->DefaultDatabase(), &db_);
}

TEST_F(Presets, FailuresLeaveAnInactiveTransactionOnTheConnection) {
  test::ExpectRaises<EIBClientError>([&] { NuovaTransazione(db_, OpzioneTransazione(16)); },
                                     "TPB Constant (isc_tpb_autocommit) is unsupported");
  ASSERT_EQ(db_.Transactions().size(), 1u);
  EXPECT_FALSE(db_.Transactions()[0]->Active());

  // A reservation of a table with an empty name is sent, and refused by the server.
  EXPECT_THROW(NuovaTransazione(db_, OpzioneTransazione(10)), EIBInterBaseError);

  TIBDatabase closed;
  test::ExpectClientError([&] { TransazioneNoWait(closed); }, 15,
                          "Cannot perform operation -- DB is not open");
  EXPECT_THROW(EsisteTabella(closed, "UTENTI"), EIBClientError);
}

TEST_F(Presets, EsisteTabellaReadsTheCatalogue) {
  EXPECT_TRUE(EsisteTabella(db_, "KELTRANSFLOG"));
  EXPECT_TRUE(EsisteTabella(db_, "TABX"));
  EXPECT_FALSE(EsisteTabella(db_, "UTENTI"));
  EXPECT_FALSE(EsisteTabella(db_, "keltransflog"));  // the stored form is upper case
  EXPECT_FALSE(EsisteTabella(db_, "X' OR '1'='1"));  // a quote cannot change the statement
  // Each call leaves one more active read-committed transaction; closing commits them.
  EXPECT_EQ(db_.ActiveTransactionCount(), 5);
  EXPECT_NO_THROW(db_.Close());
  EXPECT_EQ(db_.ActiveTransactionCount(), 0);
}

}  // namespace
}  // namespace velmora
