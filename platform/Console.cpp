#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace velmora {
namespace {

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

// Unbuffered write of the whole text: a line is on the pipe before the next
// statement runs, even if the process dies right after.
void WriteAll(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report to
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void WriteLine(std::string_view line) {
  if (Sink()) {
    Sink()(line);
    return;
  }
  std::string text;
  text.reserve(line.size() + 2);
  text.append(line);
  text.append("\r\n");
  WriteAll(text);
}

ConsoleRedirect::ConsoleRedirect(std::function<void(std::string_view)> sink)
    : previous_(std::move(Sink())) {
  Sink() = std::move(sink);
}

ConsoleRedirect::~ConsoleRedirect() { Sink() = std::move(previous_); }

}  // namespace velmora
