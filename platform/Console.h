// Console lines: the program's only output channel.
#pragma once

#include <functional>
#include <string_view>

namespace velmora {

// Writes `line` (UTF-8, unchanged) followed by CR LF to standard output and
// flushes at once. A line holding CR LF itself is written as it is.
void WriteLine(std::string_view line);

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
