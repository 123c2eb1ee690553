// Helpers shared by the test suites: temporary directories, files, child
// processes and peer servers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// destroyed. Path() ends with "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Copies a file with its mode bits.
void CopyFile(const std::string& from, const std::string& to);

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal or timed out
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is a path) with standard input from /dev/null, in
// `cwd` when not empty, with `env` added to (or overriding) the environment.
// Kills the child after `timeoutSeconds`.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
                         const std::map<std::string, std::string>& env = {}, int timeoutSeconds = 120);

// The end of a child run by RunWithReaderGone.
struct ReaderGoneResult {
  int waitStatus = -1;  // as waitpid gives it (WIFSIGNALED, WTERMSIG); -1 when timed out
  std::string err;
};

// Runs `argv` as RunProcess does, but with standard output a pipe whose read
// end is closed before the child starts: each write to it fails with EPIPE,
// or raises SIGPIPE, which the child starts with at its default action
// (unblocked) whatever this process set. Standard error is captured.
ReaderGoneResult RunWithReaderGone(const std::vector<std::string>& argv, const std::string& cwd = "",
                                   const std::map<std::string, std::string>& env = {}, int timeoutSeconds = 120);

// Checks `condition` until it holds, at most `limit`; true when it held. For
// waiting on the event itself (a line, a request, a row): the checks come
// every millisecond at first and every 20 ms later, never a fixed pause.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(60));

// `text` split at every `lineEnd`, which is dropped; a trailing line end
// gives no empty last line.
std::vector<std::string> SplitLines(std::string_view text, std::string_view lineEnd = "\r\n");

// A child process started in the background: a peer server, or one of the
// programs under test. Standard input is /dev/null, standard output a pipe
// that the object reads (ReadLine, Output, Wait), standard error is
// inherited. The child leads a process group of its own; when this object is
// destroyed and the child still runs, the group gets SIGTERM and, a second
// later, SIGKILL.
class BackgroundProcess {
 public:
  // `argv[0]` is looked up in PATH when it has no "/"; `env` is added to
  // (or overrides) the environment; `cwd`, when not empty, is the child's
  // working directory.
  BackgroundProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                    const std::string& cwd = "");
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  // One line of the child's standard output (without its LF or CR LF);
  // throws std::runtime_error after `timeoutSeconds` or at end of output.
  std::string ReadLine(int timeoutSeconds = 30);
  // Everything the child wrote on standard output so far (reads what is
  // waiting in the pipe without blocking), lines handed out by ReadLine
  // included.
  std::string Output();
  pid_t Pid() const { return pid_; }
  // Sends `number` to the child (not to its group). Nothing once it ended.
  void Signal(int number);
  // Waits for the child to end, at most `limit`, reading its output
  // meanwhile. Returns the wait status, or -1 when it still runs.
  int Wait(std::chrono::milliseconds limit);
  void Stop();

 private:
  bool ReadSome(int timeoutMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int status_ = -1;
  std::string buffer_;  // not yet handed out by ReadLine
  std::string all_;     // everything read
};

// Runs `body` with file descriptor `fd` (1 = standard output, 2 = standard
// error) sent to a temporary file, and returns the bytes written to it.
std::string CaptureFd(int fd, const std::function<void()>& body);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// Path of a file under the source tree / build tree.
std::string SourcePath(const std::string& relative);
std::string BinaryPath(const std::string& relative);

}  // namespace velmora::test
