#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/FileDescriptor.h"

namespace velmora::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velmora-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = std::string(buf.data()) + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only test directories removable again.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void CopyFile(const std::string& from, const std::string& to) {
  // Both ends close-on-exec: a child that another thread forks meanwhile
  // must not keep the new file open for writing, or an executable so held
  // cannot be started until that child ends (ETXTBSY).
  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (in.Get() < 0 || ::fstat(in.Get(), &st) != 0) throw std::runtime_error("cannot read " + from);
  FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
  if (out.Get() < 0 || ::fchmod(out.Get(), st.st_mode & 07777) != 0)
    throw std::runtime_error("cannot write " + to);
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !WriteAll(out.Get(), std::string_view(buf, static_cast<size_t>(n)))))
      throw std::runtime_error("cannot copy " + from + " to " + to);
    if (n == 0) break;
  }
  if (::close(out.Release()) != 0) throw std::runtime_error("cannot copy " + from + " to " + to);
}

namespace {

std::vector<char*> CStrings(const std::vector<std::string>& v, std::vector<std::string>& store) {
  store = v;
  std::vector<char*> out;
  for (auto& s : store) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// In a child between fork and exec: writes "cannot start (errno N)" to
// standard error and ends it with 127. Async-signal-safe.
[[noreturn]] void ExecFailed() {
  const int error = errno;
  char text[64] = "cannot start (errno ";
  size_t n = sizeof("cannot start (errno ") - 1;
  char digits[12];
  size_t d = 0;
  for (int e = error; d == 0 || e > 0; e /= 10) digits[d++] = static_cast<char>('0' + e % 10);
  while (d > 0) text[n++] = digits[--d];
  text[n++] = ')';
  text[n++] = '\n';
  (void)!::write(2, text, n);
  ::_exit(127);
}

// This process's environment with `env` set over it, as "NAME=value"
// texts. Built before fork: between fork and exec a child of a process with
// several threads may call only async-signal-safe functions, and setenv
// allocates.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& env) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos && env.count(entry.substr(0, eq)) == 0) out.push_back(entry);
  }
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

void ReadAvailable(int fd, std::string& into, bool& open) {
  char buf[65536];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0)
    into.append(buf, static_cast<size_t>(n));
  else if (n == 0 || (errno != EINTR && errno != EAGAIN))
    open = false;
}

}  // namespace

namespace {

struct ChildEnd {
  ProcessResult result;
  int status = 0;  // the wait status
  bool killed = false;
};

// RunProcess, and RunWithReaderGone when `readerGone`: standard output then
// goes to a pipe whose read end is closed before the child starts, and the
// child starts with SIGPIPE at its default action, unblocked.
ChildEnd RunChild(const std::vector<std::string>& argv, const std::string& cwd,
                  const std::map<std::string, std::string>& env, int timeoutSeconds, bool readerGone) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (readerGone) {
    ::close(out[0]);
    out[0] = -1;
  }
  std::vector<std::string> store, envStore;
  std::vector<char*> args = CStrings(argv, store);
  std::vector<char*> envp = CStrings(ChildEnvironment(env), envStore);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (readerGone) {
      // Whatever this process set, the child begins as from a plain shell.
      ::signal(SIGPIPE, SIG_DFL);
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      ::sigprocmask(SIG_UNBLOCK, &pipe, nullptr);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ExecFailed();
    ::execve(args[0], args.data(), envp.data());
    ExecFailed();
  }
  ::close(out[1]);
  ::close(err[1]);
  ChildEnd end;
  ProcessResult& r = end.result;
  bool outOpen = !readerGone, errOpen = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (outOpen || errOpen) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      end.killed = true;
      break;
    }
    // poll() passes over the entry of a closed output (fd -1).
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {err[0], POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) ReadAvailable(out[0], r.out, outOpen);
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadAvailable(err[0], r.err, errOpen);
  }
  if (out[0] >= 0) ::close(out[0]);
  ::close(err[0]);
  ::waitpid(pid, &end.status, 0);
  r.exitCode = (!end.killed && WIFEXITED(end.status)) ? WEXITSTATUS(end.status) : -1;
  return end;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds) {
  return RunChild(argv, cwd, env, timeoutSeconds, false).result;
}

ReaderGoneResult RunWithReaderGone(const std::vector<std::string>& argv, const std::string& cwd,
                                   const std::map<std::string, std::string>& env, int timeoutSeconds) {
  ChildEnd end = RunChild(argv, cwd, env, timeoutSeconds, true);
  return {end.killed ? -1 : end.status, end.result.err};
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // poll() with no descriptors: the pause between two checks.
    ::poll(nullptr, 0, static_cast<int>(pause.count()));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

std::vector<std::string> SplitLines(std::string_view text, std::string_view lineEnd) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(lineEnd, start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + lineEnd.size();
  }
  return lines;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env, const std::string& cwd) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> store, envStore;
  std::vector<char*> args = CStrings(argv, store);
  std::vector<char*> envp = CStrings(ChildEnvironment(env), envStore);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::setpgid(0, 0);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(out[1], 1);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ExecFailed();
    ::execvpe(args[0], args.data(), envp.data());
    ExecFailed();
  }
  ::close(out[1]);
  outFd_ = out[0];
}

BackgroundProcess::~BackgroundProcess() { Stop(); }

void BackgroundProcess::Stop() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    if (Wait(std::chrono::seconds(1)) == -1) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (outFd_ >= 0) {
    ::close(outFd_);
    outFd_ = -1;
  }
}

void BackgroundProcess::Signal(int number) {
  if (pid_ > 0) ::kill(pid_, number);
}

// Waits at most `timeoutMs` for output and reads what came; false at the end
// of the output (or without a pipe).
bool BackgroundProcess::ReadSome(int timeoutMs) {
  if (outFd_ < 0) return false;
  pollfd fd{outFd_, POLLIN, 0};
  int n = ::poll(&fd, 1, timeoutMs);
  if (n <= 0) return true;
  std::string got;
  bool open = true;
  ReadAvailable(outFd_, got, open);
  buffer_ += got;
  all_ += got;
  if (!open) {
    ::close(outFd_);
    outFd_ = -1;
  }
  return open;
}

std::string BackgroundProcess::Output() {
  while (outFd_ >= 0) {
    pollfd fd{outFd_, POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0) break;
    ReadSome(0);
  }
  return all_;
}

int BackgroundProcess::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // A pidfd becomes readable when the child ends.
  int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      if (pidFd >= 0) ::close(pidFd);
      pid_ = -1;
      status_ = status;
      Output();
      return status_;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) break;
    int wait = static_cast<int>(std::min<int64_t>(left, 1000));
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {pidFd, POLLIN, 0}};
    // An ended pipe is left out; without a pidfd the status is looked at
    // every 20 ms.
    if (outFd_ < 0) fds[0].fd = -1;
    if (pidFd < 0) wait = std::min(wait, 20);
    if (::poll(fds, 2, wait) > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) ReadSome(0);
  }
  if (pidFd >= 0) ::close(pidFd);
  return -1;
}

std::string BackgroundProcess::ReadLine(int timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) throw std::runtime_error("timed out waiting for a line from the peer");
    if (!ReadSome(static_cast<int>(left))) throw std::runtime_error("peer closed its output");
  }
}

std::string CaptureFd(int fd, const std::function<void()>& body) {
  TempDir dir;
  std::string path = dir / "captured";
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0) throw std::runtime_error("cannot create " + path);
  std::fflush(nullptr);
  int saved = ::dup(fd);
  ::dup2(file, fd);
  ::close(file);
  struct Restore {
    int fd, saved;
    ~Restore() {
      std::fflush(nullptr);
      ::dup2(saved, fd);
      ::close(saved);
    }
  };
  {
    Restore restore{fd, saved};
    body();
  }
  return ReadFileBytes(path);
}

int FreePort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    throw std::runtime_error("bind");
  }
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

std::string SourcePath(const std::string& relative) {
  return std::string(VELMORA_SOURCE_DIR) + "/" + relative;
}
std::string BinaryPath(const std::string& relative) {
  return std::string(VELMORA_BINARY_DIR) + "/" + relative;
}

}  // namespace velmora::test
