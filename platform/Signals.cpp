#include "platform/Signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>

namespace velmora {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Without a pipe a wait looks at the counter at least this often.
constexpr int kSliceMs = 200;

std::atomic<int> gCount{0};
std::atomic<int> gFirst{0};
// Write ends, read ends: index 0 for the first signal, 1 for the second.
std::atomic<int> gWriteFd[2] = {-1, -1};
std::atomic<int> gReadFd[2] = {-1, -1};
std::once_flag gPipesOnce;
std::once_flag gReceiverOnce;

std::atomic<bool> gInstalled{false};
std::atomic<bool> gHangupReloads{false};
std::atomic<bool> gReloadRequested{false};

thread_local int tThreshold = 1;

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free counters");

void OnStopSignal(int number) {
  if (number == SIGHUP && gHangupReloads.load()) {
    gReloadRequested = true;
    return;
  }
  int savedErrno = errno;
  int expected = 0;
  gFirst.compare_exchange_strong(expected, number);
  int count = gCount.fetch_add(1) + 1;
  if (count <= 2) {
    int fd = gWriteFd[count - 1].load();
    if (fd >= 0) {
      char byte = 1;
      ssize_t ignored = ::write(fd, &byte, 1);
      (void)ignored;
    }
  }
  errno = savedErrno;
}

// The one thread that takes the stop signals: every other thread has them
// blocked (the threads a library starts later inherit the mask of the thread
// that called InstallStopSignals), so no library call ever sees EINTR.
void* ReceiveStopSignals(void*) {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kStopSignals) sigaddset(&set, number);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  for (;;) ::pause();
  return nullptr;
}

void StartReceiver() {
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, ReceiveStopSignals, nullptr) == 0) ::pthread_detach(thread);
}

void MakePipes() {
  for (int i = 0; i < 2; ++i) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    gReadFd[i] = fds[0];
    gWriteFd[i] = fds[1];
  }
}

using Clock = std::chrono::steady_clock;

// Rounded up, so that a wait never ends before its deadline.
int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

void InstallStopSignals() noexcept {
  std::call_once(gPipesOnce, MakePipes);
  gInstalled = true;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int number : kStopSignals) sigaddset(&action.sa_mask, number);
  action.sa_flags = 0;  // no SA_RESTART: a blocked call returns EINTR
  for (int number : kStopSignals) ::sigaction(number, &action, nullptr);
  std::call_once(gReceiverOnce, [] {
    sigset_t set;
    sigemptyset(&set);
    for (int number : kStopSignals) sigaddset(&set, number);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    StartReceiver();
  });
}

void SetHangupReloads(bool reloads) noexcept { gHangupReloads = reloads; }

bool TakeReloadRequest() noexcept { return gReloadRequested.exchange(false); }

int StopSignalCount() noexcept { return gCount.load(); }

int FirstStopSignal() noexcept { return gFirst.load(); }

int StopThreshold() noexcept { return tThreshold; }

bool WaitsStopped() noexcept { return tThreshold > 0 && StopSignalCount() >= tThreshold; }

void ThrowIfStopped() {
  if (WaitsStopped()) throw EStopRequested(FirstStopSignal(), tThreshold >= 2);
}

StopThresholdScope::StopThresholdScope(int threshold) noexcept : previous_(tThreshold) {
  tThreshold = threshold;
}

StopThresholdScope::~StopThresholdScope() { tThreshold = previous_; }

StopSignalsHeld::StopSignalsHeld() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int number : kStopSignals) sigaddset(&set, number);
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

StopSignalsHeld::~StopSignalsHeld() {
  if (gInstalled) InstallStopSignals();
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int StopWaitFd() noexcept {
  if (tThreshold <= 0) return -1;
  return gReadFd[tThreshold >= 2 ? 1 : 0].load();
}

int PollUnlessStopped(pollfd* fds, nfds_t count, int timeoutMs) {
  ThrowIfStopped();
  bool limited = timeoutMs >= 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  int stopFd = StopWaitFd();
  bool watched = tThreshold > 0;
  std::vector<pollfd> all(fds, fds + count);
  if (stopFd >= 0) all.push_back(pollfd{stopFd, POLLIN, 0});
  for (;;) {
    int wait = limited ? MsLeft(deadline) : -1;
    // Without a pipe the counter is looked at in slices.
    if (watched && stopFd < 0 && (wait < 0 || wait > kSliceMs)) wait = kSliceMs;
    for (pollfd& p : all) p.revents = 0;
    int r = ::poll(all.data(), all.size(), wait);
    if (r < 0 && errno != EINTR) return -1;
    ThrowIfStopped();
    if (r > 0) {
      if (stopFd >= 0 && all.back().revents != 0) --r;  // not stopped after all
      for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
      if (r > 0) return r;
    }
    if (limited && MsLeft(deadline) == 0) {
      for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
      return 0;
    }
  }
}

void SleepUnlessStopped(uint32_t milliseconds) {
  PollUnlessStopped(nullptr, 0, static_cast<int>(milliseconds));
}

void EndProcessBySignal() noexcept {
  int number = FirstStopSignal();
  if (number == 0) ::_exit(1);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(number, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, number);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(number);
  ::_exit(128 + number);
}

const char* StopSignalName(int signalNumber) noexcept {
  switch (signalNumber) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGNAL";
  }
}

}  // namespace velmora
