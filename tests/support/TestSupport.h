// Helpers shared by the test suites: temporary directories, files, child
// processes and peer servers.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
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

// A child process started in the background (a peer server). Its standard
// output is a pipe; ReadLine reads it. The child gets SIGTERM, then SIGKILL,
// when this object is destroyed.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  // One line of the child's standard output (without the line end); throws
  // std::runtime_error after `timeoutSeconds` or at end of output.
  std::string ReadLine(int timeoutSeconds = 30);
  pid_t Pid() const { return pid_; }
  void Stop();

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string buffer_;
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
