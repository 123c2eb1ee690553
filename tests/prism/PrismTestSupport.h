// Shared pieces of the server-routine tests: an embedded archive with one
// album row, a client set up as the run sets it up, console capture and row
// reads.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "platform/Console.h"
#include "prism/PrismApi.h"
#include "tests/peers/PrismPeer.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"
#include "transport/HttpClient.h"

namespace velmora::test {

// The columns of one row as texts (empty vector when no row).
inline std::vector<std::string> ReadRow(TIBDatabase& db, const std::string& select) {
  TIBTransaction transaction;
  transaction.SetDefaultDatabase(&db);
  transaction.StartTransaction();
  std::vector<std::string> row;
  {
    TIBSQL sql;
    sql.SetDatabase(&db);
    sql.SetTransaction(&transaction);
    sql.ParamCheck = false;
    sql.SQL = {select};
    sql.ExecQuery();
    if (!sql.Eof()) {
      for (size_t i = 0; i < sql.FieldCount(); ++i) row.push_back(sql.Fields(i).AsString());
    }
  }
  transaction.Commit();
  return row;
}

// An embedded archive from the schema fixture with album rows 7 and 8, a
// connection to it, a run state and captured console lines.
class ArchiveFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateArchiveDatabase(dir_ / "archivio.fdb");
    AttachDatabase(db_, dir_ / "archivio.fdb");
    ExecuteSql(db_,
               "INSERT INTO KELALBUMPRISM (ID, TOKENPRISM, IDUSERPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, "
               "NOMESITOPRISM, IDALBUMPRISM, NOMEALBUM, LINK_CONDIVISIONE) VALUES (7, 'vecchiotoken', "
               "'vecchiouser', 'studio', 'segreta', 'x', '', 'Matrimonio', '')");
    ExecuteSql(db_,
               "INSERT INTO KELALBUMPRISM (ID, TOKENPRISM, IDUSERPRISM, IDALBUMPRISM, LINK_CONDIVISIONE) "
               "VALUES (8, 'altro', 'altro', 'altro', 'altro')");
    stato_.TokenPrism = "vecchiotoken";
    stato_.IdUserPrism = "vecchiouser";
    http_.SetConnectTimeout(60000);
    http_.SetReadTimeout(60000);
    http_.SetUserAgent(kUserAgentPrism);
  }

  // Album row 7: TOKENPRISM, IDUSERPRISM, IDALBUMPRISM, LINK_CONDIVISIONE.
  std::vector<std::string> AlbumRow(int id = 7) {
    return ReadRow(db_,
                   "SELECT TOKENPRISM, IDUSERPRISM, IDALBUMPRISM, LINK_CONDIVISIONE FROM KELALBUMPRISM "
                   "WHERE ID = " +
                       std::to_string(id));
  }

  // The outcome of a server routine, its notices kept as the lines a run
  // writes for them, after whatever the routine wrote itself (nothing).
  void Avvisi(const EsitoPrism& esito) {
    for (Avviso a : esito.avvisi) lines_.emplace_back(TestoAvviso(a));
  }
  // The filing's outcome the same way: its message when it succeeded.
  void Assegnazione(const EsitoPrism& esito) {
    if (esito.riuscito) lines_.push_back(esito.messaggio);
    Avvisi(esito);
  }
  // The lookup's photo; its error kept as the run's "Error: " line.
  std::unique_ptr<TJSONObject> Ricerca(RicercaFoto ricerca) {
    if (!ricerca.errore.empty()) lines_.push_back("Error: " + ricerca.errore);
    return std::move(ricerca.foto);
  }

  TempDir dir_;
  TIBDatabase db_;
  HttpClient http_;
  StatoPrism stato_;
  std::vector<std::string> lines_;
  ConsoleRedirect console_{[this](std::string_view line) { lines_.emplace_back(line); }};
};

// A JSON array text with one answer rule.
inline std::string Rule(const std::string& method, const std::string& path, int status,
                        const std::string& bodyJson) {
  return "{\"method\":\"" + method + "\",\"path\":\"" + path + "\",\"status\":" + std::to_string(status) +
         ",\"body\":" + bodyJson + "}";
}

}  // namespace velmora::test
