// Shared table values and generators of the user's archive, on embedded databases.
#include <gtest/gtest.h>

#include "config/QorIni22.h"
#include "platform/Exceptions.h"
#include "tests/config/ConfigTestSupport.h"

namespace velmora {
namespace {

using test::ConfigFixture;
using test::QueryScalar;
using test::RunSql;
using test::WriteParameterFile;

// The parameter file's user 5 has the archive ArchiveDb(), which holds TABX
// and CODICETABXCOUNTER.
class TabXTest : public ConfigFixture {
 protected:
  void SetUp() override {
    CreateConfig();
    WriteParams();
    InsertUser(5, "[query_esterno]\r\nArchivio=" + ArchiveDb() + "\r\n");
    test::CreateArchiveDatabase(ArchiveDb());
  }
  TQorIni22 Store() { return TQorIni22(nullptr, dir_.Path(), "parametriquery.ini"); }

  // Rows of the tests' own take codes above 100, out of the generator's way.
  void InsertRow(int codice, const std::string& nome, const std::string& testo, const std::string& utente) {
    RunSql(ArchiveDb(), "INSERT INTO TABX (CODICE, NOME, TESTO, UTENTE) VALUES (" +
                            std::to_string(100 + codice) + ", " + test::Literal(nome) + ", " +
                            test::Literal(testo) + ", " + utente + ")");
  }
  std::string Count(const std::string& where) {
    return QueryScalar(ArchiveDb(), "SELECT COUNT(*) FROM TABX WHERE " + where).text;
  }
};

// `text` with every apostrophe replaced by the acute accent, as TABX stores it.
std::string Acute(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\'' ? std::string("\xC2\xB4") : std::string(1, c);
  return out;
}

TEST_F(TabXTest, ValoreTabXReadsTheRowOfTheUserOrTheSharedOne) {
  InsertRow(1, "Colore", "condiviso", "NULL");
  InsertRow(2, "Colore", "del tre", "3");
  InsertRow(3, "Solo5", "del cinque", "5");
  InsertRow(4, "Solo3", "del tre", "3");
  TQorIni22 store = Store();
  struct Case {
    const char* nome;
    int32_t utente;
    const char* expected;
  } cases[] = {
      {"Colore", 0, "condiviso"}, {"Colore", -1, "condiviso"}, {"Colore", 3, "del tre"},
      {"Colore", 5, ""},          {"Solo5", 5, "del cinque"},  {"Solo5", 0, ""},
      {"Solo3", 0, ""},           {"colore", 0, ""},           {"Manca", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.nome) + " " + std::to_string(c.utente));
    EXPECT_EQ(store.ValoreTabX(c.nome, c.utente), c.expected);
  }
}

TEST_F(TabXTest, SettaValoreTabXInsertsThenUpdates) {
  TQorIni22 store = Store();
  RunSql(ArchiveDb(), "SET GENERATOR CODICETABXCOUNTER TO 40");
  EXPECT_TRUE(store.SettaValoreTabX("Tema", "it's", 5));
  EXPECT_EQ(Count("NOME = 'Tema'"), "1");
  EXPECT_EQ(QueryScalar(ArchiveDb(), "SELECT CODICE || '|' || UTENTE FROM TABX WHERE NOME = 'Tema'").text,
            "41|5");
  EXPECT_EQ(store.ValoreTabX("Tema", 5), "it\xC2\xB4s");  // the accent is not turned back

  EXPECT_TRUE(store.SettaValoreTabX("Tema", "scuro", 5));
  EXPECT_EQ(Count("NOME = 'Tema'"), "1");
  EXPECT_EQ(store.ValoreTabX("Tema", 5), "scuro");

  // The shared value is a row of its own.
  EXPECT_TRUE(store.SettaValoreTabX("Tema", "chiaro", 0));
  EXPECT_EQ(Count("NOME = 'Tema'"), "1");  // a shared write updates every row of the name
  EXPECT_EQ(store.ValoreTabX("Tema", 5), "chiaro");
  EXPECT_EQ(store.ValoreTabX("Tema", 0), "");
}

TEST_F(TabXTest, SharedWriteOverwritesPerUserRowsAndCreatesNoSharedRow) {
  InsertRow(1, "Colore", "del tre", "3");
  InsertRow(2, "Colore", "del cinque", "5");
  InsertRow(3, "Altro", "resta", "3");
  TQorIni22 store = Store();
  EXPECT_TRUE(store.SettaValoreTabX("Colore", "blu", 0));
  EXPECT_EQ(Count("NOME = 'Colore' AND TESTO = 'blu'"), "2");
  EXPECT_EQ(Count("UTENTE IS NULL"), "0");
  EXPECT_EQ(store.ValoreTabX("Colore", 0), "");
  EXPECT_EQ(store.ValoreTabX("Altro", 3), "resta");
  // With no row of the name at all, a shared write inserts the shared row.
  EXPECT_TRUE(store.SettaValoreTabX("Nuovo", "x", -2));
  EXPECT_EQ(Count("NOME = 'Nuovo' AND UTENTE IS NULL"), "1");
  EXPECT_EQ(store.ValoreTabX("Nuovo", 0), "x");
}

TEST_F(TabXTest, EmptyValueIsNullOnInsertAndEmptyOnUpdate) {
  TQorIni22 store = Store();
  EXPECT_TRUE(store.SettaValoreTabX("Vuoto", "", 5));
  EXPECT_TRUE(QueryScalar(ArchiveDb(), "SELECT TESTO FROM TABX WHERE NOME = 'Vuoto'").isNull);
  EXPECT_EQ(store.ValoreTabX("Vuoto", 5), "");
  EXPECT_TRUE(store.SettaValoreTabX("Vuoto", "x", 5));
  EXPECT_TRUE(store.SettaValoreTabX("Vuoto", "", 5));
  test::Scalar testo = QueryScalar(ArchiveDb(), "SELECT TESTO FROM TABX WHERE NOME = 'Vuoto'");
  EXPECT_FALSE(testo.isNull);
  EXPECT_EQ(testo.text, "");
  EXPECT_EQ(store.ValoreTabX("Vuoto", 5), "");
}

TEST_F(TabXTest, HostileNamesAndValuesReadBack) {
  const std::string long2047 = test::LongText(2047);
  struct Case {
    std::string nome;
    std::string valore;
  } cases[] = {
      {"it's", "it's"},
      {"'", "''"},
      {"x') OR (1=1", "x'); DELETE FROM TABX; --"},
      {"-- nome", "-- valore"},
      {"a;b", "a;b;c"},
      {"\"citato\"", "\"citato\""},
      {"C:\\Foto\\", "\\\\srv\\dati\\"},
      {":param ?q /* c", ":param ?q /* c"},
      {"Città", "Forlì, perché sì — «ok»"},
      {"Lungo", long2047},
  };
  TQorIni22 store = Store();
  for (int utente : {0, 5}) {  // shared first: a shared write would update user rows
    for (const Case& c : cases) {
      SCOPED_TRACE(c.nome + " / " + std::to_string(utente));
      EXPECT_TRUE(store.SettaValoreTabX(c.nome, c.valore, utente));
      EXPECT_EQ(store.ValoreTabX(c.nome, utente), Acute(c.valore));
      EXPECT_TRUE(store.SettaValoreTabX(c.nome, c.valore + "2", utente));  // now an update
      EXPECT_EQ(store.ValoreTabX(c.nome, utente), Acute(c.valore + "2"));
    }
  }
  EXPECT_EQ(Count("1=1"), std::to_string(2 * std::size(cases)));
}

TEST_F(TabXTest, FailedWriteGivesFalseAndKeepsTheData) {
  TQorIni22 store = Store();
  EXPECT_TRUE(store.SettaValoreTabX("Lungo", "breve", 5));
  // TESTO holds 4000 characters: the update fails, the old text stays.
  EXPECT_FALSE(store.SettaValoreTabX("Lungo", std::string(4001, 'x'), 5));
  EXPECT_EQ(store.ValoreTabX("Lungo", 5), "breve");
  // And an insert that fails adds no row.
  EXPECT_FALSE(store.SettaValoreTabX("Nuovo", std::string(4001, 'x'), 5));
  EXPECT_EQ(Count("NOME = 'Nuovo'"), "0");
}

TEST_F(TabXTest, ValoreGeneratore) {
  RunSql(ArchiveDb(), "CREATE GENERATOR PROVA_GEN");
  TQorIni22 store = Store();
  EXPECT_EQ(store.ValoreGeneratore("PROVA_GEN"), "1");
  EXPECT_EQ(store.ValoreGeneratore("prova_gen"), "2");
  RunSql(ArchiveDb(), "SET GENERATOR PROVA_GEN TO 2147483647");
  EXPECT_EQ(store.ValoreGeneratore("PROVA_GEN"), "2147483648");  // beyond 32 bits, not cut

  EXPECT_THROW(store.ValoreGeneratore("MANCA_GEN"), EIBInterBaseError);
  for (const char* nome : {"PROVA_GEN,1) FROM RDB$DATABASE; --", "", "1GEN", "PROVA GEN", "\"A\"B\""}) {
    SCOPED_TRACE(nome);
    EXPECT_THROW(store.ValoreGeneratore(nome), EDatabaseError);
  }
  EXPECT_EQ(QueryScalar(ArchiveDb(), "SELECT GEN_ID(PROVA_GEN, 0) FROM RDB$DATABASE").text, "2147483648");
  RunSql(ArchiveDb(), "CREATE GENERATOR \"gen quotato\"");
  EXPECT_EQ(store.ValoreGeneratore("\"gen quotato\""), "1");
}

TEST_F(TabXTest, WithoutAnArchiveSettingNothingHappens) {
  RunSql(ConfigDb(), "UPDATE UTENTI SET PLENVIO = '[query_esterno]' WHERE CODICE = 5");
  TQorIni22 store = Store();
  EXPECT_EQ(store.ValoreTabX("Tema", 0), "");
  EXPECT_TRUE(store.SettaValoreTabX("Tema", "x", 0));
  EXPECT_EQ(store.ValoreGeneratore("CODICETABXCOUNTER"), "");
  EXPECT_EQ(Count("1=1"), "0");
  EXPECT_EQ(QueryScalar(ArchiveDb(), "SELECT GEN_ID(CODICETABXCOUNTER, 0) FROM RDB$DATABASE").text, "0");
  EXPECT_TRUE(desktop_.messages.empty());
}

TEST_F(TabXTest, ArchiveThatDoesNotOpen) {
  RunSql(ConfigDb(), "UPDATE UTENTI SET PLENVIO = " +
                         test::Literal("[query_esterno]\r\nArchivio=" + (dir_ / "manca/archivio.fdb")) +
                         " WHERE CODICE = 5");
  TQorIni22 store = Store();
  EXPECT_EQ(store.ValoreTabX("Tema", 0), "");
  EXPECT_TRUE(store.SettaValoreTabX("Tema", "x", 0));
  EXPECT_EQ(store.ValoreGeneratore("CODICETABXCOUNTER"), "");
  EXPECT_FALSE(desktop_.messages.empty());  // the archive opener told the user
}

TEST_F(TabXTest, ErrorsReachTheCaller) {
  // The settings lookup fails: no parameter file means user 0 and no database.
  {
    TQorIni22 none(nullptr, dir_.Path(), "manca.ini");
    EXPECT_THROW(none.ValoreTabX("Tema", 0), EIBClientError);
    EXPECT_THROW(none.SettaValoreTabX("Tema", "x", 0), EIBClientError);
    EXPECT_THROW(none.ValoreGeneratore("CODICETABXCOUNTER"), EIBClientError);
  }
  // An archive without TABX.
  RunSql(ArchiveDb(), "DROP TABLE TABX");
  TQorIni22 store = Store();
  EXPECT_THROW(store.ValoreTabX("Tema", 0), EIBInterBaseError);
  EXPECT_THROW(store.SettaValoreTabX("Tema", "x", 0), EIBInterBaseError);
}

}  // namespace
}  // namespace velmora
