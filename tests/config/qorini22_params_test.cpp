// The parameter file members and the connection rule of the configuration store.
#include <gtest/gtest.h>

#include "config/QorIni22.h"
#include "platform/Paths.h"
#include "tests/config/ConfigTestSupport.h"

namespace velmora {
namespace {

using test::ConfigFixture;
using test::WriteParameterFile;

TEST(QorIni22ParamsTest, ConstructionBindsBaseDirectoryAndFile) {
  struct Case {
    const char* percorso;
    const char* base;
  } cases[] = {
      {"/srv/dati", "/srv/dati/"},
      {"/srv/dati/", "/srv/dati/"},
      {"C:\\Dati\\", "C:\\Dati\\"},
      {"C:\\Dati", "C:\\Dati/"},
      {"", "./"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.percorso);
    TQorIni22 store(nullptr, c.percorso, "p.ini");
    EXPECT_EQ(store.PercorsoBase(), c.base);
    EXPECT_EQ(store.PercorsoFileParametri(), std::string(c.base) + "p.ini");
  }
  TQorIni22 twoArguments(nullptr, "/srv/dati");
  EXPECT_EQ(twoArguments.PercorsoFileParametri(), "/srv/dati/parametriquery.ini");
  TQorIni22 oneArgument(nullptr);
  EXPECT_EQ(oneArgument.PercorsoFileParametri(), ExecutableDirectory() + "parametriquery.ini");
}

TEST(QorIni22ParamsTest, OwnerReleasesTheStore) {
  TComponent owner;
  auto* store = new TQorIni22(&owner, "/srv", "p.ini");
  EXPECT_EQ(store->Owner(), &owner);
  EXPECT_EQ(owner.Components().size(), 1u);
  // Released with the owner; ASan reports a leak otherwise.
}

TEST_F(ConfigFixture, ValoreConfigIniAndNumeroUtente) {
  TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
  EXPECT_EQ(store.ValoreConfigIni("Utente", "dflt"), "dflt");  // no file
  EXPECT_EQ(store.NumeroUtente(), 0);

  struct Case {
    const char* utente;
    int32_t numero;
  } cases[] = {
      {"0x1F", 31}, {"0X1f", 31}, {"12", 12}, {"-3", -3}, {"abc", 0}, {"", 0}, {"0x", 0}, {"12a", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utente);
    WriteParameterFile(ParamPath(), {{"Utente", c.utente}, {"Vuota", ""}, {"Citata", "\" a b \""}});
    EXPECT_EQ(store.NumeroUtente(), c.numero);
    EXPECT_EQ(store.ValoreConfigIni("utente", "dflt"), c.utente);
  }
  EXPECT_EQ(store.ValoreConfigIni("Vuota", "dflt"), "");  // present and empty: not the default
  EXPECT_EQ(store.ValoreConfigIni("Citata", ""), " a b ");
  EXPECT_EQ(store.ValoreConfigIni("Assente", "dflt"), "dflt");

  WriteParameterFile(ParamPath(), {{"Altro", "1"}});
  EXPECT_EQ(store.NumeroUtente(), 0);  // key absent
}

TEST_F(ConfigFixture, GetFileParametriIniIsBoundToTheParameterFile) {
  TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
  std::unique_ptr<TIniFile> ini = store.getFileParametriIni();
  EXPECT_EQ(ini->FileName(), ParamPath());
  EXPECT_FALSE(FileExists(ParamPath()));  // creating it touched no file
  ini->WriteString("CONFIG", "Utente", "0x10");
  EXPECT_EQ(store.NumeroUtente(), 16);
  EXPECT_EQ(store.ValoreConfigIni("Utente", ""), "0x10");
}

// The connect string the store builds from the connection keys, seen on the
// connection that DatabaseTolvaUser hands out. Port 1 of the loopback refuses
// at once, so neither the attach nor the create can reach a server.
TEST_F(ConfigFixture, ConnectionRuleFromTheConnectionKeys) {
  const std::string server = "127.0.0.1/1";
  const std::string missingDir = dir_ / "missing/archivio.fdb";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> keys;
    std::string connectString;
  } cases[] = {
      {"server and alias",
       {{"Nome Server", server}, {"Alias", "arch"}, {"PercorsoDatabase", "D:\\x.fdb"}},
       server + ":arch"},
      {"server, path and drive letter",
       {{"Nome Server", server}, {"PercorsoDatabase", "D:\\db\\archivio.fdb"}, {"Lettera Disco Server", "E"}},
       server + ":E:\\db\\archivio.fdb"},
      {"server and path",
       {{"Nome Server", server}, {"PercorsoDatabase", "D:\\db\\archivio.fdb"}},
       server + ":D:\\db\\archivio.fdb"},
      {"alias without server", {{"Alias", "arch"}, {"PercorsoDatabase", missingDir}}, missingDir},
      {"plain path", {{"PercorsoDatabase", missingDir}, {"Lettera Disco Server", "E"}}, missingDir},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteParameterFile(ParamPath(), c.keys);
    TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
    TIBDatabase* db = store.DatabaseTolvaUser();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->DatabaseName, c.connectString);
    EXPECT_FALSE(db->Connected());
  }
  EXPECT_TRUE(desktop_.messages.empty());
}

}  // namespace
}  // namespace velmora
