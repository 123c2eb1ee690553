// The service's cycle statement on a large archive, for bench/watch:
//
//   watch_cycle_tool fill DATABASE ROWS PENDING_EVERY
//     Adds transfer rows 2 .. ROWS+1 of album row 1, each with its photo
//     row; every PENDING_EVERY-th row is pending (no file behind it), the
//     others are published (IDPRISM, HASHPRISM, DATAORATRANSF set). One
//     statement, one commit.
//
//   watch_cycle_tool time DATABASE N
//     Runs N times each, in turn: the service's look of an ordinary cycle
//     (LeggiRecenti: the rows above the highest id less the service's
//     margin of 1000), its full look of every 5 minutes (LeggiDaControllare),
//     both with the rows to repair, and a bare "SELECT 1 FROM RDB$DATABASE"
//     on a read-committed transaction of its own (the same round trip with
//     nothing to read). Prints
//       cycle MEDIAN_MS P99_MS ROWS_FOUND
//       full MEDIAN_MS P99_MS ROWS_FOUND
//       select1 MEDIAN_MS P99_MS
//
// DATABASE: a local path (embedded engine) or host:path; user SYSDBA with
// the test password. Exit code 0 on success, 1 with a message otherwise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/batch/SelezioneTrasferimenti.h"
#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "platform/Exceptions.h"

namespace {

using namespace velmora;
using Clock = std::chrono::steady_clock;

void Connect(TIBDatabase& db, const std::string& path) {
  db.DatabaseName = path;
  db.LoginPrompt = false;
  db.Params = {"user_name=SYSDBA", "password=quietlamp"};
  db.Open();
}

void Execute(TIBDatabase& db, const std::string& text) {
  TIBTransaction transaction;
  transaction.SetDefaultDatabase(&db);
  transaction.StartTransaction();
  {
    TIBSQL sql;
    sql.SetDatabase(&db);
    sql.SetTransaction(&transaction);
    sql.ParamCheck = false;
    sql.SQL = {text};
    sql.ExecQuery();
  }
  transaction.Commit();
}

int Fill(const std::string& path, long rows, long pendingEvery) {
  TIBDatabase db;
  Connect(db, path);
  const std::string last = std::to_string(rows + 1);
  const std::string every = std::to_string(pendingEvery);
  Execute(db,
          "EXECUTE BLOCK AS DECLARE I INTEGER = 2; BEGIN WHILE (I <= " + last +
              ") DO BEGIN "
              "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
              "(:I, 'C:\\Demo\\Foto', 'foto' || :I, 'jpg', 'Foto ' || :I); "
              "IF (MOD(:I, " +
              every +
              ") = 0) THEN INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (:I, 1, :I); "
              "ELSE INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO, IDPRISM, HASHPRISM, DATAORATRANSF) "
              "VALUES (:I, 1, :I, 'p' || LPAD(:I, 16, '0'), LPAD(:I, 40, '0'), CURRENT_TIMESTAMP); "
              "I = I + 1; END END");
  return 0;
}

double Ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Print(const char* name, std::vector<double> ms, const std::string& extra) {
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  const double p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  std::printf("%s %.3f %.3f%s\n", name, median, p99, extra.c_str());
}

int Time(const std::string& path, long n) {
  TIBDatabase db;
  Connect(db, path);
  std::vector<double> cycle, full, select1;
  size_t found = 0, foundFull = 0;
  const int64_t highest = LeggiDaControllare(db, {}, true).idMassimo;
  for (long i = 0; i < n; ++i) {
    auto start = Clock::now();
    found = LeggiRecenti(db, {}, true, std::max<int64_t>(0, highest - 1000)).daGuardare.size();
    cycle.push_back(Ms(start));
    start = Clock::now();
    foundFull = LeggiDaControllare(db, {}, true).daGuardare.size();
    full.push_back(Ms(start));
    start = Clock::now();
    TIBTransaction* transaction = TransazioneReadCommitted(db);
    {
      TIBSQL sql;
      sql.SetDatabase(&db);
      sql.SetTransaction(transaction);
      sql.ParamCheck = false;
      sql.SQL = {"SELECT 1 FROM RDB$DATABASE"};
      sql.ExecQuery();
      sql.Close();
    }
    transaction->Commit();
    select1.push_back(Ms(start));
  }
  Print("cycle", cycle, " " + std::to_string(found));
  Print("full", full, " " + std::to_string(foundFull));
  Print("select1", select1, "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  try {
    if (args.size() == 5 && args[1] == "fill") return Fill(args[2], std::stol(args[3]), std::stol(args[4]));
    if (args.size() == 4 && args[1] == "time") return Time(args[2], std::stol(args[3]));
    std::cerr << "usage: watch_cycle_tool fill DATABASE ROWS PENDING_EVERY\n"
                 "       watch_cycle_tool time DATABASE N\n";
  } catch (const velmora::Exception& e) {
    std::cerr << e.ClassName() << ": " << e.Message() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
  }
  return 1;
}
