// Per-user settings of the configuration store, on embedded databases.
#include <gtest/gtest.h>

#include <functional>

#include "config/QorIni22.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "tests/config/ConfigTestSupport.h"
#include "tests/support/ExpectRaises.h"

namespace velmora {
namespace {

using test::ConfigFixture;
using test::QueryScalar;
using test::RunSql;
using test::WriteParameterFile;

const std::string kSeed = "[query_esterno]\n\rArchivio=D:\\foto\\archivio.fdb";

class SettingsTest : public ConfigFixture {
 protected:
  void SetUp() override {
    CreateConfig();
    WriteParams();
  }
  TQorIni22 Store() { return TQorIni22(nullptr, dir_.Path(), "parametriquery.ini"); }
};

// Values that must be stored and read back unchanged.
std::vector<std::string> HostileValues() {
  std::string longItalian;
  while (longItalian.size() < 2047 * 2) longItalian += "àèéìòù";  // 2047 characters of two bytes
  longItalian.resize(2047 * 2);
  return {
      "it's",
      "'",
      "''",
      "x'); DELETE FROM UTENTI; --",
      "-- commento",
      "a;b;c",
      "\"citato\"",
      "C:\\Foto\\Archivio\\",
      "\\\\srv\\dati\\",
      "Città di Forlì, perché sì — «ok»",
      "[query_esterno]",
      "=uguale=",
      test::LongText(2047),
      longItalian,
  };
}

TEST_F(SettingsTest, ValoreTolvaUserFamily) {
  InsertUser(5, kSeed + "\r\nTema=scuro\r\n[Altra]\r\nArchivio=E:\\altra.fdb\r\n");
  InsertUser(6, "[Sesta]\r\nArchivio=F:\\sei.fdb\r\n");
  TQorIni22 store = Store();
  const std::string f = ConfigDb();
  WriteParameterFile(dir_ / "sesto.ini", {{"Utente", "6"}, {"Ditta", "Sesta"}, {"PercorsoDatabase", f}});

  struct Case {
    const char* name;
    std::string value;
    std::string expected;
  } cases[] = {
      {"1 argument: parameter file's user and company", store.ValoreTolvaUser("Archivio"),
       "D:\\foto\\archivio.fdb"},
      {"2 arguments", store.ValoreTolvaUser("tema", ""), "scuro"},
      {"2 arguments, absent key gives the default", store.ValoreTolvaUser("Manca", "dflt"), "dflt"},
      {"3 arguments: another INI file", store.ValoreTolvaUser(dir_ / "sesto.ini", "Archivio", ""),
       "F:\\sei.fdb"},
      {"4 arguments: user and company given", store.ValoreTolvaUser("5", "ALTRA", "archivio", ""),
       "E:\\altra.fdb"},
      {"4 arguments: user without a row", store.ValoreTolvaUser("42", "Altra", "Archivio", ""), ""},
      {"4 arguments: missing section", store.ValoreTolvaUser("5", "Nessuna", "Archivio", ""), ""},
      {"full overload", store.ValoreTolvaUser(f, "", "", "", "6", "sesta", "ARCHIVIO", ""), "F:\\sei.fdb"},
      {"full overload, absent key", store.ValoreTolvaUser(f, "", "", "", "6", "Sesta", "Tema", "chiaro"),
       "chiaro"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value, c.expected);
  }
}

TEST_F(SettingsTest, MissingParameterFile) {
  InsertUser(0, "[query_esterno]\r\nArchivio=X\r\n", "", "", "", "info");
  TQorIni22 store(nullptr, dir_.Path(), "manca.ini");
  EXPECT_EQ(store.ValoreTolvaUser("Archivio"), "");
  EXPECT_EQ(store.ValoreTolvaUser("Archivio", "dflt"), "");
  EXPECT_EQ(store.ValoreTolvaUser("0", "query_esterno", "Archivio", "dflt"), "");
  EXPECT_EQ(store.ValoreTolvaUserInt("Numero", 7), 7);
  EXPECT_EQ(store.ValoreTolvaUserInfo2("0", ""), "");
  EXPECT_EQ(store.PlenvioTolvaUser(0), "");
  store.SettaValoreTolvaUser("Archivio", "Y");
  EXPECT_EQ(Plenvio(0), "[query_esterno]\r\nArchivio=X\r\n");
  // The 3-argument form has no existence test: a missing INI file means no
  // database, and the failing statement reaches the caller.
  EXPECT_THROW(store.ValoreTolvaUser(dir_ / "manca.ini", "Archivio", ""), EIBClientError);
}

TEST_F(SettingsTest, DatabaseFailuresReachTheCaller) {
  // A database that can be neither opened nor created.
  WriteParameterFile(ParamPath(), {{"Utente", "5"}, {"PercorsoDatabase", dir_ / "manca/x.fdb"}});
  test::ExpectRaises<EIBClientError>([&] { Store().ValoreTolvaUser("Archivio"); },
                                     "Cannot perform operation -- DB is not open");
  // A database that did not exist is created empty, and has no UTENTI.
  const std::string nuovo = dir_ / "nuovo.fdb";
  WriteParameterFile(ParamPath(), {{"Utente", "5"}, {"PercorsoDatabase", nuovo}});
  EXPECT_THROW(Store().ValoreTolvaUser("Archivio"), EIBInterBaseError);
  EXPECT_TRUE(FileExists(nuovo));
  EXPECT_EQ(desktop_.messages, std::vector<std::string>{"Effettuata creazione data base"});
}

void ExpectRefusedCode(const std::string& codice, const std::function<void()>& call) {
  test::ExpectRaises<EConvertError>([&] { call(); }, "'" + codice + "' is not a valid integer value");
}

TEST_F(SettingsTest, UserCodesOtherThanIntegersAreRefusedBeforeConnecting) {
  InsertUser(5, kSeed);
  // A database name that would be created if it were opened.
  const std::string nuovo = dir_ / "nuovo.fdb";
  TQorIni22 store = Store();
  // User codes given as arguments.
  for (const char* codice : {"5 OR 1=1", "5; --", "", " 5", "5 ", "abc", "0x5", "1e3", "99999999999", "-"}) {
    SCOPED_TRACE(codice);
    ExpectRefusedCode(
        codice, [&] { store.ValoreTolvaUser(nuovo, "", "", "", codice, "query_esterno", "Archivio", ""); });
    ExpectRefusedCode(codice, [&] { store.ValoreTolvaUserInfo2(nuovo, "", "", "", codice, ""); });
    ExpectRefusedCode(codice, [&] { store.ValoreTolvaUser(codice, "query_esterno", "Archivio", ""); });
    ExpectRefusedCode(codice, [&] { store.ValoreTolvaUserInfo2(codice, ""); });
  }
  // User codes from the parameter file (its values are read trimmed).
  for (const char* codice : {"5 OR 1=1", "5; --", "", "abc", "0x5", "99999999999"}) {
    SCOPED_TRACE(codice);
    WriteParameterFile(ParamPath(), {{"Utente", codice}, {"PercorsoDatabase", nuovo}});
    ExpectRefusedCode(codice, [&] { store.ValoreTolvaUser("Archivio"); });
    ExpectRefusedCode(codice, [&] { store.ValoreTolvaUserInt("Numero", 1); });
    ExpectRefusedCode(codice, [&] { store.SettaValoreTolvaUser("Archivio", "x"); });
  }
  EXPECT_FALSE(FileExists(nuovo));
  EXPECT_EQ(Plenvio(5), kSeed);
  // Signs and leading zeros are numbers.
  WriteParams();
  EXPECT_EQ(store.ValoreTolvaUser("+005", "query_esterno", "Archivio", ""), "D:\\foto\\archivio.fdb");
}

TEST_F(SettingsTest, ValoreTolvaUserInt) {
  InsertUser(5, "[query_esterno]\r\nDodici=12\r\nMeno=-4\r\nErrato=12a\r\nVuoto=\r\nHex=0x1F\r\n");
  TQorIni22 store = Store();
  struct Case {
    const char* nome;
    int32_t expected;
  } cases[] = {{"Dodici", 12}, {"Meno", -4}, {"Vuoto", 99}, {"Manca", 99}, {"Hex", 31}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nome);
    EXPECT_EQ(store.ValoreTolvaUserInt(c.nome, 99), c.expected);
  }
  test::ExpectRaises<EConvertError>([&] { store.ValoreTolvaUserInt("Errato", 99); },
                                    "'12a' is not a valid integer value");
}

TEST_F(SettingsTest, SettaValoreTolvaUserRewritesTheWholeText) {
  struct Case {
    const char* name;
    std::string stored;
    const char* ditta;
    const char* nome;
    const char* valore;
    std::string rendered;
  } cases[] = {
      {"seed text gets CR LF and the new key", kSeed, "query_esterno", "Tema", "scuro",
       "[query_esterno]\r\nArchivio=D:\\foto\\archivio.fdb\r\nTema=scuro\r\n\r\n"},
      {"company from the parameter file, other case", kSeed, "QUERY_ESTERNO", "archivio", "E:\\n.fdb",
       "[query_esterno]\r\nArchivio=E:\\n.fdb\r\n\r\n"},
      {"blanks around = dropped, comments and repeated headers dropped",
       "; nota\r\n[A]\r\n x = 1 \r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n", "B", "y", "5",
       "[A]\r\nx=1\r\n\r\n[B]\r\ny=5\r\n\r\n"},
      {"text without sections", "solo testo", "Nuova", "Chiave", "v", "[Nuova]\r\nChiave=v\r\n\r\n"},
      {"empty text", "", "query_esterno", "Archivio", "", "[query_esterno]\r\nArchivio=\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunSql(ConfigDb(), "DELETE FROM UTENTI");
    InsertUser(5, c.stored);
    WriteParams("5", c.ditta);
    TQorIni22 store = Store();
    store.SettaValoreTolvaUser(c.nome, c.valore);
    EXPECT_EQ(Plenvio(5), c.rendered);
    EXPECT_EQ(store.PlenvioTolvaUser(5), c.rendered);
    EXPECT_EQ(store.ValoreTolvaUser(c.nome), c.valore);
  }
}

TEST_F(SettingsTest, HostileValuesReadBackExactly) {
  InsertUser(5, kSeed);
  TQorIni22 store = Store();
  int n = 0;
  for (const std::string& value : HostileValues()) {
    SCOPED_TRACE(value.substr(0, 40));
    const std::string key = "Chiave" + std::to_string(n++);
    store.SettaValoreTolvaUser(key, value);
    EXPECT_EQ(store.ValoreTolvaUser(key), value);
    EXPECT_EQ(store.ValoreTolvaUser(key, "dflt"), value);
  }
  // Every earlier entry survived every later write.
  n = 0;
  for (const std::string& value : HostileValues())
    EXPECT_EQ(store.ValoreTolvaUser("Chiave" + std::to_string(n++)), value);
  EXPECT_EQ(store.ValoreTolvaUser("Archivio"), "D:\\foto\\archivio.fdb");

  // A hostile company name in the parameter file is a section like any other.
  WriteParams("5", "Ditta dell'anno; -- \"x\"");
  store.SettaValoreTolvaUser("Archivio", "it's");
  EXPECT_EQ(store.ValoreTolvaUser("Archivio"), "it's");
  EXPECT_EQ(store.ElencoDitteUtente(5),
            (std::vector<std::string>{"query_esterno", "Ditta dell'anno; -- \"x\""}));
}

TEST_F(SettingsTest, SettaValoreTolvaUserRefusesWhatTheTextCannotHold) {
  InsertUser(5, kSeed);
  TQorIni22 store = Store();
  struct Case {
    const char* name;
    const char* nome;
    const char* valore;
  } cases[] = {
      {"line break in value", "Tema", "scuro\r\n[Altra]\r\nArchivio=Z:\\x.fdb"},
      {"line feed in value", "Tema", "a\nb"},
      {"= in key", "Te=ma", "x"},
      {"empty key", "", "x"},
      {"key beginning with [", "[Tema", "x]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(store.SettaValoreTolvaUser(c.nome, c.valore), EIniFileException);
    EXPECT_EQ(Plenvio(5), kSeed);
  }
}

TEST_F(SettingsTest, ValuesTheDatabaseCannotHoldAreRefused) {
  InsertUser(5, kSeed);
  TQorIni22 store = Store();
  // Outside Windows-1252, not UTF-8, a NUL byte.
  for (const std::string& valore :
       {std::string("spunta \u2713"), std::string("rotto \xC3"), std::string("a\0b", 3)}) {
    EXPECT_THROW(store.SettaValoreTolvaUser("Tema", valore), EIBClientError);
    EXPECT_EQ(Plenvio(5), kSeed);
  }
}

TEST_F(SettingsTest, WritingForAUserWithoutARowChangesNothing) {
  InsertUser(6, kSeed);
  EXPECT_NO_THROW(Store().SettaValoreTolvaUser("Tema", "scuro"));
  EXPECT_EQ(QueryScalar(ConfigDb(), "SELECT COUNT(*) FROM UTENTI").text, "1");
  EXPECT_EQ(Plenvio(6), kSeed);
}

TEST_F(SettingsTest, Info2AndPlenvio) {
  InsertUser(5, kSeed, "", "", "", "it's;--");
  InsertUser(6, "");
  TQorIni22 store = Store();
  EXPECT_EQ(store.ValoreTolvaUserInfo2("5", "ignorata"), "it's;--");
  EXPECT_EQ(store.ValoreTolvaUserInfo2("6", ""), "");
  EXPECT_EQ(store.ValoreTolvaUserInfo2("42", ""), "");
  EXPECT_EQ(store.ValoreTolvaUserInfo2(ConfigDb(), "", "", "", "5", ""), "it's;--");
  EXPECT_EQ(store.PlenvioTolvaUser(5), kSeed);  // as stored, LF CR and all
  EXPECT_EQ(store.PlenvioTolvaUser(6), "");
  EXPECT_EQ(store.PlenvioTolvaUser(42), "");
}

}  // namespace
}  // namespace velmora
