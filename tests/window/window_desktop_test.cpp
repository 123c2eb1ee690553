// The real dialog and message box of the windowed desktop on an Xvfb display
// driven with xdotool, and its fallback when no display answers.
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
#include "tests/support/TestSupport.h"
#include "window/WindowDesktop.h"

// Last: Xlib's macros (None, Status, ...) must not meet the headers above.
#include <X11/Xlib.h>

namespace velmora {
namespace {

using test::TempDir;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// ---------------------------------------------------------------------------
// The real windows on Xvfb.

// An Xvfb server on a display number it picks itself, for at most 15 minutes
// (so it ends also when the test process dies without stopping it).
class XvfbDisplay {
 public:
  XvfbDisplay() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      error_ = "/usr/bin/Xvfb is not installed";
      return;
    }
    server_ = std::make_unique<test::BackgroundProcess>(
        std::vector<std::string>{"/usr/bin/timeout", "900", "/usr/bin/Xvfb", "-displayfd", "1", "-screen",
                                 "0", "1024x768x24", "-nolisten", "tcp",
                                 // no reset between clients: a reset refuses new connections
                                 "-noreset"});
    try {
      std::string number = server_->ReadLine(60);
      if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        error_ = "Xvfb wrote no display number: " + number;
      } else {
        name_ = ":" + number;
      }
    } catch (const std::exception& e) {
      error_ = std::string("Xvfb did not start: ") + e.what();
    }
  }
  bool Ok() const { return !name_.empty(); }
  const std::string& Error() const { return error_; }
  const std::string& Name() const { return name_; }

  // Runs xdotool with `args` on this display; its output, or nullopt on failure.
  std::optional<std::string> Xdotool(const std::vector<std::string>& args, int timeoutSeconds = 60) const {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    test::ProcessResult r = test::RunProcess(argv, "", {{"DISPLAY", name_}}, timeoutSeconds);
    if (r.exitCode != 0) return std::nullopt;
    return r.out;
  }
  // The id of the visible window whose name matches `pattern`, waiting for it.
  std::string WaitWindow(const std::string& pattern) const {
    auto out = Xdotool({"search", "--sync", "--onlyvisible", "--name", pattern});
    if (!out) return "";
    return out->substr(0, out->find('\n'));
  }
  // Client-area position and size: {x, y, w, h}.
  std::vector<int> Geometry(const std::string& window) const {
    auto out = Xdotool({"getwindowgeometry", window});
    std::smatch m;
    static const std::regex pattern(R"(Position: (-?\d+),(-?\d+)[\s\S]*Geometry: (\d+)x(\d+))");
    if (!out || !std::regex_search(*out, m, pattern)) return {};
    return {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
  }
  // Asks the window to close as a window manager's close box does
  // (WM_DELETE_WINDOW); true when the request was sent.
  bool CloseWindow(const std::string& window) const {
    ::Display* display = XOpenDisplay(name_.c_str());
    if (display == nullptr) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    bool sent = XSendEvent(display, event.xclient.window, False, NoEventMask, &event) != 0;
    XSync(display, False);
    XCloseDisplay(display);
    return sent;
  }
  // Saves a PNG of the window when VELMORA_SCREENSHOT_DIR names a directory.
  void Screenshot(const std::string& window, const std::string& file) const {
    const char* dir = std::getenv("VELMORA_SCREENSHOT_DIR");
    if (dir == nullptr || *dir == '\0') return;
    test::RunProcess({"/usr/bin/import", "-window", window, std::string(dir) + "/" + file}, "",
                     {{"DISPLAY", name_}}, 60);
  }

 private:
  std::unique_ptr<test::BackgroundProcess> server_;
  std::string name_;
  std::string error_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.Ok()) GTEST_SKIP() << "no Xvfb display: " << display_.Error();
  }
  std::unique_ptr<test::BackgroundProcess> StartTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{test::BinaryPath("tests/window/qorin2_window")};
    argv.insert(argv.end(), args.begin(), args.end());
    // FLTK and the X libraries keep allocations to the end of the process.
    auto tool = std::make_unique<test::BackgroundProcess>(
        argv,
        std::map<std::string, std::string>{{"DISPLAY", display_.Name()}, {"ASAN_OPTIONS", "detect_leaks=0"}});
    std::string first = tool->ReadLine(60);
    if (first != "window") {
      ADD_FAILURE() << "the tool could not open " << display_.Name() << ": " << first;
      return nullptr;
    }
    return tool;
  }
  XvfbDisplay display_;
};

struct WindowCase {
  const char* title;
  // xdotool commands typed into the prompt, one run each ("type" takes
  // every word after it as text, so commands cannot be chained).
  std::vector<std::vector<std::string>> keys;
  const char* server;
  const char* drive;
  Pairs ini;  // CONFIG of dati.ini afterwards; empty: no file
};

TEST_F(WindowTest, PromptAnswersThroughTheKeyboard) {
  const WindowCase cases[] = {
      {"Enter in Edit1 is OK",
       {{"type", "srv01"}, {"key", "Return"}},
       "srv01",
       "",
       {{"Nome Server", "srv01"}}},
      {"Tab from Edit1 reaches Edit2, Enter there is OK",
       {{"type", "srv"}, {"key", "Tab"}, {"type", "E"}, {"key", "Return"}},
       "srv",
       "E",
       {{"Nome Server", "srv"}, {"Lettera Disco Server", "E"}}},
      {"Esc is Cancel", {{"type", "srv"}, {"key", "Escape"}}, "", "", {}},
      {"closing the window writes nothing", {{"type", "srv"}, {"close"}}, "", "", {}},
      {"Tab order Edit1, Edit2, OKBtn, CancelBtn",
       {{"type", "srv"}, {"key", "Tab", "Tab", "Tab", "space"}},
       "",
       "",
       {}},
  };
  bool first = true;
  for (const WindowCase& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir dir;
    auto tool = StartTool({"chiedi", dir.Path()});
    ASSERT_TRUE(tool);

    std::string box = display_.WaitWindow("^qorin2_window$");
    ASSERT_FALSE(box.empty()) << "message box not shown";
    if (first) display_.Screenshot(box, "qorin2_message.png");
    ASSERT_TRUE(display_.Xdotool({"windowfocus", "--sync", box}));
    ASSERT_TRUE(display_.Xdotool({"key", "Return"}));

    std::string prompt = display_.WaitWindow("^Non trovato dati\\.ini$");
    ASSERT_FALSE(prompt.empty()) << "prompt not shown";
    // Fixed client area, centred on the 1024 x 768 screen.
    EXPECT_EQ(display_.Geometry(prompt), (std::vector<int>{347, 310, 329, 148}));
    if (first) display_.Screenshot(prompt, "qorin2_prompt.png");
    first = false;
    ASSERT_TRUE(display_.Xdotool({"windowfocus", "--sync", prompt}));
    for (const auto& command : c.keys) {
      if (command[0] == "close") {
        ASSERT_TRUE(display_.CloseWindow(prompt));
      } else {
        ASSERT_TRUE(display_.Xdotool(command));
      }
    }

    EXPECT_EQ(tool->ReadLine(60), std::string("server=") + c.server);
    EXPECT_EQ(tool->ReadLine(60), std::string("drive=") + c.drive);
    EXPECT_EQ(FileExists(dir / "dati.ini"), !c.ini.empty());
    EXPECT_EQ(ReadProfileSection(dir / "dati.ini", "CONFIG"), c.ini);
  }
}

TEST_F(WindowTest, StoredFormGivesEsitoOneOnEnter) {
  auto tool = StartTool({"prompt"});
  ASSERT_TRUE(tool);
  std::string prompt = display_.WaitWindow("^Dialog$");
  ASSERT_FALSE(prompt.empty());
  display_.Screenshot(prompt, "qorin2_stored_form.png");
  ASSERT_TRUE(display_.Xdotool({"windowfocus", "--sync", prompt}));
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"type", "X"}, {"key", "Tab"}, {"type", "Y"}, {"key", "Return"}}) {
    ASSERT_TRUE(display_.Xdotool(command));
  }
  EXPECT_EQ(tool->ReadLine(60), "esito=1");
  EXPECT_EQ(tool->ReadLine(60), "edit1=X");  // typed over the selected "Edit1"
  EXPECT_EQ(tool->ReadLine(60), "edit2=Y");
}

TEST_F(WindowTest, ClosingTheWindowLeavesEsitoZero) {
  auto tool = StartTool({"prompt"});
  ASSERT_TRUE(tool);
  std::string prompt = display_.WaitWindow("^Dialog$");
  ASSERT_FALSE(prompt.empty());
  ASSERT_TRUE(display_.CloseWindow(prompt));
  EXPECT_EQ(tool->ReadLine(60), "esito=0");
}

TEST_F(WindowTest, MessageBoxIsCentredAndClosesWithOK) {
  const std::string text = AvvisoCondivisione("dati");  // the longest message, wrapped
  auto tool = StartTool({"message", text});
  ASSERT_TRUE(tool);
  std::string box = display_.WaitWindow("^qorin2_window$");
  ASSERT_FALSE(box.empty());
  display_.Screenshot(box, "message_box.png");
  std::vector<int> g = display_.Geometry(box);
  ASSERT_EQ(g.size(), 4u);
  EXPECT_NEAR(g[0], (1024 - g[2]) / 2, 1);
  EXPECT_NEAR(g[1], (768 - g[3]) / 2, 1);
  ASSERT_TRUE(display_.Xdotool({"windowfocus", "--sync", box}));
  ASSERT_TRUE(display_.Xdotool({"key", "Return"}));
  EXPECT_EQ(tool->ReadLine(60), "closed");
}

TEST(WindowDesktopTest, WithoutDisplayFallsBackQuietly) {
  // No display: the tool must neither crash nor wait; the silent desktop
  // closes the prompt unanswered.
  // setsid: no controlling terminal either, so the terminal form is not chosen.
  test::ProcessResult r =
      test::RunProcess({"/usr/bin/setsid", "-w", test::BinaryPath("tests/window/qorin2_window"), "prompt"},
                       "", {{"DISPLAY", ""}}, 60);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "no window\nesito=0\nedit1=Edit1\nedit2=\n");
}

TEST(WindowDesktopTest, DisplayThatNeverAnswersIsGivenUp) {
  // A display socket that takes connections but never answers: the prompt
  // must fall back after a bounded wait instead of blocking the run.
  ::mkdir("/tmp/.X11-unix", 01777);
  std::string path;
  int number = 0;
  for (int i = 0; i < 200; ++i) {
    number = 700 + (::getpid() + i) % 200;
    path = "/tmp/.X11-unix/X" + std::to_string(number);
    std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
    if (::access(path.c_str(), F_OK) != 0 && ::access(lock.c_str(), F_OK) != 0) break;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << path;
  ASSERT_EQ(::listen(fd, 8), 0);
  test::ProcessResult r = test::RunProcess(
      {"/usr/bin/setsid", "-w", test::BinaryPath("tests/window/qorin2_window"), "prompt"}, "",
      {{"DISPLAY", ":" + std::to_string(number)}, {"ASAN_OPTIONS", "detect_leaks=0"}}, 120);
  ::close(fd);
  ::unlink(path.c_str());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "no window\nesito=0\nedit1=Edit1\nedit2=\n");
}

}  // namespace
}  // namespace velmora
