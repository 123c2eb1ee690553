// Prepares and inspects the databases of a demo or benchmark publication:
//
//   velmora_demo_tool setup DIR BASE_URL SCHEMA_SQL PHOTO_FOLDER
//     Writes DIR/ParametriKelvora.ini (configuration database DIR/config.fdb,
//     stored folder "C:\Demo\Foto\" mapped to PHOTO_FOLDER), creates the
//     configuration database with the user row that names DIR/archivio.fdb,
//     and the archive from SCHEMA_SQL with album row 1 (account demo/demo on
//     BASE_URL, no server album yet), photo row 1 (tramonto.jpg, a title)
//     and transfer row 1. Run again on an existing DIR, it keeps everything
//     and only points the album row at BASE_URL.
//
//   velmora_demo_tool rows DIR FIRST COUNT
//     Adds COUNT pending transfer rows FIRST, FIRST+1, ... of album row 1,
//     each with its own photo row of the same ID whose file is
//     C:\Demo\Foto\foto<ID>.jpg (the caller writes the files).
//
//   velmora_demo_tool show DIR ID
//     Prints the transfer row ID and its album row.
//
// Exit code 0 on success, 1 with a message on standard error otherwise.
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/Istruzione.h"
#include "archive/SQLText.h"
#include "config/QorIni22.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"

namespace {

using namespace velmora;

void Connect(TIBDatabase& db, const std::string& path, bool create) {
  db.DatabaseName = path;
  db.LoginPrompt = false;
  if (create) {
    db.Params = {"USER 'SYSDBA'", "PASSWORD 'quietlamp'", "PAGE_SIZE 4096"};
    db.CreateDatabase();
  } else {
    db.Params = {"user_name=SYSDBA", "password=quietlamp"};
    db.Open();
  }
}

// Runs one statement on its own transaction and commits it.
void Execute(TIBDatabase& db, const std::string& text) {
  TIBTransaction transaction;
  transaction.SetDefaultDatabase(&db);
  transaction.StartTransaction();
  Istruzione(&transaction, {text}).Esegui();
  transaction.Commit();
}

// The statements of a schema file: each ends with a line whose last
// non-blank character is ";"; "--" lines are comments.
std::vector<std::string> Statements(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<std::string> out;
  std::string line, current;
  while (std::getline(in, line)) {
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line.compare(first, 2, "--") == 0) continue;
    size_t last = line.find_last_not_of(" \t\r");
    if (line[last] == ';') {
      current += line.substr(0, last);
      out.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  return out;
}

int Setup(const std::string& dirArg, const std::string& baseUrl, const std::string& schema,
          const std::string& photoFolder) {
  const std::string dir = IncludeTrailingPathDelimiter(dirArg);
  const std::string config = dir + "config.fdb";
  const std::string archive = dir + "archivio.fdb";
  if (!FileExists(config)) {
    std::ofstream ini(dir + "ParametriKelvora.ini", std::ios::binary);
    ini << "[CONFIG]\r\nUtente=1\r\nDitta=query_esterno\r\nPercorsoDatabase=" << config
        << "\r\n\r\n[PERCORSI]\r\nC:\\Demo\\Foto\\=" << IncludeTrailingPathDelimiter(photoFolder) << "\r\n";
    ini.close();
    {
      TIBDatabase db;
      Connect(db, config, true);
    }
    TQorIni22 store(nullptr, dir, "ParametriKelvora.ini");
    store.InizializzaQuery(archive);
  }
  TIBDatabase db;
  if (!FileExists(archive)) {
    Connect(db, archive, true);
    for (const std::string& statement : Statements(schema)) Execute(db, statement);
    Execute(db,
            "INSERT INTO KELALBUMPRISM (ID, TOKENPRISM, IDUSERPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, "
            "NOMESITOPRISM, "
            "IDALBUMPRISM, NOMEALBUM, LINK_CONDIVISIONE) VALUES (1, '', '', 'demo', 'demo', " +
                QuotedSQLText(baseUrl) + ", '', 'Vacanze sul lago', '')");
    Execute(db,
            "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
            "(1, 'C:\\Demo\\Foto', 'tramonto', 'jpg', 'Tramonto sul lago')");
    Execute(db, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (1, 1, 1)");
  } else {
    Connect(db, archive, false);
    Execute(db, "UPDATE KELALBUMPRISM SET NOMESITOPRISM = " + QuotedSQLText(baseUrl) + " WHERE ID = 1");
  }
  return 0;
}

int Rows(const std::string& dirArg, const std::string& firstArg, const std::string& countArg) {
  const long first = std::stol(firstArg);
  const long count = std::stol(countArg);
  if (first < 2 || count < 1) throw std::runtime_error("FIRST must be 2 or more and COUNT 1 or more");
  TIBDatabase db;
  Connect(db, IncludeTrailingPathDelimiter(dirArg) + "archivio.fdb", false);
  for (long id = first; id < first + count; ++id) {
    const std::string n = std::to_string(id);
    Execute(db, "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES (" +
                    n + ", 'C:\\Demo\\Foto', 'foto" + n + "', 'jpg', 'Foto " + n + "')");
    Execute(db, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (" + n + ", 1, " + n + ")");
  }
  return 0;
}

int Show(const std::string& dirArg, const std::string& id) {
  for (char c : id) {
    if (c < '0' || c > '9') throw std::runtime_error("ID must be a decimal number");
  }
  TIBDatabase db;
  Connect(db, IncludeTrailingPathDelimiter(dirArg) + "archivio.fdb", false);
  TIBTransaction transaction;
  transaction.SetDefaultDatabase(&db);
  transaction.StartTransaction();
  const char* queries[] = {
      "SELECT L.ID, L.IDPRISM, L.HASHPRISM, L.DATAORATRANSF FROM KELTRANSFLOG L WHERE L.ID = ",
      "SELECT A.ID, A.IDALBUMPRISM, A.LINK_CONDIVISIONE, A.IDUSERPRISM, A.NOMESITOPRISM FROM KELTRANSFLOG L "
      "INNER JOIN KELALBUMPRISM A ON (L.IDALBUM = A.ID) WHERE L.ID = "};
  const char* titles[] = {"KELTRANSFLOG", "KELALBUMPRISM"};
  for (int q = 0; q < 2; ++q) {
    Istruzione istruzione(&transaction, {std::string(queries[q]) + id});
    TIBSQL& sql = istruzione.Esegui().Sql();
    std::cout << titles[q] << ":\n";
    if (sql.Eof()) {
      std::cout << "  (no row)\n";
      continue;
    }
    for (size_t i = 0; i < sql.FieldCount(); ++i) {
      std::cout << "  " << sql.Fields(i).Name() << " = " << sql.Fields(i).AsString() << "\n";
    }
  }
  transaction.Commit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  try {
    if (args.size() == 6 && args[1] == "setup") return Setup(args[2], args[3], args[4], args[5]);
    if (args.size() == 4 && args[1] == "show") return Show(args[2], args[3]);
    if (args.size() == 5 && args[1] == "rows") return Rows(args[2], args[3], args[4]);
    std::cerr << "usage: velmora_demo_tool setup DIR BASE_URL SCHEMA_SQL PHOTO_FOLDER\n"
                 "       velmora_demo_tool rows DIR FIRST COUNT\n"
                 "       velmora_demo_tool show DIR ID\n";
  } catch (const velmora::Exception& e) {
    std::cerr << e.ClassName() << ": " << e.Message() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
  }
  return 1;
}
