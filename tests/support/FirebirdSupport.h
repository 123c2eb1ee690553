// Test helpers for real Firebird databases: embedded databases in temporary
// directories, the archive schema fixture, and the local Firebird server
// started by scripts/firebird-server.sh.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"

namespace velmora::test {

// tests/fixtures/archive_schema.sql in the source tree.
std::string ArchiveSchemaPath();

// Splits a script into statements: a statement ends with a line whose last
// non-blank character is ";" (the ";" is dropped); lines starting with "--"
// and blank lines outside statements are skipped.
std::vector<std::string> SplitSqlScript(const std::string& text);

// Runs one statement with ParamCheck off in a new default transaction and
// commits it. Raises the layer's exceptions.
void ExecuteSql(TIBDatabase& db, const std::string& sql);

// Runs every statement of the script file at `path`, each committed.
void RunSqlScript(TIBDatabase& db, const std::string& path);

// Creates the database `connectString` (an embedded path or "host:path") as
// the program does (USER 'SYSDBA' PASSWORD '<password>' PAGE_SIZE 4096,
// dialect 3) and leaves `db` connected to it with LoginPrompt off.
void CreateDatabase(TIBDatabase& db, const std::string& connectString,
                    const std::string& password = "quietlamp");

// Attaches `db` to `connectString` with user SYSDBA and `password`.
void AttachDatabase(TIBDatabase& db, const std::string& connectString,
                    const std::string& password = "quietlamp");

// Creates `connectString` with the archive schema applied and closes it.
void CreateArchiveDatabase(const std::string& connectString, const std::string& password = "quietlamp");

// The local server (127.0.0.1:3050, SYSDBA password "quietlamp").
// Runs "scripts/firebird-server.sh start" (idempotent); false with `error`
// set when it fails.
bool StartFirebirdServer(std::string& error);
// The pid of the running firebird server process (not its guard), or -1.
int FirebirdServerPid();
// A directory the firebird user owns, for server-side test databases
// ("scripts/firebird-server.sh dir"), with a fresh sub-directory per call
// removed by the returned object.
class ServerTempDir {
 public:
  ServerTempDir();
  ~ServerTempDir();
  ServerTempDir(const ServerTempDir&) = delete;
  ServerTempDir& operator=(const ServerTempDir&) = delete;
  // Ends with "/".
  const std::string& Path() const { return path_; }
  // "localhost:" + Path() + name.
  std::string ConnectString(const std::string& name) const { return "localhost:" + path_ + name; }

 private:
  std::string path_;
};

// Runs `f` and expects the layer's own client error with this number and
// message.
template <typename F>
void ExpectClientError(F&& f, int32_t number, const std::string& message) {
  ExpectRaisesAnd<EIBClientError>(std::forward<F>(f), message, nullptr,
                                  [&](const EIBClientError& e) { EXPECT_EQ(e.SQLCode(), number); });
}

}  // namespace velmora::test
