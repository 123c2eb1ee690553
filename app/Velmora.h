// The run frame: argument checks, the parameter file next to the executable
// and the one top-level handler that reports every exception as a line.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora {

// What the frame hands to the run's stages.
struct RunArguments {
  std::string utenteIni;   // argument 1: user code
  std::string dittaIni;    // argument 2: company
  std::string idTransfer;  // argument 4: KELTRANSFLOG row, as given
  std::string baseDir;     // executable directory, ending with "/"
};

// The archive stage followed by the publication sequence.
using RunStages = std::function<void(const RunArguments&)>;

// Runs one publication frame over `args` (args[0] is the program name) and
// returns the exit code, always 0. Every exception reaching the frame is
// written as one report: class name, ": ", message (see ReportMessage in
// platform/Console.h). A stop signal (EStopRequested) is reported with
// RigaInterruzione; the caller then ends the process by the signal.
int RunFrame(const std::vector<std::string>& args, const RunStages& stages);

// The same frame with the parameter file looked up in `baseDir` (ending with
// "/") instead of the executable's directory, for tests.
int RunFrame(const std::vector<std::string>& args, const RunStages& stages, const std::string& baseDir);

// The stages of the real program.
void RunPublication(const RunArguments& arguments);

// The line of a run that a stop signal ended before recording the transfer:
// "Interrotto da SIGTERM: trasferimento non registrato", with " dopo il
// caricamento" after the signal's name when the photo was already on the
// server (the next run publishes it again).
std::string RigaInterruzione(int signalNumber, bool dopoCaricamento);

}  // namespace velmora
