// Stop signals: the program owns SIGINT, SIGTERM and SIGHUP. The handler only
// notes a signal (a counter, the first signal's number, and one byte in a
// self-pipe for the first and for the second signal); the code that waits
// acts on it.
//
// How a program uses it:
//   1. main calls InstallStopSignals() before anything else may block.
//   2. Every blocking wait either polls StopWaitFd() beside its own
//      descriptor (PollUnlessStopped does both) or sleeps with
//      SleepUnlessStopped, and raises EStopRequested when WaitsStopped().
//   3. A thread whose work must be finished once it has started (the photo is
//      already on the server) raises its own threshold with
//      StopThresholdScope(2): its waits then end only at the second signal.
//   4. Calls into a library that installs handlers of its own run inside a
//      StopSignalsHeld scope, which puts the program's handler back after.
//   5. The outermost frame catches EStopRequested, reports it in its own
//      words, and main ends with EndProcessBySignal() when StopSignalCount()
//      is not 0, so the caller sees the signal as the cause of the end.
//   6. A service that re-reads its configuration on SIGHUP (as services do)
//      calls SetHangupReloads(true): SIGHUP is then no stop signal, only a
//      request that TakeReloadRequest() hands out once.
#pragma once

#include <poll.h>
#include <signal.h>

#include <cstdint>

namespace velmora {

// Raised by a wait that a stop signal ended (see WaitsStopped). Deliberately
// not derived from Exception (nor std::exception): handlers that turn an
// Exception into a console line and carry on must not swallow it.
class EStopRequested {
 public:
  explicit EStopRequested(int signalNumber, bool finishing = false) noexcept
      : signal_(signalNumber), finishing_(finishing) {}
  // The number of the first stop signal (SIGINT, SIGTERM or SIGHUP).
  int SignalNumber() const noexcept { return signal_; }
  // True when the wait belonged to work that was being finished (a
  // threshold of 2 or more): a second signal ended it.
  bool Finishing() const noexcept { return finishing_; }
  // The class name, for reports.
  const char* ClassName() const noexcept { return "EStopRequested"; }

 private:
  int signal_;
  bool finishing_;
};

// Installs the handler for SIGINT, SIGTERM and SIGHUP and creates the
// self-pipes. The first call also blocks the three signals in the calling
// thread and starts one thread of its own that takes them: call it first in
// main, before any other thread exists, so that every thread started later
// (a library's too) inherits the blocked mask and no library call is ever
// interrupted by them (EINTR). A child process inherits the mask too: unblock
// the three in it before exec. Safe to call again: a library that put its own
// handlers in place is overridden, and nothing noted so far is lost. Raises
// nothing; when the pipes cannot be made, waits still see the signal within
// their polling slice.
void InstallStopSignals() noexcept;

// With `reloads` true, a SIGHUP received from now on is not a stop signal:
// it is noted as a request to read the configuration again (see
// TakeReloadRequest), and no wait ends for it. With false (the default), it
// stops like SIGINT and SIGTERM.
void SetHangupReloads(bool reloads) noexcept;

// True when a SIGHUP was noted as a reload request since the last call
// (several SIGHUPs in between count as one). Async-signal-safe.
bool TakeReloadRequest() noexcept;

// Stop signals received so far (0: none). Async-signal-safe.
int StopSignalCount() noexcept;
// The number of the first stop signal received, 0 when none.
int FirstStopSignal() noexcept;
// At least one stop signal arrived.
inline bool StopRequested() noexcept { return StopSignalCount() >= 1; }
// At least two stop signals arrived: even work that must be finished stops.
inline bool SecondStopSignal() noexcept { return StopSignalCount() >= 2; }

// The calling thread's threshold: how many stop signals end its waits (1 by
// default; 2 for work that is finished after a first signal; 0 or less:
// never, for code that must not be interrupted).
int StopThreshold() noexcept;
// True when the calling thread's waits must end now: a threshold above 0
// and at least that many signals received.
bool WaitsStopped() noexcept;
// Raises EStopRequested (Finishing() when the threshold is 2 or more) when
// WaitsStopped().
void ThrowIfStopped();

// Sets the calling thread's threshold for its lifetime and restores the
// previous one when destroyed.
class StopThresholdScope {
 public:
  explicit StopThresholdScope(int threshold) noexcept;
  ~StopThresholdScope();
  StopThresholdScope(const StopThresholdScope&) = delete;
  StopThresholdScope& operator=(const StopThresholdScope&) = delete;

 private:
  int previous_;
};

// While alive, the stop signals are held back on the calling thread; when it
// ends, the program's handler is put back in place (when InstallStopSignals
// was called: a library may have installed its own meanwhile, as the
// database client library does at its first attach) and the signals held
// back reach it. Wrap calls into libraries that install signal handlers.
class StopSignalsHeld {
 public:
  StopSignalsHeld() noexcept;
  ~StopSignalsHeld();
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// A descriptor for poll() that becomes readable (and stays so) once the
// calling thread's threshold is reached (1 or 2; a higher threshold counts
// as 2). Never read from it. -1 for a threshold of 0 or less, before
// InstallStopSignals, or when the pipes could not be made.
int StopWaitFd() noexcept;

// poll() over `fds` that also ends when the calling thread's waits are
// stopped: returns poll's result (EINTR retried with the time left), and
// raises EStopRequested when stopped before or while waiting. `timeoutMs`
// below 0 waits without limit. Returns -1 with errno set on a poll error.
int PollUnlessStopped(pollfd* fds, nfds_t count, int timeoutMs);

// Sleeps `milliseconds`; raises EStopRequested within a few milliseconds of
// the calling thread's waits being stopped.
void SleepUnlessStopped(uint32_t milliseconds);

// Ends the process by the first stop signal: its default action is restored,
// the signal unblocked and raised again; no exit handlers run. If the
// process survives the raise it ends with _exit(128 + n); without a noted
// signal it ends with _exit(1).
[[noreturn]] void EndProcessBySignal() noexcept;

// The signal's name: "SIGINT", "SIGTERM", "SIGHUP"; "SIGNAL" for any other.
const char* StopSignalName(int signalNumber) noexcept;

}  // namespace velmora
