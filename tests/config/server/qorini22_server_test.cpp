// The configuration store through the local Firebird server (connect strings
// "localhost:/path"). Runs with the CTest fixture that starts the server.
#include <gtest/gtest.h>

#include "config/QorIni22.h"
#include "tests/config/ConfigTestSupport.h"

namespace velmora {
namespace {

using test::WriteParameterFile;

class StoreServerTest : public test::ConfigFixture {};

// The same store against the local Firebird server: "Nome Server" with a
// path, and "Nome Server" with an alias (the server takes a path as alias).
TEST_F(StoreServerTest, PathAndAliasForms) {
  std::string error;
  if (!test::StartFirebirdServer(error)) GTEST_SKIP() << "no Firebird server: " << error;
  test::ServerTempDir serverDir;
  const std::string path = serverDir.Path() + "config.fdb";
  const std::string archivio = "D:\\foto\\l'archivio.fdb";

  WriteParameterFile(ParamPath(),
                     {{"Utente", "3"}, {"Nome Server", "localhost"}, {"PercorsoDatabase", path}});
  TQorIni22 store(nullptr, dir_.Path(), "parametriquery.ini");
  store.Inizializza(ParamPath());
  EXPECT_EQ(desktop_.messages, std::vector<std::string>{"Effettuata creazione data base"});
  store.InizializzaQuery(archivio);
  EXPECT_EQ(store.ValoreTolvaUser("Archivio"), archivio);
  store.SettaValoreTolvaUser("Tema", "it's");

  WriteParameterFile(ParamPath(), {{"Utente", "3"},
                                   {"Nome Server", "localhost"},
                                   {"Alias", path},
                                   {"PercorsoDatabase", "/nessun/percorso.fdb"}});
  EXPECT_EQ(store.ValoreTolvaUser("Tema"), "it's");
  EXPECT_EQ(store.PlenvioTolvaUser(3), "[query_esterno]\r\nArchivio=" + archivio + "\r\nTema=it's\r\n\r\n");
  TIBDatabase* db = store.DatabaseTolvaUser();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->DatabaseName, "localhost:" + path);
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(desktop_.messages.size(), 1u);
}

}  // namespace
}  // namespace velmora
