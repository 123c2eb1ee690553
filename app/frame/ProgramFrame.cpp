#include "app/frame/ProgramFrame.h"

#include <signal.h>
#include <unistd.h>

#include "archive/FbClient.h"
#include "platform/Paths.h"
#include "platform/Signals.h"

namespace velmora {

int EseguiProgramma(int argc, char** argv, const CorpoProgramma& corpo) {
  // SIGINT, SIGTERM and SIGHUP are noted and acted on by the waits of the
  // program; they must be ours before anything can block.
  InstallStopSignals();
  ::signal(SIGPIPE, SIG_IGN);
  const int codice = corpo(std::vector<std::string>(argv, argv + argc));
  if (StopSignalCount() > 0) {
    ShutdownFbClient();
    EndProcessBySignal();
  }
  return codice;
}

bool FileParametriLeggibile(const std::string& path) {
  return FileExists(path) && ::access(path.c_str(), R_OK) == 0;
}

}  // namespace velmora
