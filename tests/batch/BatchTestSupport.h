// An archive for whole batches of the real velmora-batch program: a
// directory with the program, its parameter file and a configuration
// database naming the archive; the archive (embedded in the directory, or
// on the local Firebird server) with album rows, photo rows, transfer rows
// and one small distinct file per photo; the test Prism server.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "config/QorIni22.h"
#include "platform/Paths.h"
#include "tests/peers/PrismPeer.h"
#include "tests/prism/PrismTestSupport.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/RunDirectory.h"
#include "tests/support/TestSupport.h"

namespace velmora::test {

// What a transfer row holds after a batch.
struct TransferState {
  std::string idPrism, hashPrism, dataOra;
};

class BatchArchive {
 public:
  // `archive`: the archive's connect string, "" for an embedded file in
  // the directory.
  explicit BatchArchive(const PrismPeer::Options& peerOptions = {}, const std::string& archive = "")
      : archive_(archive.empty() ? dir_ / "archivio.fdb" : archive) {
    peer_ = std::make_unique<PrismPeer>(peerOptions);
    PrepareRunDirectory(dir_, archive_);
    CreateArchiveDatabase(archive_);
    RunProcess({"/bin/mkdir", "-p", dir_ / "foto"});
    CopyFile(BinaryPath("app/velmora-batch"), Program());
    CopyFile(BinaryPath("app/velmora"), dir_ / "velmora");
  }

  PrismPeer& Peer() { return *peer_; }
  const TempDir& Dir() const { return dir_; }
  std::string Program() const { return dir_ / "velmora-batch"; }

  // An album row of account studio/segreta on the test server.
  void AddAlbum(int id, const std::string& nome, const std::string& idAlbumPrism = "") {
    Execute(
        "INSERT INTO KELALBUMPRISM (ID, TOKENPRISM, IDUSERPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, "
        "NOMESITOPRISM, IDALBUMPRISM, NOMEALBUM, LINK_CONDIVISIONE) VALUES (" +
        std::to_string(id) + ", 'vecchio', 'vecchio', 'studio', 'segreta', '" + peer_->BaseUrl() + "', '" +
        idAlbumPrism + "', '" + nome + "', '')");
  }

  // Transfer row `id` of album row `album` with photo row `id` whose file
  // C:\Foto\f<id>.jpg holds `content` ("" = bytes of its own made from id;
  // no file when `createFile` is false).
  void AddTransfer(int id, int album, bool createFile = true, const std::string& content = "") {
    const std::string n = std::to_string(id);
    Execute("INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES (" + n +
            ", 'C:\\Foto', 'f" + n + "', 'jpg', 'Titolo " + n + "')");
    Execute("INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (" + n + ", " +
            std::to_string(album) + ", " + n + ")");
    if (createFile) {
      WriteFileBytes(PhotoPath(id), content.empty()
                                        ? std::string("\xFF\xD8\xFF\xE0", 4) + "photo " + n + " " +
                                              std::string(2000 + id, static_cast<char>('a' + id % 26))
                                        : content);
    }
  }
  std::string PhotoPath(int id) const { return dir_ / ("foto/f" + std::to_string(id) + ".jpg"); }
  std::string PhotoSha1(int id) const {
    return RunProcess({"/usr/bin/sha1sum", PhotoPath(id)}).out.substr(0, 40);
  }

  void Execute(const std::string& sql) {
    TIBDatabase db;
    AttachDatabase(db, archive_);
    ExecuteSql(db, sql);
  }

  std::map<int, TransferState> Transfers() {
    TIBDatabase db;
    AttachDatabase(db, archive_);
    std::map<int, TransferState> out;
    TIBTransaction transaction;
    transaction.SetDefaultDatabase(&db);
    transaction.StartTransaction();
    {
      TIBSQL sql;
      sql.SetDatabase(&db);
      sql.SetTransaction(&transaction);
      sql.ParamCheck = false;
      sql.SQL = {"SELECT ID, IDPRISM, HASHPRISM, DATAORATRANSF FROM KELTRANSFLOG ORDER BY ID"};
      sql.ExecQuery();
      while (!sql.Eof()) {
        out[sql.Fields(0).AsInteger()] = {sql.Fields(1).AsString(), sql.Fields(2).AsString(),
                                          sql.Fields(3).AsString()};
        sql.Next();
      }
    }
    transaction.Commit();
    return out;
  }
  std::vector<std::string> AlbumRow(int id) {
    TIBDatabase db;
    AttachDatabase(db, archive_);
    return ReadRow(
        db, "SELECT TOKENPRISM, IDUSERPRISM, IDALBUMPRISM, LINK_CONDIVISIONE FROM KELALBUMPRISM WHERE ID = " +
                std::to_string(id));
  }

  std::map<std::string, std::string> Environment() const {
    return {{"DISPLAY", ""},
            {"LSAN_OPTIONS", "use_tls=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp")}};
  }
  std::vector<std::string> Argv(const std::vector<std::string>& options) const {
    std::vector<std::string> argv{Program(), "1", "query_esterno"};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }
  // A single run of the program velmora for transfer row `id`.
  std::vector<std::string> RunArgv(int id) const {
    return {dir_ / "velmora", "1", "query_esterno", "-", std::to_string(id)};
  }
  ProcessResult Run(const std::vector<std::string>& options = {}, int timeoutSeconds = 180) {
    return RunProcess(Argv(options), dir_.Path(), Environment(), timeoutSeconds);
  }

  // Every photo on the server must be the only one with its hash, and every
  // published row must name the photo of its own file; returns the number
  // of published rows. Rows above `lastId` are not looked at.
  size_t ExpectConsistent(int lastId = 1 << 30) {
    auto state = peer_->State();
    const TJSONArray& photos = state->GetValue("photos").AsArray();
    std::map<std::string, std::string> byUid;  // UID -> Hash
    std::map<std::string, int> hashCount;
    for (size_t i = 0; i < photos.Count(); ++i) {
      const std::string hash = photos.Items(i).GetValue("Hash").AsText();
      byUid[photos.Items(i).GetValue("UID").AsText()] = hash;
      EXPECT_EQ(++hashCount[hash], 1) << "two server photos with hash " << hash;
    }
    size_t published = 0;
    for (const auto& [id, row] : Transfers()) {
      if (row.dataOra.empty() || id > lastId) continue;
      ++published;
      EXPECT_EQ(row.hashPrism, PhotoSha1(id)) << "row " << id;
      auto it = byUid.find(row.idPrism);
      if (it == byUid.end()) {
        ADD_FAILURE() << "row " << id << " names no server photo: " << row.idPrism;
        continue;
      }
      EXPECT_EQ(it->second, PhotoSha1(id)) << "row " << id;
    }
    return published;
  }

  // POSTs to the test server's control interface.
  void Control(const std::string& what, const std::string& body = "[]") {
    RunProcess(
        {"/usr/bin/curl", "-s", "-X", "POST", "--data-binary", body, peer_->BaseUrl() + "_control/" + what});
  }

 private:
  TempDir dir_;
  std::string archive_;
  std::unique_ptr<PrismPeer> peer_;
};

// A batch started in the background, its standard output going to a file:
// for stopping it by a signal at a chosen moment. Killed (SIGKILL) and
// reaped when destroyed if still running.
class StartedBatch {
 public:
  StartedBatch(BatchArchive& archive, const std::vector<std::string>& options)
      : StartedBatch(archive, archive.Argv(options), 0) {}
  // Any program with its full `argv` (a single run, for example).
  StartedBatch(BatchArchive& archive, std::vector<std::string> argv, int)
      : out_(archive.Dir() / ("out" + std::to_string(++counter_) + ".txt")) {
    std::map<std::string, std::string> env = archive.Environment();
    pid_ = ::fork();
    if (pid_ == 0) {
      int in = ::open("/dev/null", O_RDONLY);
      int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(in, 0);
      ::dup2(out, 1);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> args;
      for (std::string& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~StartedBatch() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  StartedBatch(const StartedBatch&) = delete;
  StartedBatch& operator=(const StartedBatch&) = delete;

  void Signal(int number) { ::kill(pid_, number); }
  pid_t Pid() const { return pid_; }
  // Waits for the end (at most `seconds`) and returns the wait status, -1
  // when it did not end in time.
  int Wait(int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      ::usleep(20000);
    }
    return -1;
  }
  // What it wrote so far ("" before the child made its file).
  std::string Out() const { return ::access(out_.c_str(), F_OK) == 0 ? ReadFileBytes(out_) : ""; }

 private:
  static inline int counter_ = 0;
  std::string out_;
  pid_t pid_ = -1;
};

// Waits until `condition` holds, at most `seconds`.
template <typename F>
bool WaitFor(F&& condition, int seconds = 60) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (condition()) return true;
    ::usleep(20000);
  }
  return false;
}

// Console output split at CR LF.
inline std::vector<std::string> Lines(const std::string& out);

// Two batches started at once on 16 pending rows of album row 1 (slow
// uploads keep both busy on the same rows): both end with exit code 0,
// every row is published once, by one of them, into one server album.
inline void ExpectTwoBatchesPublishEveryRowOnce(BatchArchive& a) {
  a.AddAlbum(1, "Matrimonio");
  for (int id = 1; id <= 16; ++id) a.AddTransfer(id, 1);
  StartedBatch first(a, {"--jobs", "2"});
  StartedBatch second(a, {"--jobs", "2"});
  int s1 = first.Wait(240);
  int s2 = second.Wait(240);
  ASSERT_TRUE(WIFEXITED(s1) && WIFEXITED(s2)) << s1 << " " << s2;
  EXPECT_EQ(WEXITSTATUS(s1), 0) << first.Out();
  EXPECT_EQ(WEXITSTATUS(s2), 0) << second.Out();
  EXPECT_EQ(a.ExpectConsistent(), 16u);
  auto state = a.Peer().State();
  EXPECT_EQ(state->GetValue("photos").AsArray().Count(), 16u);
  EXPECT_EQ(state->GetValue("albums").AsArray().Count(), 1u);
  const std::string out = first.Out() + second.Out();
  for (int id = 1; id <= 16; ++id) {
    const std::string tag = "Riga " + std::to_string(id) + ": ";
    int published = 0;
    for (const std::string& line : Lines(out)) {
      published += line.rfind(tag + "pubblicata ", 0) == 0 || line.rfind(tag + "già sul server ", 0) == 0;
    }
    EXPECT_EQ(published, 1) << "row " << id << "\n" << out;
  }
}

inline std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find("\r\n", start);
    if (end == std::string::npos) end = out.size();
    lines.push_back(out.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace velmora::test
