#include <signal.h>

#include <string>
#include <vector>

#include "app/Velmora.h"
#include "archive/FbClient.h"
#include "archive/Qorin2.h"
#include "platform/Signals.h"

int main(int argc, char** argv) {
  // SIGINT, SIGTERM and SIGHUP are noted and acted on by the waits of the
  // run; they must be ours before anything can block.
  velmora::InstallStopSignals();
  // A reader that goes away must not kill the run with SIGPIPE: the exit
  // code stays 0 and writes to the closed pipe simply fail.
  ::signal(SIGPIPE, SIG_IGN);
  // Message boxes and the server prompt go to a window when a display is
  // reachable; the display is opened only when something is shown.
  velmora::InstallWindowDesktop();
  std::vector<std::string> args(argv, argv + argc);
  int exitCode = velmora::RunFrame(args, velmora::RunPublication);
  if (velmora::StopSignalCount() > 0) {
    // Stopped by a signal (the run has said so, or finished first): the
    // caller sees the signal, not the run's exit code.
    velmora::ShutdownFbClient();
    velmora::EndProcessBySignal();
  }
  return exitCode;
}
