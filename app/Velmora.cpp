#include "app/Velmora.h"

#include <new>

#include "app/frame/ProgramFrame.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Signals.h"

namespace velmora {
namespace {

// `baseDir` null: the executable's directory, found only once the arguments
// have passed their check.
int Frame(const std::vector<std::string>& args, const RunStages& stages, const std::string* baseDir) {
  if (args.size() <= 1) {
    WriteLine("Manca parametro");
    return 0;
  }
  try {
    if (args.size() < 5) {
      WriteLine("Parametri mancanti");
      return 0;
    }
    std::string dir = IncludeTrailingPathDelimiter(baseDir ? *baseDir : ExecutableDirectory());
    RunArguments run{args[1], args[2], args[4], dir};
    std::string parameterFile = run.baseDir + "ParametriKelvora.ini";
    if (!FileParametriLeggibile(parameterFile)) {
      WriteLine("File ParametriKelvora.ini non esistente!");
      return 0;
    }
    stages(run);
  } catch (const EStopRequested& stop) {
    WriteLine(RigaInterruzione(stop.SignalNumber(), stop.Finishing()));
  } catch (const Exception& e) {
    WriteLine(std::string(e.ClassName()) + ": " + ReportMessage(e));
  } catch (const std::bad_alloc&) {
    WriteLine("EOutOfMemory: Out of memory");
  } catch (const std::exception& e) {
    WriteLine(std::string("Exception: ") + OneLineText(e.what()));
  } catch (...) {
    // Nothing may escape the frame: the exit code stays 0 on every path.
    WriteLine("Exception: Unknown exception");
  }
  return 0;
}

}  // namespace

std::string RigaInterruzione(int signalNumber, bool dopoCaricamento) {
  return std::string("Interrotto da ") + StopSignalName(signalNumber) +
         (dopoCaricamento ? " dopo il caricamento" : "") + ": trasferimento non registrato";
}

int RunFrame(const std::vector<std::string>& args, const RunStages& stages) {
  return Frame(args, stages, nullptr);
}

int RunFrame(const std::vector<std::string>& args, const RunStages& stages, const std::string& baseDir) {
  return Frame(args, stages, &baseDir);
}

}  // namespace velmora
