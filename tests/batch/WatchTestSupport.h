// What the service's end-to-end tests share: the service started in the
// background with a notify socket of the test's own, its CPU time from
// /proc, and a test Prism server that can be stopped and started again on
// the same port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/batch/BatchTestSupport.h"

namespace velmora::test {

// A datagram socket for NOTIFY_SOCKET: what the service manager would read.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ADD_FAILURE() << "notify socket " << path;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Path() const { return path_; }

  // The next message, "" when none came within `seconds`.
  std::string Next(int seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) != 1) return "";
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

  // Messages until one contains `what` (that one included), at most
  // `seconds`; every message read is kept in Seen().
  bool WaitFor(const std::string& what, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      std::string m = Next(1);
      if (m.empty()) continue;
      seen_.push_back(m);
      if (m.find(what) != std::string::npos) return true;
    }
    return false;
  }
  const std::vector<std::string>& Seen() const { return seen_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> seen_;
};

// The service: velmora-batch --watch started in the background, with
// NOTIFY_SOCKET (when given) in its environment.
class StartedService {
 public:
  StartedService(BatchArchive& archive, const std::vector<std::string>& options, const std::string& notify = "",
                 const std::map<std::string, std::string>& more = {}) {
    std::vector<std::string> all{"--watch"};
    all.insert(all.end(), options.begin(), options.end());
    // The child takes the environment of this process at its start.
    std::vector<std::string> set;
    if (!notify.empty()) {
      ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
      set.push_back("NOTIFY_SOCKET");
    }
    for (const auto& [name, value] : more) {
      ::setenv(name.c_str(), value.c_str(), 1);
      set.push_back(name);
    }
    batch_ = std::make_unique<StartedBatch>(archive, all);
    for (const std::string& name : set) ::unsetenv(name.c_str());
  }

  StartedBatch& Process() { return *batch_; }
  std::string Out() const { return batch_->Out(); }
  void Signal(int number) { batch_->Signal(number); }
  int Wait(int seconds) { return batch_->Wait(seconds); }
  pid_t Pid() const { return batch_->Pid(); }

  // User + system CPU time so far, in seconds.
  double CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(Pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int n = 3; fields >> field; ++n) {
      if (n == 14) utime = std::stoll(field);
      if (n == 15) {
        stime = std::stoll(field);
        break;
      }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // Lines of its output that begin with `prefix`.
  int CountLines(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : Lines(Out())) n += line.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  std::unique_ptr<StartedBatch> batch_;
};

// The test Prism server on a port of its own that stays the same when the
// server is stopped and started again; its state (albums, photos) lives in
// a directory that outlasts a restart.
class RestartablePrism {
 public:
  RestartablePrism() : port_(FreePort()) { Start(); }

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  void Start() {
    process_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/usr/bin/python3", SourcePath("tests/peers/prism_server.py"), "--port", std::to_string(port_),
        "--record", dir_ / "requests.jsonl", "--data", dir_ / "data", "--lifetime", "600", "--user",
        "studio:segreta"});
    ASSERT_EQ(process_->ReadLine(60), std::to_string(port_));
  }
  void Stop() {
    process_->Stop();
    process_.reset();
  }
  // Stopped, and its sessions forgotten: a restart then knows no old token.
  void StopForgettingSessions() {
    Stop();
    RunProcess({"/usr/bin/python3", "-c",
                "import json,sys; p=sys.argv[1]; s=json.load(open(p)); s['tokens']={}; json.dump(s, open(p,'w'))",
                dir_ / "data/state.json"});
  }

  std::vector<std::string> RequestLines() const {
    std::vector<std::string> out;
    std::ifstream in(dir_ / "requests.jsonl");
    std::string line;
    while (std::getline(in, line)) {
      auto value = ParseJSONValue(line);
      if (value) out.push_back(value->GetValue("method").AsText() + " " + value->GetValue("path").AsText());
    }
    return out;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : RequestLines()) n += line.rfind(prefix, 0) == 0;
    return n;
  }
  std::unique_ptr<TJSONValue> State() const { return ParseJSONValue(ReadFileBytes(dir_ / "data/state.json")); }

 private:
  TempDir dir_;
  int port_;
  std::unique_ptr<BackgroundProcess> process_;
};

// Album row `id` of account studio/segreta on the server at `baseUrl`.
inline void AddAlbumOn(BatchArchive& a, int id, const std::string& nome, const std::string& baseUrl) {
  a.Execute(
      "INSERT INTO KELALBUMPRISM (ID, TOKENPRISM, IDUSERPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, NOMESITOPRISM, "
      "IDALBUMPRISM, NOMEALBUM, LINK_CONDIVISIONE) VALUES (" +
      std::to_string(id) + ", 'vecchio', 'vecchio', 'studio', 'segreta', '" + baseUrl + "', '', '" + nome +
      "', '')");
}

// Rows of `ids` all published (DATAORATRANSF set and a hash recorded).
inline bool AllPublished(BatchArchive& a, int first, int last) {
  auto t = a.Transfers();
  for (int id = first; id <= last; ++id) {
    if (t[id].dataOra.empty() || t[id].hashPrism.empty()) return false;
  }
  return true;
}

}  // namespace velmora::test
