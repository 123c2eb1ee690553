// Shared fixture of the configuration store suites: a temporary directory
// with a parameter file, an embedded configuration database and a desktop
// that records its messages instead of showing them.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "config/QorIni22.h"
#include "platform/Desktop.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora::test {

// Records messages; every prompt is closed unanswered.
class RecordingDesktop : public Desktop {
 public:
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowPrompt(PromptForm& form) override {
    prompts.push_back(form.caption);
    form.esito = 0;
  }
  std::vector<std::string> messages;
  std::vector<std::string> prompts;
};

// Writes a parameter file: section "CONFIG" with `keys` in the given order.
inline void WriteParameterFile(const std::string& path,
                               const std::vector<std::pair<std::string, std::string>>& keys) {
  std::string text = "[CONFIG]\r\n";
  for (const auto& [key, value] : keys) text += key + "=" + value + "\r\n";
  WriteFileBytes(path, text);
}

// Runs `sql` on the database at `path` and commits.
inline void RunSql(const std::string& path, const std::string& sql) {
  TIBDatabase db;
  AttachDatabase(db, path);
  ExecuteSql(db, sql);
}

// The first column of the first row of `select` as text ("" without a row),
// and whether that value is NULL.
struct Scalar {
  bool found = false;
  bool isNull = false;
  std::string text;
};
inline Scalar QueryScalar(const std::string& path, const std::string& select) {
  TIBDatabase db;
  AttachDatabase(db, path);
  TIBSQL sql;
  sql.SetDatabase(&db);
  sql.SetTransaction(NuovaTransazione(db, 0));
  sql.ParamCheck = false;
  sql.SQL = {select};
  sql.ExecQuery();
  Scalar result;
  result.found = sql.RecordCount() > 0;
  if (result.found) {
    result.isNull = sql.Fields(0).IsNull();
    result.text = sql.Fields(0).AsString();
  }
  return result;
}

// A SQL string literal holding `text`.
inline std::string Literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// A text of `characters` characters mixing apostrophes, comment marks,
// quotes, backslashes, parameter marks and accented letters; it ends with a
// letter, so no trimming touches it.
inline std::string LongText(size_t characters) {
  static const char* const kPieces[] = {"P",  "e",        "r", "c", "h", "\xC3\xA9", " ", "l",
                                        "'",  "\xC3\xA8", " ", "-", "-", " ",        ";", " ",
                                        "\"", "\\",       ":", "x", "?", "/",        "*", " "};
  std::string out;
  for (size_t i = 0; i + 1 < characters; ++i) out += kPieces[i % std::size(kPieces)];
  return out + "Z";
}

// A temporary directory holding the parameter file "parametriquery.ini" and
// the configuration database "config.fdb" (created empty by CreateConfig).
class ConfigFixture : public ::testing::Test {
 protected:
  ConfigFixture() : override_(desktop_) {}

  std::string ParamPath() const { return dir_ / "parametriquery.ini"; }
  std::string ConfigDb() const { return dir_ / "config.fdb"; }
  std::string ArchiveDb() const { return dir_ / "archivio.fdb"; }

  // A parameter file naming user `utente`, company `ditta` and ConfigDb().
  void WriteParams(const std::string& utente = "5", const std::string& ditta = "query_esterno") {
    WriteParameterFile(ParamPath(), {{"Utente", utente}, {"Ditta", ditta}, {"PercorsoDatabase", ConfigDb()}});
  }

  // Creates ConfigDb() with a user table of the columns the store uses.
  void CreateConfig() {
    TIBDatabase db;
    CreateDatabase(db, ConfigDb());
    ExecuteSql(db,
               "CREATE TABLE UTENTI (CODICE SMALLINT NOT NULL PRIMARY KEY, NOMEUTENTE VARCHAR(20), "
               "PWDUTENTE VARCHAR(80), INFO2 VARCHAR(10), PLENVIO BLOB SUB_TYPE 1, DITTA VARCHAR(64))");
  }

  // Inserts a user row with the given settings text.
  void InsertUser(int codice, const std::string& plenvio, const std::string& nome = "",
                  const std::string& pwd = "", const std::string& ditta = "", const std::string& info2 = "") {
    RunSql(ConfigDb(), "INSERT INTO UTENTI (CODICE, NOMEUTENTE, PWDUTENTE, DITTA, INFO2, PLENVIO) VALUES (" +
                           std::to_string(codice) + ", " + Literal(nome) + ", " + Literal(pwd) + ", " +
                           Literal(ditta) + ", " + Literal(info2) + ", " + Literal(plenvio) + ")");
  }

  std::string Plenvio(int codice) {
    return QueryScalar(ConfigDb(), "SELECT PLENVIO FROM UTENTI WHERE CODICE = " + std::to_string(codice))
        .text;
  }

  TempDir dir_;
  RecordingDesktop desktop_;

 private:
  DesktopOverride override_;
};

}  // namespace velmora::test
