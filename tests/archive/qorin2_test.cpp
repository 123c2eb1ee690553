// ChiediServer with a scripted prompt and its write errors (the real dialog
// and message box are tested in tests/window/).
#include "archive/Qorin2.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "archive/QorDB.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "tests/archive/ScriptedDesktop.h"
#include "tests/support/ExpectRaises.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

using test::ScriptedDesktop;
using test::TempDir;
using Pairs = std::vector<std::pair<std::string, std::string>>;

const char* const kMissing = "message: Non trovato dati.ini";
const char* const kPrompt = "prompt: Non trovato dati.ini";

struct ChiediCase {
  const char* title;
  Pairs iniBefore;  // section CONFIG of dati.ini; empty: no file
  uint16_t esito;
  const char* edit1;
  const char* edit2;
  const char* server;  // expected outputs
  const char* drive;
  bool asked;      // message and prompt shown
  Pairs iniAfter;  // CONFIG afterwards; empty: no file
};

TEST(ChiediServerTest, ReadsAsksAndStores) {
  const ChiediCase cases[] = {
      {.title = "known server: no message, no dialog",
       .iniBefore = {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}},
       .esito = 1,
       .edit1 = "other",
       .edit2 = "F",
       .server = "srv",
       .drive = "E",
       .asked = false,
       .iniAfter = {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}}},
      {.title = "no file, OK with server only",
       .iniBefore = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "",
       .server = "srv",
       .drive = "",
       .asked = true,
       .iniAfter = {{"Nome Server", "srv"}}},
      {.title = "no file, OK with both",
       .iniBefore = {},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "E",
       .server = "srv",
       .drive = "E",
       .asked = true,
       .iniAfter = {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}}},
      {.title = "typed texts are kept as typed",
       .iniBefore = {},
       .esito = 1,
       .edit1 = " srv ",
       .edit2 = " E",
       .server = " srv ",
       .drive = " E",
       .asked = true,
       .iniAfter = {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}}},
      {.title = "OK with both empty writes an empty server",
       .iniBefore = {},
       .esito = 1,
       .edit1 = "",
       .edit2 = "",
       .server = "",
       .drive = "",
       .asked = true,
       .iniAfter = {{"Nome Server", ""}}},
      {.title = "Cancel writes nothing",
       .iniBefore = {},
       .esito = 2,
       .edit1 = "srv",
       .edit2 = "E",
       .server = "",
       .drive = "",
       .asked = true,
       .iniAfter = {}},
      {.title = "closed window writes nothing",
       .iniBefore = {},
       .esito = 0,
       .edit1 = "srv",
       .edit2 = "E",
       .server = "",
       .drive = "",
       .asked = true,
       .iniAfter = {}},
      {.title = "key present but empty still asks",
       .iniBefore = {{"Nome Server", ""}},
       .esito = 2,
       .edit1 = "srv",
       .edit2 = "",
       .server = "",
       .drive = "",
       .asked = true,
       .iniAfter = {{"Nome Server", ""}}},
      {.title = "drive only, Cancel keeps the file's drive",
       .iniBefore = {{"Lettera Disco Server", "E"}},
       .esito = 2,
       .edit1 = "srv",
       .edit2 = "F",
       .server = "",
       .drive = "E",
       .asked = true,
       .iniAfter = {{"Lettera Disco Server", "E"}}},
      {.title = "drive only, OK returns the typed drive",
       .iniBefore = {{"Lettera Disco Server", "E"}},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "F",
       .server = "srv",
       .drive = "F",
       .asked = true,
       .iniAfter = {{"Lettera Disco Server", "F"}, {"Nome Server", "srv"}}},
      {.title = "drive only, OK with empty drive leaves the file's drive",
       .iniBefore = {{"Lettera Disco Server", "E"}},
       .esito = 1,
       .edit1 = "srv",
       .edit2 = "",
       .server = "srv",
       .drive = "",
       .asked = true,
       .iniAfter = {{"Lettera Disco Server", "E"}, {"Nome Server", "srv"}}},
  };
  for (const ChiediCase& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir dir;
    const std::string ini = dir / "dati.ini";
    for (const auto& [key, value] : c.iniBefore) WriteProfileString(ini, "CONFIG", key, value);
    ScriptedDesktop desktop;
    desktop.answerEsito = c.esito;
    desktop.answerEdit1 = c.edit1;
    desktop.answerEdit2 = c.edit2;
    DesktopOverride use(desktop);

    ServerLocation location = ChiediServer(dir.Path());

    EXPECT_EQ(location.serverName, c.server);
    EXPECT_EQ(location.driveLetter, c.drive);
    std::vector<std::string> expectedEvents;
    if (c.asked) expectedEvents = {kMissing, kPrompt};
    EXPECT_EQ(desktop.events, expectedEvents);
    EXPECT_EQ(FileExists(ini), !c.iniAfter.empty() || !c.iniBefore.empty());
    EXPECT_EQ(ReadProfileSection(ini, "CONFIG"), c.iniAfter.empty() ? c.iniBefore : c.iniAfter);
  }
}

TEST(ChiediServerTest, ShowsTheChangedForm) {
  TempDir dir;
  ScriptedDesktop desktop;
  DesktopOverride use(desktop);
  ChiediServer(dir.Path());
  const PromptForm& form = desktop.shownForm;
  EXPECT_EQ(form.caption, "Non trovato dati.ini");
  EXPECT_EQ(form.label,
            "Inserire il nome del computer e la lettera della sua\r\n"
            "unità disco dove risulta ospitato (o sarà ospitato) il database");
  EXPECT_EQ(form.fontName, "Arial");
  EXPECT_EQ(form.fontPixels, 11);  // 8 points
  EXPECT_EQ(form.labelTop, 22);
  EXPECT_EQ(form.edit1, "");
  EXPECT_EQ(form.edit2, "");
}

TEST(ChiediServerTest, EmptyAnswerAsksAgainNextTime) {
  TempDir dir;
  ScriptedDesktop desktop;
  desktop.answerEsito = 1;
  DesktopOverride use(desktop);
  EXPECT_EQ(ChiediServer(dir.Path()).serverName, "");
  EXPECT_EQ(ChiediServer(dir.Path()).serverName, "");
  EXPECT_EQ(desktop.events, (std::vector<std::string>{kMissing, kPrompt, kMissing, kPrompt}));
}

TEST(ChiediServerTest, UnwritableFileRaises) {
  struct Case {
    const char* title;
    std::string dir;  // relative to the temporary directory
    void (*prepare)(const TempDir&);
  };
  const Case cases[] = {
      {"dati.ini is a directory", "",
       [](const TempDir& t) { ASSERT_EQ(::mkdir((t / "dati.ini").c_str(), 0755), 0); }},
      {"directory path through a regular file", "plain/sub/",
       [](const TempDir& t) { test::WriteFileBytes(t / "plain", "x"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir tmp;
    c.prepare(tmp);
    const std::string dir = tmp.Path() + c.dir;
    ScriptedDesktop desktop;
    desktop.answerEsito = 1;
    desktop.answerEdit1 = "srv";
    DesktopOverride use(desktop);
    test::ExpectRaises<EIniFileException>([&] { ChiediServer(dir); },
                                          "Unable to write to " + dir + "dati.ini");
    EXPECT_EQ(desktop.events, (std::vector<std::string>{kMissing, kPrompt}));
  }
}

TEST(ChiediServerTest, MapsStoredDirectoriesThroughTheParameterFile) {
  TempDir tmp;
  const std::string param = tmp / "param.ini";
  WriteProfileString(param, "PERCORSI", "\\\\srv\\", tmp.Path());
  ASSERT_EQ(::mkdir((tmp / "dati").c_str(), 0755), 0);
  WriteProfileString(tmp / "dati/dati.ini", "CONFIG", "Nome Server", "srv");
  WriteProfileString(tmp / "dati/dati.ini", "CONFIG", "Lettera Disco Server", "E");
  EXPECT_EQ(DatiIniPath("\\\\srv\\dati\\", param), tmp / "dati/dati.ini");
  ScriptedDesktop desktop;
  DesktopOverride use(desktop);
  ServerLocation location = ChiediServer("\\\\srv\\dati\\", nullptr, param);
  EXPECT_EQ(location.serverName, "srv");
  EXPECT_EQ(location.driveLetter, "E");
  EXPECT_TRUE(desktop.events.empty());
}

}  // namespace
}  // namespace velmora
