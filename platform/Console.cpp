#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Exceptions.h"
#include "platform/FileDescriptor.h"

namespace velmora {
namespace {

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

// Control characters become blanks; CR LF pairs stay when `keepCrLf`.
std::string Blanked(std::string_view text, bool keepCrLf) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && keepCrLf && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\r\n";
      ++i;
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      out += ' ';
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += ' ';  // U+0080-U+009F
      ++i;
    } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      out += ' ';  // U+2028, U+2029
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string OneLineText(std::string_view text) { return Blanked(text, false); }

std::string OneLineTextKeepingCrLf(std::string_view text) { return Blanked(text, true); }

std::string ReportMessage(const Exception& e) {
  bool multiLine = dynamic_cast<const EIBError*>(&e) != nullptr ||
                   dynamic_cast<const EIdSocketError*>(&e) != nullptr ||
                   dynamic_cast<const EIdOpenSSLError*>(&e) != nullptr;
  return Blanked(e.Message(), multiLine);
}

void WriteStandardOutput(std::string_view text) { WriteAll(STDOUT_FILENO, text); }

void WriteLine(std::string_view line) {
  if (Sink()) {
    Sink()(line);
    return;
  }
  std::string text;
  text.reserve(line.size() + 2);
  text.append(line);
  text.append("\r\n");
  // Unbuffered, the whole text: a line is on the pipe before the next
  // statement runs, even if the process dies right after. A failed write
  // has nowhere left to be reported.
  WriteAll(STDOUT_FILENO, text);
}

ConsoleRedirect::ConsoleRedirect(std::function<void(std::string_view)> sink) : previous_(std::move(Sink())) {
  Sink() = std::move(sink);
}

ConsoleRedirect::~ConsoleRedirect() { Sink() = std::move(previous_); }

}  // namespace velmora
