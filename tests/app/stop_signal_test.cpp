// Whole runs of the real program stopped by SIGTERM, SIGINT or SIGHUP: how
// long the program took to end, what the server received, the transfer row,
// the line it wrote, and that it ended by the signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <thread>

#include "platform/Paths.h"
#include "tests/app/AppTestSupport.h"

extern char** environ;

namespace velmora::test {
namespace {

using Clock = std::chrono::steady_clock;

struct StoppedRun {
  int status = 0;        // raw wait status
  std::string out;       // standard output
  int64_t msToEnd = -1;  // from the last signal to the end of the process
};

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Waits (at most `seconds`) until `ready` holds.
bool WaitFor(const std::function<bool()>& ready, int seconds = 120) {
  auto start = Clock::now();
  while (!ready()) {
    if (MsSince(start) > seconds * 1000) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

size_t CountRequests(PublicationSetup& setup, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& line : setup.Peer().RequestLines()) n += line.rfind(prefix, 0) == 0;
  return n;
}

// One signal: sent `afterMs` after `when` first holds.
struct Signal {
  int number;
  std::function<bool()> when;
  int afterMs = 0;
};

// Runs the program of `setup` for transfer row 5 and sends `signals` in
// order; waits at most 120 s for it to end.
StoppedRun RunAndSignal(PublicationSetup& setup, const std::vector<Signal>& signals) {
  const std::string program = setup.Dir() / "velmora";
  if (!FileExists(program)) CopyFile(BinaryPath("app/velmora"), program);
  const std::string outPath = setup.Dir() / "out.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("LSAN_OPTIONS=", 0) != 0) env.push_back(entry);
  }
  env.push_back("DISPLAY=");
  env.push_back("LSAN_OPTIONS=use_tls=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp"));
  std::vector<std::string> args{program, "1", "query_esterno", "qualsiasi", "5"};
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_addchdir_np(&actions, setup.Dir().Path().c_str());
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  StoppedRun run;
  if (rc != 0) {
    ADD_FAILURE() << "spawn failed";
    return run;
  }
  auto ended = [&] { return ::waitpid(pid, &run.status, WNOHANG) == pid; };
  bool over = false;
  Clock::time_point last = Clock::now();
  for (const Signal& s : signals) {
    if (!WaitFor([&] { return s.when() || (over = ended()); })) ADD_FAILURE() << "the moment never came";
    if (over) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(s.afterMs));
    ::kill(pid, s.number);
    last = Clock::now();
  }
  if (!over && !WaitFor(ended)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &run.status, 0);
    ADD_FAILURE() << "the program did not end";
  }
  run.msToEnd = MsSince(last);
  run.out = ReadFileBytes(outPath);
  return run;
}

const std::vector<std::string> kUnchangedRow{"prima", "prima", ""};

void ExpectEndedBy(const StoppedRun& run, int number) {
  ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit status " << WEXITSTATUS(run.status) << ", output " << run.out;
  EXPECT_EQ(WTERMSIG(run.status), number);
}

TEST(StopSignal, HeldBackLoginAnswerStopsTheRunAtOnce) {
  struct Case {
    int number;
    const char* line;
  };
  for (Case c : {Case{SIGTERM, "Interrotto da SIGTERM: trasferimento non registrato"},
                 Case{SIGINT, "Interrotto da SIGINT: trasferimento non registrato"}}) {
    SCOPED_TRACE(c.line);
    PrismPeer::Options options;
    options.script =
        "[{\"method\":\"POST\",\"path\":\"api/v1/session\",\"delay_ms\":20000,\"status\":200,"
        "\"body\":{}}]";
    PublicationSetup setup(options, ArchiveRows{});
    StoppedRun run = RunAndSignal(
        setup, {{c.number, [&] { return CountRequests(setup, "POST /api/v1/session") == 1; }, 200}});
    ExpectEndedBy(run, c.number);
    EXPECT_EQ(ConsoleLines(run.out), (std::vector<std::string>{c.line}));
    // Not the 20 s the answer was held back.
    EXPECT_LT(run.msToEnd, 10000);
    std::cout << "ended " << run.msToEnd << " ms after the signal\n";
    EXPECT_EQ(setup.Peer().RequestLines(), (std::vector<std::string>{"POST /api/v1/session"}));
    EXPECT_EQ(setup.TransferRow(), kUnchangedRow);
  }
}

TEST(StopSignal, SignalEndsTheWaitForTheServersLoginLimitAtOnce) {
  PrismPeer::Options options;
  options.script =
      R"([{"method":"POST","path":"api/v1/session","status":429,"headers":{"Retry-After":"60"},)"
      R"("body":{"error":"rate limit exceeded","code":429}}])";
  PublicationSetup setup(options, ArchiveRows{});
  StoppedRun run =
      RunAndSignal(setup, {{SIGTERM, [&] { return CountRequests(setup, "POST /api/v1/session") == 1; }, 300}});
  ExpectEndedBy(run, SIGTERM);
  EXPECT_EQ(ConsoleLines(run.out),
            (std::vector<std::string>{"Interrotto da SIGTERM: trasferimento non registrato"}));
  // Not the 60 s the server asked for.
  EXPECT_LT(run.msToEnd, 10000);
  std::cout << "ended " << run.msToEnd << " ms after the signal\n";
  EXPECT_EQ(setup.Peer().RequestLines(), (std::vector<std::string>{"POST /api/v1/session"}));
  EXPECT_EQ(setup.TransferRow(), kUnchangedRow);
}

TEST(StopSignal, SlowlyReadUploadStopsTheRunAtOnce) {
  PrismPeer::Options options;
  // 8 MiB read at 1 MiB/s: the send waits on full socket buffers.
  options.script =
      "[{\"method\":\"POST\",\"path\":\"/upload/\",\"read_rate\":1048576,\"status\":200,"
      "\"body\":{\"message\":\"1 files uploaded\"}}]";
  ArchiveRows rows;
  rows.photoSize = 8 << 20;
  PublicationSetup setup(options, rows);
  StoppedRun run = RunAndSignal(
      setup, {{SIGTERM, [&] { return CountRequests(setup, "POST /api/v1/session") == 1; }, 1500}});
  ExpectEndedBy(run, SIGTERM);
  EXPECT_EQ(ConsoleLines(run.out),
            (std::vector<std::string>{"Interrotto da SIGTERM: trasferimento non registrato"}));
  EXPECT_LT(run.msToEnd, 5000);
  std::cout << "ended " << run.msToEnd << " ms after the signal\n";
  // The server got the login and at most the cut upload, nothing after it.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<std::string> lines = setup.Peer().RequestLines();
  ASSERT_GE(lines.size(), 1u);
  ASSERT_LE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "POST /api/v1/session");
  if (lines.size() == 2) {
    auto requests = setup.Peer().Requests();
    EXPECT_LT(requests[1]->GetValue("body").AsText().size(), rows.photoSize);
  }
  EXPECT_EQ(setup.Peer().State()->GetValue("photos").AsArray().Count(), 0u);
  EXPECT_EQ(setup.TransferRow(), kUnchangedRow);
}

TEST(StopSignal, SignalDuringThePauseFinishesAndRecordsThePublication) {
  PublicationSetup setup({}, ArchiveRows{});
  StoppedRun run =
      RunAndSignal(setup, {{SIGTERM, [&] { return CountRequests(setup, "PUT /api/v1/users/") == 1; }, 300}});
  ExpectEndedBy(run, SIGTERM);
  EXPECT_EQ(ConsoleLines(run.out),
            setup.PublishedLines());
  auto state = setup.Peer().State();
  auto transfer = setup.TransferRow();
  ASSERT_EQ(transfer.size(), 3u);
  EXPECT_EQ(transfer[0], state->GetValue("photos[0].UID").AsText());
  EXPECT_EQ(state->GetValue("photos[0].Title").AsText(), "Gli sposi");
  EXPECT_FALSE(transfer[2].empty());
}

TEST(StopSignal, SecondSignalStopsAFinishingRun) {
  PublicationSetup setup({}, ArchiveRows{});
  auto assigned = [&] { return CountRequests(setup, "PUT /api/v1/users/") == 1; };
  StoppedRun run = RunAndSignal(setup, {{SIGTERM, assigned, 300}, {SIGHUP, assigned, 300}});
  ExpectEndedBy(run, SIGTERM);  // the first signal's
  EXPECT_EQ(
      ConsoleLines(run.out),
      (std::vector<std::string>{setup.Peer().ImportedMessage(),
                                "Interrotto da SIGTERM dopo il caricamento: trasferimento non registrato"}));
  // Cut inside the 4000 ms pause: no lookup, no title.
  EXPECT_LT(run.msToEnd, 3000);
  std::cout << "ended " << run.msToEnd << " ms after the second signal\n";
  EXPECT_EQ(CountRequests(setup, "GET "), 0u);
  EXPECT_EQ(setup.TransferRow(), kUnchangedRow);
}

TEST(StopSignal, ServerTextWithLineBreaksAndNulStaysOneLine) {
  PrismPeer::Options options;
  options.script =
      "[{\"method\":\"PUT\",\"path\":\"/upload/\",\"status\":200,"
      "\"body\":{\"message\":\"ok\\u0000after\\r\\nINJ\\u0085x\\u2028y\\tz\"}}]";
  PublicationSetup setup(options, ArchiveRows{});
  StoppedRun run = RunAndSignal(setup, {});
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(ConsoleLines(run.out),
            (std::vector<std::string>{"ok after  INJ x y\tz", "Impossibile recuperare UID Foto caricata 5",
                                      setup.Peer().UploadedMessage(), "TORNAVELO terminato"}));
  EXPECT_EQ(run.out.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace velmora::test
