// velmora-doctor end to end: the real program copied beside a parameter
// file, against real embedded databases and the test Prism server. A healthy
// set-up gives only OK lines; each broken thing makes its own line fail with
// its hint; and nothing changes: every row of both databases, the files of
// the set-up and the server's state stay as they were, and the server sees
// at most the login request and, for an album row naming a server album,
// one page of that album's listing.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "archive/IBSQL.h"
#include "platform/Paths.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestPki.h"
#include "transport/Json.h"

namespace velmora::test {
namespace {

// Every row of every table the doctor reads, as text.
std::vector<std::string> Rows(const std::string& database, const std::vector<std::string>& tables) {
  std::vector<std::string> rows;
  if (!FileExists(database)) return {"(no database)"};
  TIBDatabase db;
  AttachDatabase(db, database);
  for (const std::string& table : tables) {
    TIBSQL sql;
    sql.SetDatabase(&db);
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&db);
    transaction.StartTransaction();
    sql.SetTransaction(&transaction);
    sql.SQL = {"SELECT * FROM " + table + " ORDER BY 1"};
    try {
      sql.ExecQuery();
    } catch (const Exception&) {
      rows.push_back(table + " (missing)");
      continue;
    }
    while (!sql.Eof()) {
      std::string row = table + ":";
      for (size_t i = 0; i < sql.FieldCount(); ++i) row += "|" + sql.Fields(i).AsString();
      rows.push_back(row);
      sql.Next();
    }
    sql.Close();
    transaction.Commit();
  }
  return rows;
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) names.insert(e->d_name);
    ::closedir(d);
  }
  return names;
}

// What must not change.
struct Snapshot {
  std::vector<std::string> archive, config;
  std::set<std::string> files;
};

void ExpectUnchanged(const Snapshot& after, const Snapshot& before) {
  EXPECT_EQ(after.archive, before.archive);
  EXPECT_EQ(after.config, before.config);
  EXPECT_EQ(after.files, before.files);
}

void InstallDoctor(PublicationSetup& setup) {
  const std::string program = setup.Dir() / "velmora-doctor";
  if (!FileExists(program)) CopyFile(BinaryPath("app/velmora-doctor"), program);
}

Snapshot Take(PublicationSetup& setup) {
  InstallDoctor(setup);
  return {Rows(setup.ArchivePath(), {"KELTRANSFLOG", "KELALBUMPRISM", "KELITEMPHOTO"}),
          Rows(setup.Dir() / "config.fdb", {"UTENTI"}), FilesIn(setup.Dir().Path())};
}

struct DoctorRun {
  int exitCode = -1;
  std::vector<std::string> lines;  // without the first (arguments) and the last (summary)
  std::string out, err;
};

// The installed doctor's command line with `args`.
std::vector<std::string> DoctorArgv(PublicationSetup& setup, const std::vector<std::string>& args) {
  InstallDoctor(setup);
  std::vector<std::string> argv{setup.Dir() / "velmora-doctor"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

const std::map<std::string, std::string>& DoctorEnv() {
  static const std::map<std::string, std::string> env{
      {"DISPLAY", ""},
      {"LSAN_OPTIONS",
       "use_tls=0:print_suppressions=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp")}};
  return env;
}

DoctorRun RunDoctor(PublicationSetup& setup, const std::vector<std::string>& args) {
  ProcessResult result = RunProcess(DoctorArgv(setup, args), setup.Dir().Path(), DoctorEnv(), 300);
  DoctorRun run{result.exitCode, SplitLines(result.out, "\n"), result.out, result.err};
  if (run.lines.size() >= 2 && args.size() > 0 && args[0] != "--json") {
    run.lines.erase(run.lines.begin());
    run.lines.pop_back();
  }
  return run;
}

void ExpectAllOk(const DoctorRun& run) {
  EXPECT_EQ(run.exitCode, 0) << run.out;
  for (const std::string& line : run.lines) EXPECT_EQ(line.substr(0, 3), "OK ") << line;
  EXPECT_EQ(run.err, "");
}

// The line of check `name`, "" when there is none.
std::string LineOf(const DoctorRun& run, const std::string& name) {
  for (const std::string& line : run.lines) {
    if (line.find(" - " + name + ":") != std::string::npos) return line;
  }
  return "";
}

// A break made by one statement on the archive.
std::function<void(PublicationSetup&)> OnArchive(const std::string& sql) {
  return [sql](PublicationSetup& s) {
    TIBDatabase db;
    AttachDatabase(db, s.ArchivePath());
    ExecuteSql(db, sql);
  };
}

void ReplaceParameterFile(PublicationSetup& setup, const std::string& config) {
  WriteFileBytes(setup.Dir() / "ParametriKelvora.ini",
                 "[CONFIG]\r\n" + config + "\r\n[PERCORSI]\r\nC:\\Foto\\=" + setup.Dir() / "foto/" + "\r\n");
}

std::string DefaultConfig(PublicationSetup& setup) {
  return "Utente=1\r\nPercorsoDatabase=" + setup.Dir() / "config.fdb\r\n";
}

TEST(Doctor, HealthySetupEveryLineOkAndOnlyTheLogin) {
  PublicationSetup setup({}, ArchiveRows{});
  Snapshot before = Take(setup);
  for (bool withTransfer : {true, false}) {
    SCOPED_TRACE(withTransfer ? "with transfer" : "without transfer");
    std::vector<std::string> args{"1", "query_esterno"};
    if (withTransfer) args.push_back("5");
    DoctorRun run = RunDoctor(setup, args);
    ExpectAllOk(run);
    // The chain in order, one line per check.
    std::vector<std::string> expected{"File parametri",
                                      "Chiavi CONFIG",
                                      "Mappature PERCORSI",
                                      "Controlli certificato",
                                      "Collegamento",
                                      "Tabella UTENTI",
                                      "Riga utente",
                                      "Ditta e Archivio",
                                      "dati.ini",
                                      "Stringa di connessione",
                                      "Collegamento",
                                      "Tabella KELTRANSFLOG",
                                      "Tabella KELALBUMPRISM",
                                      "Tabella KELITEMPHOTO",
                                      "Trasferimenti in attesa"};
    if (withTransfer) {
      for (const char* n : {"Riga trasferimento", "Riga album", "Riga foto", "Percorso media", "File media"})
        expected.push_back(n);
    }
    for (const char* n : {"Indirizzo (album 3)", "Risoluzione nome (album 3)", "Connessione TCP (album 3)",
                          "Accesso (album 3)"})
      expected.push_back(n);
    ASSERT_EQ(run.lines.size(), expected.size()) << run.out;
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_NE(run.lines[i].find(" - " + expected[i] + ":"), std::string::npos) << run.lines[i];
    }
    EXPECT_NE(LineOf(run, "Trasferimenti in attesa").find("senza DATAORATRANSF: 2"), std::string::npos)
        << run.out;
    if (withTransfer) {
      EXPECT_NE(LineOf(run, "File media").find("sposi.jpg, file regolare leggibile, 3020 byte"),
                std::string::npos)
          << run.out;
      EXPECT_NE(LineOf(run, "Percorso media").find("C:\\Foto\\2024\\sposi.jpg -> " + setup.PhotoPath()),
                std::string::npos)
          << run.out;
    }
  }
  ExpectUnchanged(Take(setup), before);
  EXPECT_EQ(setup.Peer().RequestLines(),
            (std::vector<std::string>{"POST /api/v1/session", "POST /api/v1/session"}));
  EXPECT_EQ(setup.AlbumRow()[0], "vecchio");  // the token the login got is written nowhere
}

TEST(Doctor, HttpsWithAVerifiedCertificateAndPinEveryLineOk) {
  TestPki pki;
  TestCertificate ca = pki.MakeCa("studio");
  TestCertificate server = pki.Issue(ca, "server", "127.0.0.1", "IP:127.0.0.1", false);
  PrismPeer::Options options = WithHttps();
  options.cert = server.cert;
  options.key = server.key;
  PublicationSetup setup(options, ArchiveRows{});
  ReplaceParameterFile(setup, DefaultConfig(setup) + "VerificaCertificato=1\r\nFileCertificatiCA=" + ca.cert +
                                  "\r\nImprontaCertificato=" + TestPki::Pin(server.cert) + "\r\n");
  DoctorRun run = RunDoctor(setup, {"1", "query_esterno", "5"});
  ExpectAllOk(run);
  EXPECT_NE(LineOf(run, "Certificato (album 3)").find("ImprontaCertificato=" + TestPki::Pin(server.cert)),
            std::string::npos)
      << run.out;
  EXPECT_NE(LineOf(run, "Certificato (album 3)").find("emittente /CN=studio Test CA"), std::string::npos);
  EXPECT_NE(LineOf(run, "Verifica CA (album 3)"), "");
  EXPECT_NE(LineOf(run, "Controlli certificato (album 3)"), "");
  EXPECT_EQ(setup.Peer().RequestLines(), (std::vector<std::string>{"POST /api/v1/session"}));
}

TEST(Doctor, EachBrokenThingFailsItsOwnLineAndChangesNothing) {
  struct Case {
    const char* name;
    ArchiveRows rows;
    bool https = false;
    bool expiredCertificate = false;
    std::function<void(PublicationSetup&)> breakIt;
    std::vector<std::string> args{"1", "query_esterno", "5"};
    std::string failingCheck;
    std::string found;  // part of the failing line's detail
    std::string hint;   // part of its hint
    bool loginSent = false;
  };
  TestPki pki;
  ArchiveRows normal;
  ArchiveRows noFile;
  noFile.createFile = false;
  ArchiveRows wrongPassword;
  wrongPassword.password = "sbagliata";
  const int closedPort = FreePort();
  std::vector<Case> cases;
  cases.push_back({"no parameter file",
                   normal,
                   false,
                   false,
                   [](PublicationSetup& s) { ::unlink((s.Dir() / "ParametriKelvora.ini").c_str()); },
                   {"1", "query_esterno", "5"},
                   "File parametri",
                   "ParametriKelvora.ini non esiste",
                   "crea ParametriKelvora.ini nella cartella del programma"});
  cases.push_back({"wrong PercorsoDatabase",
                   normal,
                   false,
                   false,
                   [](PublicationSetup& s) {
                     ReplaceParameterFile(s, "PercorsoDatabase=" + s.Dir() / "sbagliato.fdb\r\n");
                   },
                   {"1", "query_esterno", "5"},
                   "Collegamento",
                   "embedded " + std::string("/"),
                   "controlla \"PercorsoDatabase\" nel file parametri"});
  cases.push_back({"no user row",
                   normal,
                   false,
                   false,
                   nullptr,
                   {"7", "query_esterno", "5"},
                   "Riga utente",
                   "nessuna riga con CODICE = 7 (codici presenti: 1)",
                   "usa un codice utente esistente"});
  cases.push_back({"no Archivio setting",
                   normal,
                   false,
                   false,
                   [](PublicationSetup& s) {
                     TIBDatabase db;
                     AttachDatabase(db, s.Dir() / "config.fdb");
                     ExecuteSql(db,
                                "UPDATE UTENTI SET PLENVIO = '[query_esterno]' || ASCII_CHAR(13) || "
                                "ASCII_CHAR(10) || 'Tema=scuro' WHERE CODICE = 1");
                   },
                   {"1", "query_esterno", "5"},
                   "Ditta e Archivio",
                   "[query_esterno] senza \"Archivio\"",
                   "imposta \"Archivio\""});
  cases.push_back(
      {"unknown company",
       normal,
       false,
       false,
       nullptr,
       {"1", "altra_ditta", "5"},
       "Ditta e Archivio",
       "sezione [altra_ditta] assente nelle impostazioni dell'utente (ditte presenti: query_esterno)",
       "il secondo argomento è il nome della ditta"});
  cases.push_back({"archive missing",
                   normal,
                   false,
                   false,
                   [](PublicationSetup& s) { ::unlink(s.ArchivePath().c_str()); },
                   {"1", "query_esterno", "5"},
                   "Collegamento",
                   "archivio.fdb: EIBInterBaseError",
                   "creerebbe un archivio vuoto"});
  cases.push_back({"a missing table",
                   normal,
                   false,
                   false,
                   OnArchive("DROP TABLE KELITEMPHOTO"),
                   {"1", "query_esterno", "5"},
                   "Tabella KELITEMPHOTO",
                   "assente",
                   "non ha le tabelle di pubblicazione"});
  cases.push_back({"a missing column",
                   normal,
                   false,
                   false,
                   OnArchive("ALTER TABLE KELALBUMPRISM DROP LINK_CONDIVISIONE"),
                   {"1", "query_esterno", "5"},
                   "Tabella KELALBUMPRISM",
                   "mancano le colonne LINK_CONDIVISIONE",
                   "aggiorna lo schema"});
  cases.push_back({"no transfer row",
                   normal,
                   false,
                   false,
                   nullptr,
                   {"1", "query_esterno", "99"},
                   "Riga trasferimento",
                   "nessuna riga di KELTRANSFLOG con ID=99",
                   "controlla l'identificativo"});
  cases.push_back({"no album row",
                   normal,
                   false,
                   false,
                   OnArchive("UPDATE KELTRANSFLOG SET IDALBUM = 42 WHERE ID = 5"),
                   {"1", "query_esterno", "5"},
                   "Riga album",
                   "nessuna riga di KELALBUMPRISM con ID = 42 (la run non trova il trasferimento: \"File da "
                   "caricare non esiste \\.jpg\")",
                   "correggi IDALBUM"});
  cases.push_back({"no photo row",
                   normal,
                   false,
                   false,
                   OnArchive("UPDATE KELTRANSFLOG SET IDITEMPHOTO = NULL WHERE ID = 5"),
                   {"1", "query_esterno", "5"},
                   "Riga foto",
                   "nessuna riga di KELITEMPHOTO con ID =  (la run non trova il trasferimento",
                   "correggi IDITEMPHOTO"});
  cases.push_back({"a missing media file",
                   noFile,
                   false,
                   false,
                   nullptr,
                   {"1", "query_esterno", "5"},
                   "File media",
                   "(la run: \"File da caricare non esiste C:\\Foto\\2024\\sposi.jpg\")",
                   "[PERCORSI]",
                   true});
  cases.push_back({"server down",
                   normal,
                   false,
                   false,
                   OnArchive("UPDATE KELALBUMPRISM SET NOMESITOPRISM = 'http://127.0.0.1:" +
                             std::to_string(closedPort) + "/' WHERE ID = 3"),
                   {"1", "query_esterno", "5"},
                   "Connessione TCP (album 3)",
                   "EIdSocketError: Socket Error # 10061  Connection refused.",
                   "il server è spento"});
  cases.push_back({"wrong password",
                   wrongPassword,
                   false,
                   false,
                   nullptr,
                   {"1", "query_esterno", "5"},
                   "Accesso (album 3)",
                   "account studio: EIdHTTPProtocolException: HTTP/1.1 401",
                   "correggi ACCOUNTUSER/ACCOUNTPASSWORD",
                   true});
  cases.push_back({"expired certificate",
                   normal,
                   true,
                   true,
                   nullptr,
                   {"1", "query_esterno", "5"},
                   "Certificato (album 3)",
                   "scade 2020-02-01 00:00:00 UTC",
                   "rinnova il certificato",
                   true});
  cases.push_back(
      {"wrong pin",
       normal,
       true,
       false,
       [](PublicationSetup& s) {
         ReplaceParameterFile(
             s, DefaultConfig(s) + "ImprontaCertificato=sha256//" + std::string(43, 'A') + "=\r\n");
       },
       {"1", "query_esterno", "5"},
       "Controlli certificato (album 3)",
       "EIdOSSLConnectError: Error connecting with SSL.  ImprontaCertificato: la chiave del server non "
       "corrisponde; impronta del server sha256//",
       "correggi ImprontaCertificato"});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrismPeer::Options options;
    if (c.https) options = WithHttps();
    if (c.expiredCertificate) {
      TestCertificate ca = pki.MakeCa("expired");
      TestCertificate cert = pki.Issue(ca, "expired-server", "127.0.0.1", "IP:127.0.0.1", true);
      options.cert = cert.cert;
      options.key = cert.key;
    }
    PublicationSetup setup(options, c.rows);
    if (c.breakIt) c.breakIt(setup);
    Snapshot before = Take(setup);
    DoctorRun run = RunDoctor(setup, c.args);
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_EQ(run.err, "");
    // Exactly one failing line, the expected one, and every line before it OK.
    int failing = 0;
    for (const std::string& line : run.lines) failing += line.rfind("FAIL ", 0) == 0;
    EXPECT_EQ(failing, 1) << run.out;
    std::string line;
    for (const std::string& l : run.lines) {
      if (l.rfind("FAIL ", 0) == 0) line = l;
    }
    EXPECT_NE(line.find(" - " + c.failingCheck + ": "), std::string::npos) << run.out;
    EXPECT_NE(line.find(c.found), std::string::npos) << line;
    size_t hint = line.find(" -> Cosa fare: ");
    ASSERT_NE(hint, std::string::npos) << line;
    EXPECT_NE(line.find(c.hint, hint), std::string::npos) << line;
    ExpectUnchanged(Take(setup), before);
    EXPECT_EQ(setup.Peer().RequestLines(),
              c.loginSent ? std::vector<std::string>{"POST /api/v1/session"} : std::vector<std::string>{});
  }
}

// Album row 3 names a new album of the server; returns its UID.
std::string ServerAlbum(PublicationSetup& setup) {
  const std::string album = setup.Peer().CreateAlbum("Matrimonio Rossi");
  OnArchive("UPDATE KELALBUMPRISM SET IDALBUMPRISM='" + album + "' WHERE ID=3")(setup);
  return album;
}

TEST(Doctor, WhatARealServerAnswersIsReportedWithWhatToDo) {
  ArchiveRows withAlbum;
  withAlbum.idAlbumPrism = "a5f2";
  const std::string login = "POST /api/v1/session";
  const std::string listing = "GET /api/v1/photos?count=1&offset=0&order=newest&s=";
  PrismPeer::Options oldServer = WithProfile("real");
  oldServer.args = {"--login-answer", "old"};
  struct Case {
    const char* name;
    PrismPeer::Options options;
    ArchiveRows rows;
    std::function<void(PublicationSetup&)> prepare;
    std::string check;
    std::string mark;   // "OK", "WARN" or "FAIL"
    std::string found;  // part of the line's detail
    std::string hint;   // part of its hint ("" for OK)
    std::vector<std::string> requests;  // the listing's album UID follows its "s="
  };
  const std::string limited = R"({"method":"POST","path":"session","status":429,)"
                              R"("body":{"error":"rate limit exceeded","code":429})";
  const Case cases[] = {
      {"the album row's server album exists", WithProfile("real"), ArchiveRows{}, ServerAlbum,
       "Album sul server (album 3)", "OK", "presente sul server", "", {login, listing}},
      {"the server album was deleted", WithProfile("real"), ArchiveRows{},
       [](PublicationSetup& s) { s.Peer().DeleteAlbum(ServerAlbum(s)); }, "Album sul server (album 3)", "FAIL",
       "non esiste più sul server (elenco foto: EIdHTTPProtocolException: HTTP/1.1 400 Bad Request)",
       "svuota IDALBUMPRISM e LINK_CONDIVISIONE della riga album 3", {login, listing}},
      {"a listing refused with 400 (scripted)",
       WithScript("[" + Rule("GET", "^api/v1/photos", 400, R"({"error":"Album not found"})") + "]"), withAlbum,
       nullptr, "Album sul server (album 3)", "FAIL", "album a5f2 non esiste più sul server",
       "la prossima run crea di nuovo l'album", {login, listing}},
      {"a login refused once for the server's limit", WithScript("[" + limited + R"(,"times":1}])"),
       ArchiveRows{}, nullptr, "Accesso (album 3)", "WARN",
       "accesso riuscito dopo 1 rifiuto per il limite di accessi del server",
       "le run avviate insieme (una per foto) aspettano il loro turno fino a 120 s", {login, login}},
      {"a login limit that outlasts the doctor's wait",
       WithScript("[" + limited + R"(,"headers":{"Retry-After":"60"}}])"), ArchiveRows{}, nullptr,
       "Accesso (album 3)", "WARN",
       "EIdHTTPProtocolException: HTTP/1.1 429 Too Many Requests ancora dopo 2 tentativi",
       "avvia meno run alla volta, oppure pubblica con velmora-batch", {login, login}},
      {"a server too old to give access_token", oldServer, ArchiveRows{}, nullptr, "Accesso (album 3)", "FAIL",
       "la risposta ha \"id\" ma nessun access_token",
       "aggiorna il server Prism a una versione del 2024 o successiva", {login}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublicationSetup setup(c.options, c.rows);
    if (c.prepare) c.prepare(setup);
    Snapshot before = Take(setup);
    DoctorRun run = RunDoctor(setup, {"1", "query_esterno", "5"});
    EXPECT_EQ(run.exitCode, c.mark == "FAIL" ? 1 : 0) << run.out;
    EXPECT_EQ(run.err, "");
    const std::string line = LineOf(run, c.check);
    EXPECT_EQ(line.substr(0, c.mark.size() + 1), c.mark + " ") << run.out;
    EXPECT_NE(line.find(c.found), std::string::npos) << line;
    if (c.mark == "OK") {
      EXPECT_EQ(line.find(" -> Cosa fare: "), std::string::npos) << line;
    } else {
      size_t hint = line.find(" -> Cosa fare: ");
      ASSERT_NE(hint, std::string::npos) << line;
      EXPECT_NE(line.find(c.hint, hint), std::string::npos) << line;
    }
    // Every other line is OK.
    for (const std::string& l : run.lines) {
      if (l != line) {
        EXPECT_EQ(l.substr(0, 3), "OK ") << l;
      }
    }
    ExpectUnchanged(Take(setup), before);
    std::vector<std::string> requests = c.requests;
    for (std::string& r : requests) {
      if (r == listing) r += setup.AlbumRow()[2];
    }
    EXPECT_EQ(setup.Peer().RequestLines(), requests);
  }
}

// The doctor reads the user code by the run's own rule: for every code the
// run refuses (its report line) the doctor fails the user row with the
// same report, and a code the run accepts names the same row for both.
TEST(Doctor, ReadsTheUserCodeAsTheRunDoes) {
  struct Case {
    std::string code;
    bool refused;        // the run ends with EConvertError
    std::string doctor;  // part of the doctor's "Riga utente" line
    bool found = false;  // the row exists: the run gets past "Archivio vuoto"
  };
  const Case cases[] = {
      {.code = "+-5", .refused = true, .doctor = "non numerico"},
      {.code = "007", .refused = false, .doctor = "nessuna riga con CODICE = 7 "},
      {.code = "-0", .refused = false, .doctor = "nessuna riga con CODICE = 0 "},
      {.code = "+1", .refused = false, .doctor = "CODICE = 1 trovato", .found = true},
      {.code = "0001", .refused = false, .doctor = "CODICE = 1 trovato", .found = true},
      {.code = "-2147483648", .refused = false, .doctor = "nessuna riga con CODICE = -2147483648 "},
      {.code = "2147483648", .refused = true, .doctor = "non numerico"},
      {.code = " 1", .refused = true, .doctor = "non numerico"},
      {.code = "1 ", .refused = true, .doctor = "non numerico"},
      {.code = "", .refused = true, .doctor = "non numerico"},
      {.code = "uno", .refused = true, .doctor = "non numerico"},
      {.code = "1x", .refused = true, .doctor = "non numerico"},
  };
  PublicationSetup setup({}, ArchiveRows{});
  const std::string program = setup.Dir() / "velmora";
  CopyFile(BinaryPath("app/velmora"), program);
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.code + "\"");
    // Transfer row 999 does not exist: an accepted code never publishes.
    ProcessResult run = RunProcess({program, c.code, "query_esterno", "-", "999"}, setup.Dir().Path(),
                                   {{"DISPLAY", ""}}, 300);
    const std::string report = "EConvertError: '" + c.code + "' is not a valid integer value";
    const std::vector<std::string> lines = ConsoleLines(run.out);
    if (c.refused) {
      EXPECT_EQ(lines, std::vector<std::string>{report});
    } else {
      EXPECT_EQ(run.out.find("EConvertError"), std::string::npos) << run.out;
      EXPECT_EQ(run.out.find("Archivio vuoto") == std::string::npos, c.found) << run.out;
    }
    DoctorRun doctor = RunDoctor(setup, {"--", c.code, "query_esterno"});
    const std::string line = LineOf(doctor, "Riga utente");
    EXPECT_NE(line.find(c.doctor), std::string::npos) << line;
    if (c.refused) {
      EXPECT_NE(line.find("(la run: " + report + ")"), std::string::npos) << line;
    }
    EXPECT_EQ(line.rfind(c.found ? "OK " : "FAIL", 0), 0u) << line;
  }
}

TEST(Doctor, JsonCarriesTheSameChecks) {
  ArchiveRows rows;
  rows.createFile = false;
  PublicationSetup setup({}, rows);
  DoctorRun text = RunDoctor(setup, {"1", "query_esterno", "5"});
  DoctorRun json = RunDoctor(setup, {"--json", "1", "query_esterno", "5"});
  EXPECT_EQ(json.exitCode, 1);
  ASSERT_EQ(json.lines.size(), 1u) << json.out;
  auto document = ParseJSONValue(json.lines[0]);
  ASSERT_TRUE(document) << json.out;
  EXPECT_EQ(document->GetValue("esito").AsText(), "FAIL");
  EXPECT_EQ(document->GetValue("trasferimento").AsText(), "5");
  const TJSONArray& checks = document->GetValue("verifiche").AsArray();
  ASSERT_EQ(checks.Count(), text.lines.size());
  for (size_t i = 0; i < checks.Count(); ++i) {
    const TJSONValue& check = checks.Items(i);
    std::string expected = check.GetValue("esito").AsText();
    expected.resize(4, ' ');
    expected += " " + check.GetValue("gruppo").AsText() + " " + check.GetValue("area").AsText() + " - " +
                check.GetValue("nome").AsText() + ": " + check.GetValue("dettaglio").AsText();
    if (expected.rfind("OK", 0) != 0) expected += " -> Cosa fare: " + check.GetValue("suggerimento").AsText();
    EXPECT_EQ(expected, text.lines[i]);
  }
}

TEST(Doctor, ReaderGoneEndsWithItsOwnExitCode) {
  // Standard output is a pipe nobody reads: every line is lost (EPIPE), yet
  // the diagnosis goes as far as with a reader, sends the server the same
  // requests, and gives the same exit code, SIGPIPE or not.
  PublicationSetup setup({}, ArchiveRows{});
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"lines as the checks end", {"1", "query_esterno", "5"}},
      {"a failed check", {"1", "query_esterno", "999"}},
      {"one JSON document at the end", {"--json", "1", "query_esterno", "5"}},
      {"help", {"--help"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t start = setup.Peer().RequestLines().size();
    const int withReader = RunDoctor(setup, c.args).exitCode;
    ASSERT_NE(withReader, -1);
    const size_t middle = setup.Peer().RequestLines().size();
    ReaderGoneResult gone = RunWithReaderGone(DoctorArgv(setup, c.args), setup.Dir().Path(), DoctorEnv(), 300);
    ASSERT_NE(gone.waitStatus, -1) << "still running at the time limit";
    ASSERT_FALSE(WIFSIGNALED(gone.waitStatus)) << "ended by signal " << WTERMSIG(gone.waitStatus) << gone.err;
    ASSERT_TRUE(WIFEXITED(gone.waitStatus));
    EXPECT_EQ(WEXITSTATUS(gone.waitStatus), withReader) << gone.err;
    EXPECT_EQ(setup.Peer().RequestLines().size() - middle, middle - start);
  }
}

TEST(Doctor, CommandLine) {
  PublicationSetup setup({}, ArchiveRows{});
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // beginning of standard output
    std::string err;  // beginning of standard error
  };
  const Case cases[] = {
      {{"--help"}, 0, "Uso: velmora-doctor [opzioni] UTENTE DITTA [ID_TRASFERIMENTO]\n", ""},
      {{"--version"}, 0, "velmora-doctor ", ""},
      {{}, 2, "", "velmora-doctor: mancano UTENTE e DITTA\n"},
      {{"1"}, 2, "", "velmora-doctor: mancano UTENTE e DITTA\n"},
      {{"1", "a", "5", "6"}, 2, "", "velmora-doctor: troppi argomenti\n"},
      {{"--colore", "1", "a"}, 2, "", "velmora-doctor: opzione sconosciuta: --colore\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    DoctorRun run = RunDoctor(setup, c.args);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
  }
  // No colour when standard output is not a terminal.
  DoctorRun plain = RunDoctor(setup, {"1", "query_esterno"});
  EXPECT_EQ(plain.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(setup.Peer().RequestLines(), (std::vector<std::string>{"POST /api/v1/session"}));
}

}  // namespace
}  // namespace velmora::test
