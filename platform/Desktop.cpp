#include "platform/Desktop.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/FileDescriptor.h"

namespace velmora {
namespace {

// Longest answer kept from one terminal line; the rest of the line is read
// and dropped so the next question starts on a fresh line.
constexpr size_t kMaxAnswer = 65536;

// `text` with every CR LF, CR or LF replaced by `lineBreak`.
std::string ReplaceLineBreaks(std::string_view text, std::string_view lineBreak) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += lineBreak;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

enum class ReadResult { Line, EndOfInput, Failed };

// The text dialog on the controlling terminal (see the header for the form).
class TerminalDesktop : public Desktop {
 public:
  explicit TerminalDesktop(int fd) : fd_(fd) {}
  ~TerminalDesktop() override { ::close(fd_); }
  TerminalDesktop(const TerminalDesktop&) = delete;
  TerminalDesktop& operator=(const TerminalDesktop&) = delete;

  void ShowMessage(const std::string& text) override {
    std::string shown = "\n";
    shown += ReplaceLineBreaks(RepairUtf8(text), "\n");
    shown += "\n[OK] ";
    if (!WriteAll(fd_, shown)) return;
    std::string ignored;
    if (ReadLine(ignored) != ReadResult::Line) WriteAll(fd_, "\n");
  }

  void ShowPrompt(PromptForm& form) override {
    std::string header = "\n== " + RepairUtf8(form.caption) + " ==\n" +
                         ReplaceLineBreaks(RepairUtf8(form.label), "\n") + "\n" +
                         "(Invio conferma il campo; Esc e Invio, oppure Ctrl-D, annulla)\n";
    if (!WriteAll(fd_, header)) return;
    std::string answers[2] = {form.edit1, form.edit2};
    for (int field = 0; field < 2; ++field) {
      std::string shown = RepairUtf8(answers[field]);
      std::string question =
          "Campo " + std::to_string(field + 1) + (shown.empty() ? "" : " [" + shown + "]") + ": ";
      if (!WriteAll(fd_, question)) return;
      std::string line;
      ReadResult r = ReadLine(line);
      if (r == ReadResult::Failed) return;  // the terminal went away: closed unanswered
      if (r == ReadResult::EndOfInput || IsEscape(line)) {
        if (r == ReadResult::EndOfInput) WriteAll(fd_, "\n");
        form.esito = 2;
        return;
      }
      // Enter alone keeps the text shown in brackets, as in the window.
      if (!line.empty()) answers[field] = RepairUtf8(line);
    }
    form.edit1 = answers[0];
    form.edit2 = answers[1];
    form.esito = 1;
  }

 private:
  // A line of only Esc characters (the Esc key, then Enter).
  static bool IsEscape(std::string_view line) {
    return !line.empty() && line.find_first_not_of('\x1b') == std::string_view::npos;
  }

  // One line as typed, without its line end.
  ReadResult ReadLine(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      char c;
      ssize_t n = ::read(fd_, &c, 1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return ReadResult::Failed;
      }
      if (n == 0) {
        // Ctrl-D on an empty line ends the input; after some text it only
        // hands that text over, and the line goes on.
        if (!any) return ReadResult::EndOfInput;
        any = false;
        continue;
      }
      if (c == '\n') break;
      any = true;
      if (line.size() < kMaxAnswer) line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return ReadResult::Line;
  }

  int fd_;
};

// No one to ask: messages go to standard error, prompts stay unanswered.
class SilentDesktop : public Desktop {
 public:
  void ShowMessage(const std::string& text) override {
    WriteAll(STDERR_FILENO, ReplaceLineBreaks(text, " ") + "\n");
  }
  void ShowPrompt(PromptForm&) override {}
};

struct DesktopState {
  Desktop* override = nullptr;
  std::unique_ptr<Desktop> registered;
  std::unique_ptr<Desktop> chosen;
};

DesktopState& State() {
  static DesktopState state;
  return state;
}

}  // namespace

std::unique_ptr<Desktop> MakeTerminalDesktop() {
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  return std::make_unique<TerminalDesktop>(fd);
}

std::unique_ptr<Desktop> MakeSilentDesktop() { return std::make_unique<SilentDesktop>(); }

Desktop& CurrentDesktop() {
  DesktopState& s = State();
  if (s.override) return *s.override;
  if (s.registered) return *s.registered;
  if (!s.chosen) {
    // Only a process whose standard input is the terminal asks on it: a run
    // started by another program must never wait for an answer.
    if (::isatty(STDIN_FILENO)) s.chosen = MakeTerminalDesktop();
    if (!s.chosen) s.chosen = MakeSilentDesktop();
  }
  return *s.chosen;
}

void SetDefaultDesktop(std::unique_ptr<Desktop> desktop) { State().registered = std::move(desktop); }

DesktopOverride::DesktopOverride(Desktop& desktop) : previous_(State().override) {
  State().override = &desktop;
}

DesktopOverride::~DesktopOverride() { State().override = previous_; }

}  // namespace velmora
