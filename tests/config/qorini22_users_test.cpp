// Users and companies of the configuration store, on embedded databases.
#include <gtest/gtest.h>

#include "config/QorIni22.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "tests/config/ConfigTestSupport.h"
#include "tests/support/ExpectRaises.h"

namespace velmora {
namespace {

using test::ConfigFixture;
using test::QueryScalar;
using test::WriteParameterFile;

class UsersTest : public ConfigFixture {
 protected:
  TQorIni22 Store() { return TQorIni22(nullptr, dir_.Path(), "parametriquery.ini"); }
};

TEST_F(UsersTest, InizializzaQueryCreatesTableAndSeedsTheUser) {
  {
    TIBDatabase db;
    test::CreateDatabase(db, ConfigDb());
  }
  WriteParams("7", "altra_ditta");
  const std::string archivio = "D:\\foto\\l'archivio -- ; \"x\" è.fdb";
  TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
  store.InizializzaQuery(archivio);

  // The whole table, with its primary key.
  EXPECT_EQ(
      QueryScalar(ConfigDb(), "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'UTENTI'")
          .text,
      "17");
  EXPECT_EQ(QueryScalar(ConfigDb(),
                        "SELECT RDB$CONSTRAINT_TYPE FROM RDB$RELATION_CONSTRAINTS "
                        "WHERE RDB$CONSTRAINT_NAME = 'UTENTI_CHIAVEPRIMARIA'")
                .text.substr(0, 11),
            "PRIMARY KEY");
  // The seed row: name and company "query_esterno" whatever "Ditta" says,
  // settings text with LF CR and no final line break.
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT NOMEUTENTE || '|' || DITTA FROM UTENTI WHERE CODICE = 7").text,
            "query_esterno|query_esterno");
  EXPECT_EQ(Plenvio(7), "[query_esterno]\n\rArchivio=" + archivio);
  EXPECT_EQ(store.ValoreTolvaUser("7", "query_esterno", "Archivio", ""), archivio);

  // A second call inserts nothing and keeps the first text.
  store.InizializzaQuery("E:\\altro.fdb");
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT COUNT(*) FROM UTENTI").text, "1");
  EXPECT_EQ(Plenvio(7), "[query_esterno]\n\rArchivio=" + archivio);

  // Another user of the same database is seeded next to it.
  WriteParams("8");
  store.InizializzaQuery("F:\\x.fdb");
  EXPECT_EQ(Plenvio(8), "[query_esterno]\n\rArchivio=F:\\x.fdb");

  // A path the database cannot hold is refused, not silently left unseeded.
  WriteParams("9");
  EXPECT_THROW(store.InizializzaQuery("F:\\spunta \u2713.fdb"), EIBClientError);
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT COUNT(*) FROM UTENTI WHERE CODICE = 9").text, "0");
  EXPECT_TRUE(desktop_.messages.empty());
}

TEST_F(UsersTest, InizializzaQueryFailures) {
  // No parameter file: user 0 and no database name; the table check fails.
  TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
  test::ExpectRaises<EIBClientError>([&] { store.InizializzaQuery("x"); },
                                     "Cannot perform operation -- DB is not open");

  // A user code that is not a number is refused before the database is
  // opened: the missing database is not even created.
  for (const char* utente : {"5 OR 1=1", "5; DROP TABLE UTENTI", "", "0x10", "1e3"}) {
    SCOPED_TRACE(utente);
    WriteParams(utente);
    test::ExpectRaises<EConvertError>([&] { store.InizializzaQuery("x"); },
                                      "'" + std::string(utente) + "' is not a valid integer value");
    EXPECT_FALSE(FileExists(ConfigDb()));
  }
  EXPECT_TRUE(desktop_.messages.empty());
}

TEST_F(UsersTest, InizializzaChecksTheNamedFile) {
  TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
  const std::string missing = dir_ / "nessuno.ini";
  store.Inizializza(missing);
  EXPECT_EQ(desktop_.messages, std::vector<std::string>{"File mancante " + missing});
  EXPECT_FALSE(FileExists(ConfigDb()));

  // The connection keys come from the file given, not from the store's own.
  desktop_.messages.clear();
  const std::string other = dir_ / "altro.fdb";
  WriteParams();
  WriteParameterFile(dir_ / "altro.ini", {{"PercorsoDatabase", other}});
  store.Inizializza(dir_ / "altro.ini");
  EXPECT_TRUE(FileExists(other));
  EXPECT_FALSE(FileExists(ConfigDb()));
  EXPECT_EQ(desktop_.messages, std::vector<std::string>{"Effettuata creazione data base"});

  // An existing database is opened and left as it is.
  desktop_.messages.clear();
  store.Inizializza(dir_ / "altro.ini");
  EXPECT_TRUE(desktop_.messages.empty());

  // A database that can be neither opened nor created raises nothing.
  WriteParameterFile(dir_ / "rotto.ini", {{"PercorsoDatabase", dir_ / "manca/x.fdb"}});
  EXPECT_NO_THROW(store.Inizializza(dir_ / "rotto.ini"));
}

TEST_F(UsersTest, LoginTolvaUser) {
  CreateConfig();
  WriteParams();
  InsertUser(1, "", "MARIO", "Segreta", "Alfa");
  InsertUser(2, "", "O'Brien", "it's -- ;", "Beta");
  InsertUser(3, "", "DOPPIO", "x", "Gamma");
  InsertUser(4, "", "DOPPIO", "x", "Delta");
  InsertUser(6, "", "NICCOLò", "pwd", "Zeta");
  InsertUser(9, "", "SOLO", "", "");

  struct Case {
    const char* name;
    std::string nome;
    std::string password;
    bool valido;
    int32_t id;
    std::string nomeTrovato;
    std::string ditta;
  } cases[] = {
      {"exact", "MARIO", "Segreta", true, 1, "MARIO", "Alfa"},
      {"name typed in lower case", "mario", "Segreta", true, 1, "MARIO", "Alfa"},
      {"password differing in case", "MARIO", "segreta", false, 0, "", ""},
      {"unknown name", "LUIGI", "Segreta", false, 0, "", ""},
      {"apostrophes and comment marks", "o'brien", "it's -- ;", true, 2, "O'Brien", "Beta"},
      {"two matching rows: smallest values", "doppio", "x", false, 3, "DOPPIO", "Delta"},
      {"only a-z are upper-cased", "niccolò", "pwd", true, 6, "NICCOLò", "Zeta"},
      {"non-ASCII letters keep their case", "niccolÒ", "pwd", false, 0, "", ""},
      {"empty password matches an empty one", "solo", "", true, 9, "SOLO", ""},
      {"quote injection in the name", "x' OR '1'='1", "x' OR '1'='1", false, 0, "", ""},
      {"quote injection in the password", "MARIO", "' OR PWDUTENTE<>'", false, 0, "", ""},
  };
  TQorIni22 store = Store();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TUserLogin login = store.LoginTolvaUser(c.nome, c.password);
    EXPECT_EQ(login.Valido, c.valido);
    EXPECT_EQ(login.Id, c.id);
    EXPECT_EQ(login.Nome, c.nomeTrovato);
    EXPECT_EQ(login.Ditta, c.ditta);
  }

  // No parameter file: the empty, invalid login without touching a database.
  TQorIni22 none(nullptr, dir_.Path(), "manca.ini");
  TUserLogin login = none.LoginTolvaUser("MARIO", "Segreta");
  EXPECT_FALSE(login.Valido);
  EXPECT_EQ(login.Id, 0);
}

TEST_F(UsersTest, LoginOnADatabaseWithoutTheTableRaises) {
  {
    TIBDatabase db;
    test::CreateDatabase(db, ConfigDb());
  }
  WriteParams();
  EXPECT_THROW(Store().LoginTolvaUser("MARIO", "x"), EIBInterBaseError);
}

TEST_F(UsersTest, ElencoDitteUtente) {
  CreateConfig();
  WriteParams();
  InsertUser(1, "[Alfa]\r\nArchivio=a\r\n[Beta <INATTIVA>]\r\n[Gamma]\r\n[alfa]\r\n[Delta <inattiva>]\r\n");
  InsertUser(2, "");
  InsertUser(3, "testo senza sezioni");
  InsertUser(4, "[<INATTIVA>]\n[Ditta dell'anno]\n");
  struct Case {
    int32_t id;
    std::vector<std::string> ditte;
  } cases[] = {
      {1, {"Alfa", "Gamma", "Delta <inattiva>"}}, {2, {}}, {3, {}}, {4, {"Ditta dell'anno"}}, {99, {}},
  };
  TQorIni22 store = Store();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(store.ElencoDitteUtente(c.id), c.ditte);
  }
  EXPECT_TRUE(TQorIni22(nullptr, dir_.Path(), "manca.ini").ElencoDitteUtente(1).empty());
}

TEST_F(UsersTest, SettaDittaUtente) {
  CreateConfig();
  WriteParams();
  InsertUser(1, "", "A", "", "vecchia");
  TQorIni22 store = Store();
  const std::string values[] = {
      "Nuova", "", "L'Aquila -- ; \"x\" \\ è", "' WHERE 1=1 --", std::string(64, 'x'),
  };
  for (const std::string& ditta : values) {
    SCOPED_TRACE(ditta);
    EXPECT_EQ(store.SettaDittaUtente(1, ditta), 1);
    EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT DITTA FROM UTENTI WHERE CODICE = 1").text, ditta);
  }
  // A code no row has: 1, nothing changes.
  EXPECT_EQ(store.SettaDittaUtente(42, "Altra"), 1);
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT COUNT(*) FROM UTENTI").text, "1");
  // Longer than the column: the database refuses and the error reaches the caller.
  EXPECT_THROW(store.SettaDittaUtente(1, std::string(65, 'y')), EIBInterBaseError);
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT DITTA FROM UTENTI WHERE CODICE = 1").text, std::string(64, 'x'));
  // No parameter file.
  EXPECT_EQ(TQorIni22(nullptr, dir_.Path(), "manca.ini").SettaDittaUtente(1, "Z"), -1);
}

TEST_F(UsersTest, DatabaseTolvaUserHandsOutAnOwnedConnection) {
  CreateConfig();
  EXPECT_EQ(Store().DatabaseTolvaUser(), nullptr);  // no parameter file
  WriteParams();
  TQorIni22 store = Store();
  TIBDatabase* first = store.DatabaseTolvaUser();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->Connected());
  EXPECT_EQ(first->DatabaseName, ConfigDb());
  TIBDatabase* second = store.DatabaseTolvaUser();
  EXPECT_NE(first, second);
  store.RilasciaDatabase(first);  // released early by the caller
  EXPECT_TRUE(second->Connected());
  // A write on the handed-out connection is committed when the store goes.
  {
    TQorIni22 scoped = Store();
    TIBDatabase* db = scoped.DatabaseTolvaUser();
    TIBQuery query;
    query.SetDatabase(db);
    query.SetTransaction(TransazioneReadCommitted(*db));
    query.ParamCheck = false;
    query.SQL = {"INSERT INTO UTENTI (CODICE) VALUES (77)"};
    query.ExecSQL();
  }
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT COUNT(*) FROM UTENTI WHERE CODICE = 77").text, "1");

  // A database that can be neither opened nor created: a closed connection.
  WriteParameterFile(ParamPath(), {{"PercorsoDatabase", dir_ / "manca/x.fdb"}});
  TIBDatabase* closed = store.DatabaseTolvaUser();
  ASSERT_NE(closed, nullptr);
  EXPECT_FALSE(closed->Connected());
}

}  // namespace
}  // namespace velmora
