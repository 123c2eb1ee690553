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
      {.title = "plain directory, database present",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {plain},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {"attach " + plain},
       .events = {}},
      {.title = "plain directory, database missing: created",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {},
       .creatable = {plain},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {"attach " + plain, "create " + plain},
       .events = {kCreated}},
      {.title = "alias first, created under the alias before any other form",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {{"Nome Server", "srv"}, {"Alias", "arch"}},
       .attachable = {plain},
       .creatable = {"srv:arch"},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {"attach srv:arch", "create srv:arch"},
       .events = {kCreated}},
      {.title = "alias failing entirely, then the directory",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {{"Nome Server", "srv"}, {"Alias", "arch"}},
       .attachable = {plain},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {"attach srv:arch", "create srv:arch", "attach " + plain},
       .events = {}},
      {.title = "alias without server is not tried",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {{"Alias", "arch"}},
       .attachable = {plain},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {"attach " + plain},
       .events = {}},
      {.title = "PercorsoDatabase: one silent attempt",
       .dir = R"(D:\Archivi\)",
       .fileName = "a.fdb",
       .ini = {{"Nome Server", "srv"}, {"PercorsoDatabase", R"(dati\archivi)"}},
       .attachable = {plain},
       .creatable = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "E",
       .result = false,
       .attempts = {R"(attach \\srv\dati\archivi\a.fdb)", R"(create \\srv\dati\archivi\a.fdb)"},
       .events = {}},
      {.title = "PercorsoDatabase ending with its delimiter",
       .dir = R"(D:\Archivi\)",
       .fileName = "a.fdb",
       .ini = {{"Nome Server", "srv"}, {"PercorsoDatabase", R"(dati\archivi\)"}},
       .attachable = {R"(\\srv\dati\archivi\a.fdb)"},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {R"(attach \\srv\dati\archivi\a.fdb)"},
       .events = {}},
      {.title = "UNC directory on a drive share",
       .dir = R"(\\srv\D\archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {R"(srv:D:\archivi\archivio.fdb)"},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {R"(attach srv:D:\archivi\archivio.fdb)"},
       .events = {}},
      {.title = "UNC directory on a named share: warning, no attempt, no prompt",
       .dir = R"(\\srv\dati\archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {},
       .creatable = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "",
       .result = false,
       .attempts = {},
       .events = {"message: " + AvvisoCondivisione("dati")}},
      {.title = "named share with Percorso Nel Server, failing",
       .dir = R"(\\srv\dati\archivi\)",
       .fileName = "",
       .ini = {{"Percorso Nel Server", R"(E:\dati\archivi\)"}},
       .attachable = {},
       .creatable = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "",
       .result = false,
       .attempts = {R"(attach srv:E:\dati\archivi\archivio.fdb)",
                    R"(create srv:E:\dati\archivi\archivio.fdb)"},
       .events = {kNetworkError}},
      {.title = "named share with Percorso Nel Server, opening",
       .dir = R"(\\srv\dati\archivi\)",
       .fileName = "",
       .ini = {{"Percorso Nel Server", R"(E:\dati\archivi\)"}},
       .attachable = {R"(srv:E:\dati\archivi\archivio.fdb)"},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {R"(attach srv:E:\dati\archivi\archivio.fdb)"},
       .events = {}},
      {.title = "prompt: the drive text replaces the first character",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {R"(srv:E:\Archivi\archivio.fdb)"},
       .creatable = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "E",
       .result = true,
       .attempts = {"attach " + plain, "create " + plain, R"(attach srv:E:\Archivi\archivio.fdb)"},
       .events = {kMissing, kPrompt}},
      {.title = "prompt: a two-character drive replaces one character; failing says nothing more",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {},
       .creatable = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "E:",
       .result = false,
       .attempts = {"attach " + plain, "create " + plain, R"(attach srv:E::\Archivi\archivio.fdb)",
                    R"(create srv:E::\Archivi\archivio.fdb)"},
       .events = {kMissing, kPrompt}},
      {.title = "prompt after a UNC attempt keeps the server path",
       .dir = R"(\\srv\D\archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {R"(srv2:srv:D:\archivi\archivio.fdb)"},
       .creatable = {},
       .esito = 1,
       .edit1 = "srv2",
       .edit2 = "",
       .result = true,
       .attempts = {R"(attach srv:D:\archivi\archivio.fdb)", R"(create srv:D:\archivi\archivio.fdb)",
                    R"(attach srv2:srv:D:\archivi\archivio.fdb)"},
       .events = {kMissing, kPrompt}},
      {.title = "prompt cancelled",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {},
       .creatable = {},
       .esito = 2,
       .edit1 = "srv",
       .edit2 = "E",
       .result = false,
       .attempts = {"attach " + plain, "create " + plain},
       .events = {kMissing, kPrompt, kFailed}},
      {.title = "prompt answered with an empty server",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {},
       .attachable = {},
       .creatable = {},
       .esito = 1,
       .edit1 = "",
       .edit2 = "E",
       .result = false,
       .attempts = {"attach " + plain, "create " + plain},
       .events = {kMissing, kPrompt, kFailed}},
      {.title = "server and drive known in dati.ini: no prompt",
       .dir = R"(D:\Archivi\)",
       .fileName = "",
       .ini = {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}},
       .attachable = {R"(srv:E:\Archivi\archivio.fdb)"},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {"attach " + plain, "create " + plain, R"(attach srv:E:\Archivi\archivio.fdb)"},
       .events = {}},
      {.title = "directory without its delimiter runs into the file name",
       .dir = R"(D:\Archivi)",
       .fileName = "",
       .ini = {},
       .attachable = {R"(D:\Archiviarchivio.fdb)"},
       .creatable = {},
       .esito = 2,
       .edit1 = "",
       .edit2 = "",
       .result = true,
       .attempts = {R"(attach D:\Archiviarchivio.fdb)"},
       .events = {}},
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
