// Console lines: the program's only output channel.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace velmora {

class Exception;

// Writes `line` (UTF-8, unchanged) followed by CR LF to standard output and
// flushes at once. A line holding CR LF itself is written as it is.
void WriteLine(std::string_view line);

// Writes `text` exactly as it is (no line end added) to standard output,
// unbuffered, all of it unless standard output is gone. Not redirected by
// ConsoleRedirect: for output of a form of its own (a service's journal
// lines), never for the program's console lines.
void WriteStandardOutput(std::string_view text);

// A text from outside (a server's answer, a file name, a database text) made
// fit to stand inside one console line: every control character except TAB
// (C0 controls, NUL and DEL, the C1 controls U+0080-U+009F, and the line and
// paragraph separators U+2028, U+2029) becomes one blank; everything else,
// bytes that are no valid UTF-8 included, stays as it is. Use it on each
// outside part of a line, never on the program's own texts.
std::string OneLineText(std::string_view text);

// The same, except that each CR LF pair stays: for the reports whose
// messages are documented to span lines, whose own line breaks are CR LF.
std::string OneLineTextKeepingCrLf(std::string_view text);

// The message of an exception as a console report writes it: the line
// breaks stay for the families whose messages are documented to span lines
// (database errors, socket errors, TLS errors); every other message is made
// one line with OneLineText. Any other control character becomes a blank in
// both cases.
std::string ReportMessage(const Exception& e);

// While alive, every WriteLine goes to `sink` instead of standard output
// (for routine-level tests). Restores the previous target when destroyed.
class ConsoleRedirect {
 public:
  explicit ConsoleRedirect(std::function<void(std::string_view)> sink);
  ~ConsoleRedirect();
  ConsoleRedirect(const ConsoleRedirect&) = delete;
  ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

 private:
  std::function<void(std::string_view)> previous_;
};

}  // namespace velmora
