#include "tests/support/FirebirdSupport.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "archive/DBUtility.h"
#include "archive/IBSQL.h"
#include "tests/support/TestSupport.h"

namespace velmora::test {
namespace fs = std::filesystem;

std::string ArchiveSchemaPath() { return SourcePath("tests/fixtures/archive_schema.sql"); }

std::vector<std::string> SplitSqlScript(const std::string& text) {
  std::vector<std::string> statements;
  std::string current;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) {
      if (!current.empty()) current += "\n";
      continue;
    }
    if (line.compare(first, 2, "--") == 0) continue;
    size_t last = line.find_last_not_of(" \t");
    bool ends = line[last] == ';';
    if (ends) line.erase(last);
    if (!current.empty()) current += "\n";
    current += line;
    if (ends) {
      size_t b = current.find_first_not_of(" \t\n");
      statements.push_back(current.substr(b));
      current.clear();
    }
  }
  if (current.find_first_not_of(" \t\n") != std::string::npos)
    throw std::runtime_error("SQL script ends inside a statement without ';'");
  return statements;
}

void ExecuteSql(TIBDatabase& db, const std::string& sql) {
  TIBTransaction tr;
  tr.SetDefaultDatabase(&db);
  tr.StartTransaction();
  {
    TIBSQL q;
    q.SetDatabase(&db);
    q.SetTransaction(&tr);
    q.ParamCheck = false;
    q.SQL.push_back(sql);
    q.ExecQuery();
  }
  tr.Commit();
}

void RunSqlScript(TIBDatabase& db, const std::string& path) {
  for (const std::string& statement : SplitSqlScript(ReadFileBytes(path))) ExecuteSql(db, statement);
}

void CreateDatabase(TIBDatabase& db, const std::string& connectString, const std::string& password) {
  db.DatabaseName = connectString;
  db.LoginPrompt = false;
  db.Params = {"USER 'SYSDBA'", "PASSWORD '" + password + "'", "PAGE_SIZE 4096"};
  db.SetSQLDialect(3);
  db.CreateDatabase();
}

void AttachDatabase(TIBDatabase& db, const std::string& connectString, const std::string& password) {
  db.DatabaseName = connectString;
  db.LoginPrompt = false;
  db.Params = {"user_name=SYSDBA", "password=" + password};
  db.SetConnected(true);
}

void CreateArchiveDatabase(const std::string& connectString, const std::string& password) {
  TIBDatabase db;
  CreateDatabase(db, connectString, password);
  RunSqlScript(db, ArchiveSchemaPath());
  db.Close();
}

namespace {

std::string Script() { return SourcePath("scripts/firebird-server.sh"); }

std::string FirstLine(const std::string& s) {
  std::string line = s.substr(0, s.find('\n'));
  return line;
}

}  // namespace

bool StartFirebirdServer(std::string& error) {
  ProcessResult r = RunProcess({"/bin/bash", Script(), "start"}, "", {}, 180);
  if (r.exitCode != 0) {
    error = "firebird-server.sh start failed (" + std::to_string(r.exitCode) + "): " + r.err;
    return false;
  }
  return true;
}

int FirebirdServerPid() {
  ProcessResult r = RunProcess({"/bin/bash", Script(), "pid"}, "", {}, 60);
  std::string line = FirstLine(r.out);
  if (r.exitCode != 0 || line.empty()) return -1;
  return std::stoi(line);
}

ServerTempDir::ServerTempDir() {
  ProcessResult r = RunProcess({"/bin/bash", Script(), "dir"}, "", {}, 60);
  std::string base = FirstLine(r.out);
  if (r.exitCode != 0 || base.empty()) throw std::runtime_error("firebird-server.sh dir failed: " + r.err);
  std::string tmpl = base + "/t-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed in " + base);
  path_ = std::string(buf.data()) + "/";
  // The server runs as user firebird and must be able to create files here.
  if (const passwd* pw = ::getpwnam("firebird")) {
    if (::chown(buf.data(), pw->pw_uid, pw->pw_gid) != 0) throw std::runtime_error("chown failed: " + path_);
  }
}

ServerTempDir::~ServerTempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace velmora::test

// The embedded Firebird engine loads and unloads its plugins and character
// set libraries, some of them with thread-local storage; LeakSanitizer's exit
// check can crash reading the stale thread-local ranges they leave. Built
// into every test binary that links this file: no scan of thread-local
// storage.
extern "C" const char* __lsan_default_options() { return "use_tls=0"; }

// The embedded engine loads ICU, which keeps caches allocated until the
// process ends; LeakSanitizer reports them at exit.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libicuuc.so\n"
         "leak:libicui18n.so\n";
}
