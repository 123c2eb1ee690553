// The frame every program of the suite runs in (velmora, velmora-batch,
// velmora-doctor): the stop signals and SIGPIPE set up before anything can
// block, the command-line arguments, the parameter-file check, and the one
// ending after a stop signal. Each program adds only its own options,
// stages and report.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora {

// What a program does once the frame is set up: gets the arguments
// (args[0] is the program name) and returns the exit code.
using CorpoProgramma = std::function<int(const std::vector<std::string>& args)>;

// Call from main. Installs the stop signals (InstallStopSignals,
// platform/Signals.h) and ignores SIGPIPE, so a reader that goes away makes
// writes fail instead of killing the process; then runs `corpo`. When a
// stop signal came, the client library is shut down (its connections
// detached, their open transactions rolled back; the stop signals never
// reach the library's threads, so it comes back) and the process ends by
// the first signal: the caller sees the signal, not the exit code.
// Otherwise returns what `corpo` returned.
int EseguiProgramma(int argc, char** argv, const CorpoProgramma& corpo);

// True when the parameter file `path` exists and can be read: a file that
// cannot be read is as good as none.
bool FileParametriLeggibile(const std::string& path);

}  // namespace velmora
