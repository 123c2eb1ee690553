// Opening the archive: the connect strings and messages of ApriArchivio
// against a connection that records every attempt, and real runs on the
// embedded engine.
#include "archive/QorDB.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "archive/DBUtility.h"
#include "archive/Qorin2.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "tests/archive/ScriptedDesktop.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

using test::ScriptedDesktop;
using test::TempDir;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

// A connection that never reaches a server: it records each attach and
// create (connect string, Params, dialect) and succeeds only for the connect
// strings it was told to accept.
class RecordingDatabase : public TIBDatabase {
 public:
  struct Attempt {
    std::string kind;  // "attach" or "create"
    std::string name;
    Lines params;
    int dialect;
    bool loginPrompt;
  };
  Lines attachable;
  Lines creatable;
  std::vector<Attempt> attempts;

  bool Connected() const noexcept override { return connected_; }
  void Open() override { Try("attach", attachable); }
  void CreateDatabase() override { Try("create", creatable); }
  void Close() override { connected_ = false; }
  void ForceClose() noexcept override { connected_ = false; }

  // "attach <name>" / "create <name>" in order.
  Lines Summary() const {
    Lines out;
    for (const Attempt& a : attempts) out.push_back(a.kind + " " + a.name);
    return out;
  }

 private:
  void Try(const std::string& kind, const Lines& accepted) {
    attempts.push_back({kind, DatabaseName, Params, SQLDialect(), LoginPrompt});
    if (connected_) throw EIBClientError("Cannot perform operation -- DB is currently open", 16);
    if (std::find(accepted.begin(), accepted.end(), DatabaseName) == accepted.end()) {
      throw EIBInterBaseError("Unable to complete network request to host", -902, 335544721);
    }
    connected_ = true;
  }
  bool connected_ = false;
};

const Lines kAttachParams{"user_name=SYSDBA", "password=quietlamp"};
const Lines kCreateParams{"USER \"SYSDBA\"", "PASSWORD \"quietlamp\"", "PAGE_SIZE 4096"};
const char* const kCreated = "message: Effettuata creazione data base";
const char* const kMissing = "message: Non trovato dati.ini";
const char* const kPrompt = "prompt: Non trovato dati.ini";
const char* const kFailed = "message: Apertura / creazione del database non riuscita!";
const char* const kNetworkError =
    "message: Errore: nonostante le configurazioni, il particolare percorso di rete sta rendendo "
    "impossibile l'attivazione del database";

// Archive directories are given as stored on the clients (drive letters,
// UNC); the parameter file maps them onto a temporary directory, where
// "dati.ini" is read and written.
class ApriArchivioTest : public ::testing::Test {
 protected:
  ApriArchivioTest() : param_(tmp_ / "parametri.ini") {}
  // Writes `config` into the "dati.ini" of `dir` (its directory is created).
  void PrepareDir(const std::string& dir, const Pairs& config) {
    std::string ini = DatiIniPath(dir, param_);
    std::filesystem::create_directories(ExtractFilePath(ini));
    for (const auto& [key, value] : config) WriteProfileString(ini, "CONFIG", key, value);
  }
  TempDir tmp_;
  std::string param_;
};

struct OpenCase {
  const char* title;
  const char* dir;
  const char* fileName;
  Pairs ini;  // section CONFIG of dati.ini
  Lines attachable;
  Lines creatable;
  uint16_t esito;  // the prompt's answer
  const char* edit1;
  const char* edit2;
  bool result;
  Lines attempts;
  Lines events;
};

TEST_F(ApriArchivioTest, ConnectStringsAndMessages) {
  const std::string plain = R"(D:\Archivi\archivio.fdb)";
  const OpenCase cases[] = {
      {"plain directory, database present",
       R"(D:\Archivi\)",
       "",
       {},
       {plain},
       {},
       2,
       "",
       "",
       true,
       {"attach " + plain},
       {}},
      {"plain directory, database missing: created",
       R"(D:\Archivi\)",
       "",
       {},
       {},
       {plain},
       2,
       "",
       "",
       true,
       {"attach " + plain, "create " + plain},
       {kCreated}},
      {"alias first, created under the alias before any other form",
       R"(D:\Archivi\)",
       "",
       {{"Nome Server", "srv"}, {"Alias", "arch"}},
       {plain},
       {"srv:arch"},
       2,
       "",
       "",
       true,
       {"attach srv:arch", "create srv:arch"},
       {kCreated}},
      {"alias failing entirely, then the directory",
       R"(D:\Archivi\)",
       "",
       {{"Nome Server", "srv"}, {"Alias", "arch"}},
       {plain},
       {},
       2,
       "",
       "",
       true,
       {"attach srv:arch", "create srv:arch", "attach " + plain},
       {}},
      {"alias without server is not tried",
       R"(D:\Archivi\)",
       "",
       {{"Alias", "arch"}},
       {plain},
       {},
       2,
       "",
       "",
       true,
       {"attach " + plain},
       {}},
      {"PercorsoDatabase: one silent attempt",
       R"(D:\Archivi\)",
       "a.fdb",
       {{"Nome Server", "srv"}, {"PercorsoDatabase", R"(dati\archivi)"}},
       {plain},
       {},
       1,
       "srv",
       "E",
       false,
       {R"(attach \\srv\dati\archivi\a.fdb)", R"(create \\srv\dati\archivi\a.fdb)"},
       {}},
      {"PercorsoDatabase ending with its delimiter",
       R"(D:\Archivi\)",
       "a.fdb",
       {{"Nome Server", "srv"}, {"PercorsoDatabase", R"(dati\archivi\)"}},
       {R"(\\srv\dati\archivi\a.fdb)"},
       {},
       2,
       "",
       "",
       true,
       {R"(attach \\srv\dati\archivi\a.fdb)"},
       {}},
      {"UNC directory on a drive share",
       R"(\\srv\D\archivi\)",
       "",
       {},
       {R"(srv:D:\archivi\archivio.fdb)"},
       {},
       2,
       "",
       "",
       true,
       {R"(attach srv:D:\archivi\archivio.fdb)"},
       {}},
      {"UNC directory on a named share: warning, no attempt, no prompt",
       R"(\\srv\dati\archivi\)",
       "",
       {},
       {},
       {},
       1,
       "srv",
       "",
       false,
       {},
       {"message: " + AvvisoCondivisione("dati")}},
      {"named share with Percorso Nel Server, failing",
       R"(\\srv\dati\archivi\)",
       "",
       {{"Percorso Nel Server", R"(E:\dati\archivi\)"}},
       {},
       {},
       1,
       "srv",
       "",
       false,
       {R"(attach srv:E:\dati\archivi\archivio.fdb)", R"(create srv:E:\dati\archivi\archivio.fdb)"},
       {kNetworkError}},
      {"named share with Percorso Nel Server, opening",
       R"(\\srv\dati\archivi\)",
       "",
       {{"Percorso Nel Server", R"(E:\dati\archivi\)"}},
       {R"(srv:E:\dati\archivi\archivio.fdb)"},
       {},
       2,
       "",
       "",
       true,
       {R"(attach srv:E:\dati\archivi\archivio.fdb)"},
       {}},
      {"prompt: the drive text replaces the first character",
       R"(D:\Archivi\)",
       "",
       {},
       {R"(srv:E:\Archivi\archivio.fdb)"},
       {},
       1,
       "srv",
       "E",
       true,
       {"attach " + plain, "create " + plain, R"(attach srv:E:\Archivi\archivio.fdb)"},
       {kMissing, kPrompt}},
      {"prompt: a two-character drive replaces one character; failing says nothing more",
       R"(D:\Archivi\)",
       "",
       {},
       {},
       {},
       1,
       "srv",
       "E:",
       false,
       {"attach " + plain, "create " + plain, R"(attach srv:E::\Archivi\archivio.fdb)",
        R"(create srv:E::\Archivi\archivio.fdb)"},
       {kMissing, kPrompt}},
      {"prompt after a UNC attempt keeps the server path",
       R"(\\srv\D\archivi\)",
       "",
       {},
       {R"(srv2:srv:D:\archivi\archivio.fdb)"},
       {},
       1,
       "srv2",
       "",
       true,
       {R"(attach srv:D:\archivi\archivio.fdb)", R"(create srv:D:\archivi\archivio.fdb)",
        R"(attach srv2:srv:D:\archivi\archivio.fdb)"},
       {kMissing, kPrompt}},
      {"prompt cancelled",
       R"(D:\Archivi\)",
       "",
       {},
       {},
       {},
       2,
       "srv",
       "E",
       false,
       {"attach " + plain, "create " + plain},
       {kMissing, kPrompt, kFailed}},
      {"prompt answered with an empty server",
       R"(D:\Archivi\)",
       "",
       {},
       {},
       {},
       1,
       "",
       "E",
       false,
       {"attach " + plain, "create " + plain},
       {kMissing, kPrompt, kFailed}},
      {"server and drive known in dati.ini: no prompt",
       R"(D:\Archivi\)",
       "",
       {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}},
       {R"(srv:E:\Archivi\archivio.fdb)"},
       {},
       2,
       "",
       "",
       true,
       {"attach " + plain, "create " + plain, R"(attach srv:E:\Archivi\archivio.fdb)"},
       {}},
      {"directory without its delimiter runs into the file name",
       R"(D:\Archivi)",
       "",
       {},
       {R"(D:\Archiviarchivio.fdb)"},
       {},
       2,
       "",
       "",
       true,
       {R"(attach D:\Archiviarchivio.fdb)"},
       {}},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir scratch;  // a fresh mapping target per case
    WriteProfileString(param_, "PERCORSI", "D:\\", scratch / "d/");
    WriteProfileString(param_, "PERCORSI", "\\\\srv\\", scratch / "srv/");
    PrepareDir(c.dir, c.ini);
    RecordingDatabase db;
    db.attachable = c.attachable;
    db.creatable = c.creatable;
    ScriptedDesktop desktop;
    desktop.answerEsito = c.esito;
    desktop.answerEdit1 = c.edit1;
    desktop.answerEdit2 = c.edit2;
    DesktopOverride use(desktop);

    bool result = ApriArchivio(db, c.dir, c.fileName, "", "", nullptr, param_);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(db.Connected(), c.result);
    EXPECT_EQ(db.Summary(), c.attempts);
    EXPECT_EQ(desktop.events, c.events);
    for (const auto& attempt : db.attempts) {
      SCOPED_TRACE(attempt.kind + " " + attempt.name);
      EXPECT_EQ(attempt.params, attempt.kind == "attach" ? kAttachParams : kCreateParams);
      EXPECT_FALSE(attempt.loginPrompt);
      if (attempt.kind == "create") {
        EXPECT_EQ(attempt.dialect, 3);
      }
    }
  }
}

TEST(ConnettiDatabaseTest, CredentialsAndLeftoverParams) {
  struct Case {
    const char* user;
    const char* password;
    Lines attach;
    Lines create;
  };
  const Case cases[] = {
      {"", "", kAttachParams, kCreateParams},
      {"MARIO",
       "segreto",
       {"user_name=MARIO", "password=segreto"},
       {"USER \"MARIO\"", "PASSWORD \"segreto\"", "PAGE_SIZE 4096"}},
      // A quote in a credential is doubled, so it cannot end the quoted text.
      {"",
       "a\"b",
       {"user_name=SYSDBA", "password=a\"b"},
       {"USER \"SYSDBA\"", "PASSWORD \"a\"\"b\"", "PAGE_SIZE 4096"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    RecordingDatabase db;
    ScriptedDesktop desktop;
    DesktopOverride use(desktop);
    EXPECT_FALSE(ConnettiDatabase(db, "/srv/a.fdb", "", "", c.user, c.password));
    ASSERT_EQ(db.attempts.size(), 2u);
    EXPECT_EQ(db.attempts[0].params, c.attach);
    EXPECT_EQ(db.attempts[1].params, c.create);
    // After a false result the connection is unconnected and keeps the create lines.
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(db.Params, c.create);
    EXPECT_TRUE(desktop.events.empty());
  }
}

TEST(ConnettiDatabaseTest, DisconnectsFirst) {
  RecordingDatabase db;
  db.attachable = {"/a.fdb", "/b.fdb"};
  ScriptedDesktop desktop;
  DesktopOverride use(desktop);
  ASSERT_TRUE(ConnettiDatabase(db, "/a.fdb", "", "", "", ""));
  ASSERT_TRUE(ConnettiDatabase(db, "/b.fdb", "", "", "", ""));
  EXPECT_EQ(db.Summary(), (Lines{"attach /a.fdb", "attach /b.fdb"}));
}

TEST(PercorsoDiReteTest, ServerPaths) {
  struct Case {
    const char* dir;
    const char* pathOnServer;
    const char* prefix;
    bool sharedByName;
    const char* warnedShare;  // empty: no warning
  };
  const Case cases[] = {
      {R"(\\srv\D\archivi\)", "", R"(srv:D:\archivi\)", false, ""},
      {R"(\\srv\D\)", "", R"(srv:D:\)", false, ""},
      {R"(\\srv\dati\archivi\)", "", R"(dati\archivi\)", true, "dati"},
      {R"(\\srv\dati\archivi\)", R"(E:\dati\archivi\)", R"(srv:E:\dati\archivi\)", true, ""},
      {R"(\\srv\D\archivi\)", R"(E:\x\)", R"(srv:D:\archivi\)", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " | " + c.pathOnServer);
    std::string prefix, share;
    bool sharedByName = false;
    bool warned = PercorsoDiReteText(c.dir, c.pathOnServer, prefix, sharedByName, share);
    EXPECT_EQ(prefix, c.prefix);
    EXPECT_EQ(sharedByName, c.sharedByName);
    EXPECT_EQ(share, c.warnedShare);
    EXPECT_EQ(warned, *c.warnedShare != '\0');
  }
  // SharedByName is never reset by a drive share.
  std::string prefix;
  bool sharedByName = true;
  EXPECT_FALSE(PercorsoDiRete(R"(\\srv\D\x\)", "", prefix, sharedByName));
  EXPECT_TRUE(sharedByName);
}

TEST(PercorsoDiReteTest, WarningText) {
  EXPECT_EQ(
      AvvisoCondivisione("dati"),
      "Attenzione: il disco con gli archivi è stato condiviso in rete con un nome - dati - e non con la "
      "lettera che lo identifica. Si consiglia di correggere la condivisione oppure di correggere "
      "manualmente la sezione Percorso Nel Server nel file Dati.ini accanto al database");
}

// Real runs on the embedded engine (local paths need no server).
TEST(ApriArchivioEmbeddedTest, CreatesAMissingArchiveAndIsConnected) {
  TempDir dir;
  ScriptedDesktop desktop;
  DesktopOverride use(desktop);
  TIBDatabase db;
  ASSERT_TRUE(ApriArchivio(db, dir.Path(), "", "", ""));
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(desktop.events, Lines{kCreated});
  EXPECT_TRUE(FileExists(dir / "archivio.fdb"));
  EXPECT_EQ(db.DBSQLDialect(), 3);
  EXPECT_TRUE(EsisteTabella(db, "RDB$RELATIONS"));
  EXPECT_FALSE(EsisteTabella(db, "KELTRANSFLOG"));
}

TEST(ApriArchivioEmbeddedTest, AttachesAnExistingArchive) {
  TempDir dir;
  test::CreateArchiveDatabase(dir / "foto.fdb");
  ScriptedDesktop desktop;
  DesktopOverride use(desktop);
  TIBDatabase db;
  ASSERT_TRUE(ApriArchivio(db, dir.Path(), "foto.fdb", "", ""));
  EXPECT_TRUE(db.Connected());
  EXPECT_TRUE(desktop.events.empty());
  EXPECT_TRUE(EsisteTabella(db, "KELTRANSFLOG"));  // the existing archive, not a new one
}

TEST(ApriArchivioEmbeddedTest, UnreachableDirectoryAsksThenGivesUp) {
  TempDir dir;
  const std::string missing = dir / "assente/";
  ScriptedDesktop desktop;  // the prompt is cancelled
  DesktopOverride use(desktop);
  TIBDatabase db;
  EXPECT_FALSE(ApriArchivio(db, missing, "", "", ""));
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(desktop.events, (Lines{kMissing, kPrompt, kFailed}));
  EXPECT_EQ(db.Params, kCreateParams);
}

}  // namespace
}  // namespace velmora
