#include <string>
#include <vector>

#include "app/batch/BatchOptions.h"
#include "app/batch/BatchRun.h"
#include "app/batch/WatchRun.h"
#include "app/frame/ProgramFrame.h"
#include "platform/FileDescriptor.h"
#include "platform/Paths.h"
#include "platform/Signals.h"

int main(int argc, char** argv) {
  return velmora::EseguiProgramma(argc, argv, [](const std::vector<std::string>& args) {
    // No window: a batch runs unattended, so the few questions the archive
    // lookup may ask go to the terminal when there is one, else they count
    // as closed and their texts go to standard error.
    velmora::EsitoArgomenti esito = velmora::AnalizzaArgomenti(args);
    if (esito.errore) {
      velmora::WriteAll(2, "velmora-batch: " + *esito.errore + "\nUsare velmora-batch --help per l'aiuto.\n");
      return 2;
    }
    if (esito.opzioni.aiuto) {
      velmora::WriteAll(1, velmora::TestoAiuto());
      return 0;
    }
    if (esito.opzioni.versione) {
      velmora::WriteAll(1, std::string("velmora-batch ") + VELMORA_VERSION + "\n");
      return 0;
    }
    // After a stop signal the summary is out and every claim is committed
    // or rolled back when these return; the frame then ends the process by
    // the signal.
    if (esito.opzioni.watch) {
      // A service re-reads its configuration on SIGHUP instead of stopping.
      velmora::SetHangupReloads(true);
      return velmora::EseguiServizio(esito.opzioni, velmora::ExecutableDirectory());
    }
    return velmora::EseguiBatch(esito.opzioni, velmora::ExecutableDirectory());
  });
}
