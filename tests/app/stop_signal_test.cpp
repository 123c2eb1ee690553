// Whole runs of the real program stopped by SIGTERM, SIGINT or SIGHUP: how
// long the program took to end, what the server received, the transfer row,
// the line it wrote, and that it ended by the signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>

#include "platform/Paths.h"
#include "tests/app/AppTestSupport.h"

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

size_t CountRequests(PublicationSetup& setup, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& line : setup.Peer().RequestLines()) n += line.rfind(prefix, 0) == 0;
  return n;
}

// One signal: sent when `when` first holds (it is given the running
// program), once the signal before it has reached the program.
struct Signal {
  int number;
  std::function<bool(BackgroundProcess&)> when;
};

// True while signal `number` is pending for process `pid`: sent, not yet
// taken by the program's handler.
bool SignalPending(pid_t pid, int number) {
  std::string status;
  try {
    status = ReadFileBytes("/proc/" + std::to_string(pid) + "/status");
  } catch (const std::exception&) {
    return false;  // ended
  }
  for (const char* field : {"ShdPnd:", "SigPnd:"}) {
    size_t at = status.find(field);
    if (at == std::string::npos) continue;
    const unsigned long long mask = std::stoull(status.substr(at + std::strlen(field)), nullptr, 16);
    if (mask & (1ULL << (number - 1))) return true;
  }
  return false;
}

// Runs the program of `setup` for transfer row 5 and sends `signals` in
// order; waits at most 120 s for it to end.
StoppedRun RunAndSignal(PublicationSetup& setup, const std::vector<Signal>& signals) {
  const std::string program = setup.Dir() / "velmora";
  if (!FileExists(program)) CopyFile(BinaryPath("app/velmora"), program);
  BackgroundProcess process(
      {program, "1", "query_esterno", "qualsiasi", "5"},
      {{"DISPLAY", ""},
       {"LSAN_OPTIONS", "use_tls=0:suppressions=" + SourcePath("tests/fixtures/lsan_firebird.supp")}},
      setup.Dir().Path());
  StoppedRun run;
  bool over = false;
  auto ended = [&] { return (run.status = process.Wait(std::chrono::milliseconds(0))) != -1; };
  Clock::time_point last = Clock::now();
  int previous = 0;
  for (const Signal& s : signals) {
    auto ready = [&] {
      return previous == 0 || !SignalPending(process.Pid(), previous) ? s.when(process) : false;
    };
    if (!WaitFor([&] { return ready() || (over = ended()); }, std::chrono::seconds(120)))
      ADD_FAILURE() << "the moment never came";
    if (over) break;
    process.Signal(s.number);
    previous = s.number;
    last = Clock::now();
  }
  if (!over) {
    run.status = process.Wait(std::chrono::seconds(120));
    if (run.status == -1) ADD_FAILURE() << "the program did not end";
  }
  run.msToEnd = MsSince(last);
  run.out = process.Output();
  return run;
}

// The run has written the line of the album assignment (the server's
// filing message): it is in the pause before the lookup.
std::function<bool(BackgroundProcess&)> InThePause(PublicationSetup& setup) {
  return [line = setup.Peer().ImportedMessage() + "\r\n"](BackgroundProcess& run) {
    return run.Output().find(line) != std::string::npos;
  };
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
    // The login is at the server: the run waits for its answer.
    StoppedRun run = RunAndSignal(
        setup,
        {{c.number, [&](BackgroundProcess&) { return CountRequests(setup, "POST /api/v1/session") == 1; }}});
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
  options.script = R"([{"method":"POST","path":"api/v1/session","status":429,"headers":{"Retry-After":"60"},)"
                   R"("body":{"error":"rate limit exceeded","code":429}}])";
  PublicationSetup setup(options, ArchiveRows{});
  StoppedRun run = RunAndSignal(
      setup,
      {{SIGTERM, [&](BackgroundProcess&) { return CountRequests(setup, "POST /api/v1/session") == 1; }}});
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
  // A MiB of the upload has reached the server: the run's send waits on
  // full socket buffers.
  StoppedRun run = RunAndSignal(
      setup, {{SIGTERM, [&](BackgroundProcess&) { return setup.Peer().SlowReadBytes() >= (1u << 20); }}});
  ExpectEndedBy(run, SIGTERM);
  EXPECT_EQ(ConsoleLines(run.out),
            (std::vector<std::string>{"Interrotto da SIGTERM: trasferimento non registrato"}));
  EXPECT_LT(run.msToEnd, 5000);
  std::cout << "ended " << run.msToEnd << " ms after the signal\n";
  // The server got the login and at most the cut upload, nothing after it.
  ASSERT_TRUE(WaitFor([&] { return setup.Peer().SlowReadDone(); }));
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
  StoppedRun run = RunAndSignal(setup, {{SIGTERM, InThePause(setup)}});
  ExpectEndedBy(run, SIGTERM);
  EXPECT_EQ(ConsoleLines(run.out), setup.PublishedLines());
  auto state = setup.Peer().State();
  auto transfer = setup.TransferRow();
  ASSERT_EQ(transfer.size(), 3u);
  EXPECT_EQ(transfer[0], state->GetValue("photos[0].UID").AsText());
  EXPECT_EQ(state->GetValue("photos[0].Title").AsText(), "Gli sposi");
  EXPECT_FALSE(transfer[2].empty());
}

TEST(StopSignal, SecondSignalStopsAFinishingRun) {
  PublicationSetup setup({}, ArchiveRows{});
  StoppedRun run =
      RunAndSignal(setup, {{SIGTERM, InThePause(setup)}, {SIGHUP, [](BackgroundProcess&) { return true; }}});
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
