#include "app/Velmora.h"

#include <new>

#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"

namespace velmora {

int RunFrame(const std::vector<std::string>& args, const RunStages& stages) {
  if (args.size() <= 1) {
    WriteLine("Manca parametro");
    return 0;
  }
  try {
    if (args.size() < 5) {
      WriteLine("Parametri mancanti");
      return 0;
    }
    RunArguments run{args[1], args[2], args[4], IncludeTrailingPathDelimiter(ExecutableDirectory())};
    if (!FileExists(run.baseDir + "ParametriKelvora.ini")) {
      WriteLine("File ParametriKelvora.ini non esistente!");
      return 0;
    }
    stages(run);
  } catch (const Exception& e) {
    WriteLine(std::string(e.ClassName()) + ": " + e.Message());
  } catch (const std::bad_alloc&) {
    WriteLine("EOutOfMemory: Out of memory");
  } catch (const std::exception& e) {
    WriteLine(std::string("Exception: ") + e.what());
  }
  return 0;
}

}  // namespace velmora
