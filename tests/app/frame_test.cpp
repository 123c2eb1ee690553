#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "app/Velmora.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// The built program copied into a directory of its own (a copy: a link
// would resolve back to the build tree and its parameter file).
class Installed {
 public:
  Installed() { test::CopyFile(test::BinaryPath("app/velmora"), dir_ / "velmora"); }
  const TempDir& Dir() const { return dir_; }
  std::string Program() const { return dir_ / "velmora"; }
  test::ProcessResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), Program());
    // Run from its own directory, so nothing the run may create lands elsewhere.
    return test::RunProcess(args, dir_.Path());
  }

 private:
  TempDir dir_;
};

const char kMissing[] = "File ParametriKelvora.ini non esistente!\r\n";

TEST(Frame, ArgumentChecksOfTheProgram) {
  Installed velmora;
  const std::string binaryBytes("\xFF\xFE\x01 \x7F", 5);
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {"no arguments", {}, "Manca parametro\r\n"},
      {"one", {"1"}, "Parametri mancanti\r\n"},
      {"three", {"1", "ditta", "x"}, "Parametri mancanti\r\n"},
      {"four without parameter file", {"1", "ditta", "x", "42"}, kMissing},
      {"five behave as four", {"1", "ditta", "x", "42", "extra"}, kMissing},
      {"empty arguments count", {"", "", "", ""}, kMissing},
      {"any bytes", {binaryBytes, "a\r\nb", "caff\u00E8", "1; DROP TABLE X", "%s%n"}, kMissing},
      {"three, odd bytes", {binaryBytes, "\n", "\r"}, "Parametri mancanti\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ProcessResult r = velmora.Run(c.args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Frame, ParameterFileThatIsNoFileCountsAsMissing) {
  const struct {
    const char* name;
    std::function<void(const std::string& path)> make;
  } cases[] = {
      {"directory", [](const std::string& p) { fs::create_directory(p); }},
      {"dangling link", [](const std::string& p) { fs::create_symlink(p + ".gone", p); }},
      {"link to a directory",
       [](const std::string& p) {
         fs::create_directory(p + ".d");
         fs::create_symlink(p + ".d", p);
       }},
      {"link loop", [](const std::string& p) { fs::create_symlink(p, p); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed velmora;
    c.make(velmora.Dir() / "ParametriKelvora.ini");
    test::ProcessResult r = velmora.Run({"1", "ditta", "x", "42"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kMissing);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Frame, ParameterFileIsLookedUpBesideTheRealExecutable) {
  // Started through a link from a directory that has the file: the program
  // lives elsewhere, where there is none.
  Installed velmora;
  TempDir other;
  test::WriteFileBytes(other / "ParametriKelvora.ini", "[CONFIG]\r\nUtente=1\r\n");
  fs::create_symlink(velmora.Program(), other / "velmora");
  test::ProcessResult r = test::RunProcess({other / "velmora", "1", "ditta", "x", "42"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kMissing);
}

TEST(Frame, WithParameterFileTheRunGoesOn) {
  const struct {
    const char* name;
    bool asLink;
  } cases[] = {{"file", false}, {"link to a file", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installed velmora;
    TempDir elsewhere;
    std::string file = c.asLink ? elsewhere / "params.ini" : velmora.Dir() / "ParametriKelvora.ini";
    test::WriteFileBytes(file, "[CONFIG]\r\nUtente=1\r\n");
    if (c.asLink) fs::create_symlink(file, velmora.Dir() / "ParametriKelvora.ini");
    test::ProcessResult r = velmora.Run({"1", "ditta", "x", "42"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out, kMissing);
    ASSERT_FALSE(r.out.empty());
    // Whatever the stages report, it comes as whole CR LF lines.
    EXPECT_TRUE(r.out.ends_with("\r\n")) << r.out;
    for (size_t i = 0; i < r.out.size(); ++i) {
      if (r.out[i] == '\n') {
        EXPECT_TRUE(i > 0 && r.out[i - 1] == '\r') << r.out;
      }
    }
  }
}

TEST(Frame, ReaderGoneDoesNotKillTheRun) {
  // Standard output is a pipe nobody reads any more: the line cannot be
  // delivered, yet the program ends normally with exit code 0.
  Installed velmora;
  test::ReaderGoneResult r = test::RunWithReaderGone({velmora.Program()}, velmora.Dir().Path());
  ASSERT_NE(r.waitStatus, -1) << "still running at the time limit";
  ASSERT_TRUE(WIFEXITED(r.waitStatus)) << "ended by signal " << WTERMSIG(r.waitStatus);
  EXPECT_EQ(WEXITSTATUS(r.waitStatus), 0);
}

// ---- the frame in process, with the stages replaced ----

class FrameInProcess : public testing::Test {
 protected:
  FrameInProcess() { test::WriteFileBytes(dir_ / "ParametriKelvora.ini", "[CONFIG]\r\n"); }

  // Runs the frame; returns the bytes it wrote to standard output.
  std::string Run(const std::vector<std::string>& args, const RunStages& stages, int* exitCode = nullptr) {
    int code = -1;
    std::string out = test::CaptureFd(1, [&] { code = RunFrame(args, stages, dir_.Path()); });
    if (exitCode) *exitCode = code;
    return out;
  }

  TempDir dir_;
};

TEST_F(FrameInProcess, EveryExceptionIsOneReport) {
  const struct {
    const char* name;
    std::function<void()> raise;
    std::string out;
  } cases[] = {
      {"socket error keeps its line break",
       [] { throw EIdSocketError("Socket Error # 10061\r\nConnection refused.", 10061); },
       "EIdSocketError: Socket Error # 10061\r\nConnection refused.\r\n"},
      {"cast", [] { throw EInvalidCast("Invalid class typecast"); },
       "EInvalidCast: Invalid class typecast\r\n"},
      {"database error, several lines",
       [] {
         throw EIBInterBaseError(
             "Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nKELTRANSFLOG", -204, 335544569);
       },
       "EIBInterBaseError: Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nKELTRANSFLOG\r\n"},
      {"INI write", [] { throw EIniFileException("Unable to write to /srv/a/dati.ini"); },
       "EIniFileException: Unable to write to /srv/a/dati.ini\r\n"},
      {"HTTP", [] { throw EIdHTTPProtocolException("HTTP/1.1 401 Unauthorized", 401, "{}"); },
       "EIdHTTPProtocolException: HTTP/1.1 401 Unauthorized\r\n"},
      {"base class", [] { throw Exception("plain"); }, "Exception: plain\r\n"},
      {"empty message", [] { throw EFOpenError(""); }, "EFOpenError: \r\n"},
      {"foreign exception", [] { throw std::runtime_error("boom"); }, "Exception: boom\r\n"},
      {"not an exception at all", [] { throw 42; }, "Exception: Unknown exception\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int code = -1;
    std::string out = Run(
        {"velmora", "1", "ditta", "x", "42"}, [&](const RunArguments&) { c.raise(); }, &code);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(code, 0);
  }
}

TEST_F(FrameInProcess, LinesBeforeTheFailureStay) {
  std::string out = Run({"velmora", "1", "ditta", "x", "42"}, [](const RunArguments&) {
    WriteLine("Login Prism effettuato");
    throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  });
  EXPECT_EQ(out, "Login Prism effettuato\r\nEIdConnClosedGracefully: Connection Closed Gracefully.\r\n");
}

TEST_F(FrameInProcess, UnreadableParameterFileCountsAsMissing) {
  // Root reads any file: the frame runs as "nobody" in a child process.
  ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ / "ParametriKelvora.ini").c_str(), 0), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
    int calls = 0;
    std::string out = Run({"velmora", "1", "2", "3", "4"}, [&](const RunArguments&) { ++calls; });
    ::_exit(out == kMissing && calls == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no unprivileged identity available";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(FrameInProcess, StagesGetTheArguments) {
  std::vector<RunArguments> seen;
  auto record = [&](const RunArguments& a) { seen.push_back(a); };
  EXPECT_EQ(Run({"velmora", "U1", "Ditta Uno", "ignored", "77", "extra", "more"}, record), "");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].utenteIni, "U1");
  EXPECT_EQ(seen[0].dittaIni, "Ditta Uno");
  EXPECT_EQ(seen[0].idTransfer, "77");
  EXPECT_EQ(seen[0].baseDir, dir_.Path());
}

TEST_F(FrameInProcess, StagesNotRunWhenTheChecksStop) {
  int calls = 0;
  auto count = [&](const RunArguments&) { ++calls; };
  EXPECT_EQ(Run({"velmora"}, count), "Manca parametro\r\n");
  EXPECT_EQ(Run({}, count), "Manca parametro\r\n");
  EXPECT_EQ(Run({"velmora", "1", "2", "3"}, count), "Parametri mancanti\r\n");
  fs::remove(dir_ / "ParametriKelvora.ini");
  EXPECT_EQ(Run({"velmora", "1", "2", "3", "4"}, count), kMissing);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace velmora
