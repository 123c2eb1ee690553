// Stop signals. Every case runs in a child process of its own, since the
// noted signals last for the whole process.
#include "platform/Signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

// Runs `body` in a child process with the stop signals installed; returns
// the raw wait status. The child ends with _exit(0) when `body` returns.
int InChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    InstallStopSignals();
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

void SignalLater(int number, int afterMs) {
  std::thread([number, afterMs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    ::kill(::getpid(), number);
  }).detach();
}

// Sends `number` to the process and waits until the receiver noted it.
void SignalNow(int number) {
  int before = StopSignalCount();
  ::kill(::getpid(), number);
  for (int i = 0; i < 2000 && StopSignalCount() == before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

// Exit codes of the children: 0 is success, each failure has its own code.
TEST(Signals, NothingNotedWithoutSignal) {
  int status = InChild([] {
    if (StopSignalCount() != 0 || FirstStopSignal() != 0 || StopRequested() || WaitsStopped()) return 1;
    auto start = std::chrono::steady_clock::now();
    SleepUnlessStopped(60);
    if (MsSince(start) < 60) return 2;
    int fds[2];
    if (::pipe(fds) != 0) return 3;
    if (::write(fds[1], "x", 1) != 1) return 3;
    pollfd p{fds[0], POLLIN, 0};
    if (PollUnlessStopped(&p, 1, 1000) != 1 || (p.revents & POLLIN) == 0) return 4;
    pollfd idle{fds[1], 0, 0};
    if (PollUnlessStopped(&idle, 1, 30) != 0) return 5;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Signals, SignalEndsSleepAndPollEarly) {
  struct Case {
    int signal;
    bool poll;
  };
  for (Case c : {Case{SIGTERM, false}, Case{SIGINT, true}, Case{SIGHUP, false}}) {
    SCOPED_TRACE(StopSignalName(c.signal));
    int status = InChild([c] {
      SignalLater(c.signal, 100);
      auto start = std::chrono::steady_clock::now();
      try {
        if (c.poll) {
          int fds[2];
          if (::pipe(fds) != 0) return 9;
          pollfd p{fds[0], POLLIN, 0};
          PollUnlessStopped(&p, 1, 20000);
        } else {
          SleepUnlessStopped(20000);
        }
        return 1;  // the wait ran to its end
      } catch (const EStopRequested& stop) {
        if (stop.SignalNumber() != c.signal) return 2;
      }
      if (MsSince(start) > 10000) return 3;
      if (StopSignalCount() != 1 || FirstStopSignal() != c.signal || SecondStopSignal()) return 4;
      // Once noted, every later wait ends at once.
      try {
        SleepUnlessStopped(20000);
        return 5;
      } catch (const EStopRequested&) {
      }
      return 0;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// A service's SIGHUP: a reload request, handed out once, that ends no
// wait; SIGTERM still stops.
TEST(Signals, HangupReloadsWhenAskedTo) {
  int status = InChild([] {
    SetHangupReloads(true);
    if (TakeReloadRequest()) return 1;
    SignalLater(SIGHUP, 50);
    try {
      SleepUnlessStopped(400);
    } catch (const EStopRequested&) {
      return 2;
    }
    bool noted = false;
    for (int i = 0; i < 2000 && !noted; ++i) {
      noted = TakeReloadRequest();
      if (!noted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!noted) return 3;
    if (TakeReloadRequest() || StopSignalCount() != 0 || StopRequested()) return 4;
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGHUP);
    SignalNow(SIGTERM);
    if (StopSignalCount() != 1 || FirstStopSignal() != SIGTERM) return 5;
    if (!TakeReloadRequest() || TakeReloadRequest()) return 6;
    // Back to the default: SIGHUP stops again.
    SetHangupReloads(false);
    SignalNow(SIGHUP);
    if (StopSignalCount() != 2) return 7;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Signals, ThresholdTwoWaitsForTheSecondSignal) {
  int status = InChild([] {
    SignalNow(SIGTERM);
    if (!StopRequested()) return 1;
    try {
      ThrowIfStopped();
      return 2;
    } catch (const EStopRequested&) {
    }
    {
      StopThresholdScope finishing(2);
      if (WaitsStopped()) return 3;
      auto start = std::chrono::steady_clock::now();
      SleepUnlessStopped(150);  // the first signal does not end it
      if (MsSince(start) < 150) return 4;
      SignalLater(SIGINT, 100);
      try {
        SleepUnlessStopped(20000);
        return 5;
      } catch (const EStopRequested& stop) {
        if (stop.SignalNumber() != SIGTERM) return 6;  // the first signal's number
      }
      if (MsSince(start) > 10000) return 7;
    }
    if (StopThreshold() != 1) return 8;
    {
      StopThresholdScope never(0);
      SleepUnlessStopped(20);
    }
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Signals, EndProcessBySignalEndsByTheFirstSignal) {
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(StopSignalName(number));
    int status = InChild([number]() -> int {
      SignalNow(number);
      SignalNow(SIGTERM);
      EndProcessBySignal();
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), number);
  }
  int status = InChild([]() -> int { EndProcessBySignal(); });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Signals, NoOtherThreadIsInterrupted) {
  // The signals go to the receiver thread: a read blocked in another thread
  // (as a library's would be) is not interrupted, and the pipe still wakes.
  int status = InChild([] {
    int fds[2];
    if (::pipe(fds) != 0) return 9;
    // Writes once the signal was noted: the read below was blocked when it came.
    std::thread writer([fds] {
      test::WaitFor([] { return StopRequested(); });
      if (::write(fds[1], "x", 1) != 1) ::_exit(8);
    });
    SignalLater(SIGTERM, 100);
    char byte;
    ssize_t n = ::read(fds[0], &byte, 1);
    writer.join();
    if (n != 1) return 1;
    if (!StopRequested()) return 2;
    return 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velmora
