// Opening the archive through the local Firebird server ("host:path").
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "archive/QorDB.h"
#include "platform/Desktop.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "tests/archive/ScriptedDesktop.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

using test::ScriptedDesktop;
using test::TempDir;
using Lines = std::vector<std::string>;

const char* const kCreated = "message: Effettuata creazione data base";

// The server form "host:path" through the local Firebird server: the alias
// step creates the database on the server, and the next run attaches to it.
TEST(ApriArchivioServerTest, AliasOnTheServerIsCreatedThenAttached) {
  std::string error;
  ASSERT_TRUE(test::StartFirebirdServer(error)) << error;
  test::ServerTempDir serverDir;
  TempDir dir;
  WriteProfileString(dir / "dati.ini", "CONFIG", "Nome Server", "localhost");
  WriteProfileString(dir / "dati.ini", "CONFIG", "Alias", serverDir.Path() + "arch.fdb");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "first run creates" : "second run attaches");
    ScriptedDesktop desktop;
    DesktopOverride use(desktop);
    TIBDatabase db;
    ASSERT_TRUE(ApriArchivio(db, dir.Path(), "", "", ""));
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(db.DatabaseName, "localhost:" + serverDir.Path() + "arch.fdb");
    EXPECT_EQ(desktop.events, run == 0 ? Lines{kCreated} : Lines{});
    EXPECT_FALSE(FileExists(dir / "archivio.fdb"));
  }
}

}  // namespace
}  // namespace velmora
