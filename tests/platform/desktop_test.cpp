#include "platform/Desktop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

// A desktop that records what it was shown and answers from a script.
class ScriptedDesktop : public Desktop {
 public:
  std::vector<std::string> messages;
  std::string answer1, answer2;
  uint16_t esito = 1;
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowPrompt(PromptForm& form) override {
    form.edit1 = answer1;
    form.edit2 = answer2;
    form.esito = esito;
  }
};

TEST(Desktop, OverridesNestAndRestore) {
  ScriptedDesktop a, b;
  {
    DesktopOverride first(a);
    CurrentDesktop().ShowMessage("to a");
    {
      DesktopOverride second(b);
      CurrentDesktop().ShowMessage("to b");
      PromptForm form;
      b.answer1 = "srv";
      CurrentDesktop().ShowPrompt(form);
      EXPECT_EQ(form.edit1, "srv");
      EXPECT_EQ(form.esito, 1);
    }
    CurrentDesktop().ShowMessage("to a again");
  }
  EXPECT_EQ(a.messages, (std::vector<std::string>{"to a", "to a again"}));
  EXPECT_EQ(b.messages, (std::vector<std::string>{"to b"}));
}

TEST(Desktop, SilentWritesOneLineToStandardErrorAndLeavesPromptsClosed) {
  auto silent = MakeSilentDesktop();
  std::string err = test::CaptureFd(2, [&] {
    silent->ShowMessage("Non trovato dati.ini");
    silent->ShowMessage("Inserire il nome\r\nsu due righe\ne tre");
  });
  EXPECT_EQ(err, "Non trovato dati.ini\nInserire il nome su due righe e tre\n");
  PromptForm form;
  form.edit1 = "keep";
  form.edit2 = "E";
  silent->ShowPrompt(form);
  EXPECT_EQ(form.esito, 0);
  EXPECT_EQ(form.edit1, "keep");
  EXPECT_EQ(form.edit2, "E");
}

// A child process in a new session whose controlling terminal is a fresh
// pseudo-terminal; the test types on its master side. The child reports on a
// pipe and exits; it is killed if still alive when this object goes away.
class TerminalChild {
 public:
  // `body` runs in the child and returns the text to report.
  explicit TerminalChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) throw std::runtime_error("forkpty");
    if (pid_ == 0) {
      ::close(fds[0]);
      std::string report;
      try {
        report = body();
      } catch (...) {
        report = "exception";
      }
      ssize_t n = ::write(fds[1], report.data(), report.size());
      ::_exit(n == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    report_ = fds[0];
  }
  ~TerminalChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(master_);
    ::close(report_);
  }

  // Reads the terminal until `text` has appeared; false after the time-out.
  bool WaitFor(const std::string& text, int seconds = 60) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (screen_.find(text, scanned_) == std::string::npos) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[1024];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return false;
      screen_.append(buf, static_cast<size_t>(n));
    }
    scanned_ = screen_.find(text, scanned_) + text.size();
    return true;
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // The child's report, once it has exited; "no report" when it has not
  // finished in time (it is then killed, so a dialog that waits for more
  // than it should fails the test instead of hanging it).
  std::string Report(int seconds = 60) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{report_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
        ::kill(pid_, SIGKILL);
        out = "no report";
        break;
      }
      char buf[1024];
      ssize_t n = ::read(report_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return out;
  }

  const std::string& Screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  int report_ = -1;
  std::string screen_;
  size_t scanned_ = 0;
};

std::string Outcome(const PromptForm& form) {
  return std::to_string(form.esito) + "|" + form.edit1 + "|" + form.edit2;
}

TEST(Desktop, TerminalPrompt) {
  const struct {
    const char* name;
    std::string edit1, edit2;  // before
    std::string typed1;        // at "Campo 1"
    std::string typed2;        // at "Campo 2" (not typed when empty)
    std::string outcome;
  } cases[] = {
      {"both answered", "", "", "srv\n", "E\n", "1|srv|E"},
      {"blanks kept as typed", "", "", " srv \n", "E:\n", "1| srv |E:"},
      {"empty lines accepted", "", "", "\n", "\n", "1||"},
      {"Enter keeps current text", "Edit1", "D", "\n", "\n", "1|Edit1|D"},
      {"Esc cancels", "a", "b", "\x1b\n", "", "2|a|b"},
      {"Esc on the second field cancels", "", "", "srv\n", "\x1b\n", "2||"},
      {"Ctrl-D cancels", "", "x", "\x04", "", "2||x"},
      {"non-ASCII answer", "", "", "caff\u00E8\n", "\n", "1|caff\u00E8|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalChild child([&] {
      auto desktop = MakeTerminalDesktop();
      if (!desktop) return std::string("no terminal");
      PromptForm form;
      form.caption = "Non trovato dati.ini";
      form.label = "Inserire il nome del computer e la lettera della sua\r\nunit\u00E0 disco";
      form.edit1 = c.edit1;
      form.edit2 = c.edit2;
      desktop->ShowPrompt(form);
      return Outcome(form);
    });
    ASSERT_TRUE(child.WaitFor("== Non trovato dati.ini ==")) << child.Screen();
    ASSERT_TRUE(child.WaitFor("unit\u00E0 disco")) << child.Screen();
    ASSERT_TRUE(child.WaitFor("Campo 1" + (c.edit1.empty() ? "" : " [" + c.edit1 + "]") + ": "))
        << child.Screen();
    child.Type(c.typed1);
    if (!c.typed2.empty()) {
      ASSERT_TRUE(child.WaitFor("Campo 2" + (c.edit2.empty() ? "" : " [" + c.edit2 + "]") + ": "))
          << child.Screen();
      child.Type(c.typed2);
    }
    EXPECT_EQ(child.Report(), c.outcome);
  }
}

TEST(Desktop, TerminalMessageWaitsForEnter) {
  TerminalChild child([] {
    auto desktop = MakeTerminalDesktop();
    if (!desktop) return std::string("no terminal");
    desktop->ShowMessage("Effettuata creazione data base");
    return std::string("closed");
  });
  ASSERT_TRUE(child.WaitFor("Effettuata creazione data base")) << child.Screen();
  ASSERT_TRUE(child.WaitFor("[OK] ")) << child.Screen();
  child.Type("\n");
  EXPECT_EQ(child.Report(), "closed");
}

TEST(Desktop, ChoiceFollowsStandardInput) {
  // Standard input on the terminal: the terminal desktop asks there.
  TerminalChild interactive([] {
    SetDefaultDesktop(nullptr);
    CurrentDesktop().ShowMessage("domanda");
    return std::string("answered");
  });
  ASSERT_TRUE(interactive.WaitFor("[OK] ")) << interactive.Screen();
  interactive.Type("\n");
  EXPECT_EQ(interactive.Report(), "answered");

  // Standard input elsewhere: nothing waits, even with a terminal around.
  TerminalChild batch([] {
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    SetDefaultDesktop(nullptr);
    PromptForm form;
    CurrentDesktop().ShowPrompt(form);
    CurrentDesktop().ShowMessage("solo testo");
    return Outcome(form);
  });
  EXPECT_EQ(batch.Report(), "0|Edit1|");
  batch.WaitFor("solo testo", 5);
  EXPECT_EQ(batch.Screen().find("[OK]"), std::string::npos) << batch.Screen();
}

TEST(Desktop, RegisteredDesktopTakesOver) {
  auto scripted = std::make_unique<ScriptedDesktop>();
  ScriptedDesktop* raw = scripted.get();
  SetDefaultDesktop(std::move(scripted));
  CurrentDesktop().ShowMessage("registered");
  EXPECT_EQ(raw->messages, (std::vector<std::string>{"registered"}));
  ScriptedDesktop over;
  {
    DesktopOverride o(over);
    CurrentDesktop().ShowMessage("override first");
  }
  EXPECT_EQ(over.messages.size(), 1u);
  SetDefaultDesktop(nullptr);
}

}  // namespace
}  // namespace velmora
