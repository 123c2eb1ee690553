#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/batch/BatchOptions.h"
#include "app/batch/BatchRun.h"
#include "app/batch/WatchRun.h"
#include "platform/Paths.h"
#include "platform/Signals.h"

namespace {

void Scrivi(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  velmora::InstallStopSignals();
  // No window: a batch runs unattended, so the few questions the archive
  // lookup may ask go to the terminal when there is one, else they count
  // as closed and their texts go to standard error.
  std::vector<std::string> args(argv, argv + argc);
  velmora::EsitoArgomenti esito = velmora::AnalizzaArgomenti(args);
  if (esito.errore) {
    Scrivi(2, "velmora-batch: " + *esito.errore + "\nUsare velmora-batch --help per l'aiuto.\n");
    return 2;
  }
  if (esito.opzioni.aiuto) {
    Scrivi(1, velmora::TestoAiuto());
    return 0;
  }
  if (esito.opzioni.versione) {
    Scrivi(1, std::string("velmora-batch ") + VELMORA_VERSION + "\n");
    return 0;
  }
  int codice = 0;
  if (esito.opzioni.watch) {
    // A service re-reads its configuration on SIGHUP instead of stopping.
    velmora::SetHangupReloads(true);
    codice = velmora::EseguiServizio(esito.opzioni, velmora::ExecutableDirectory());
  } else {
    codice = velmora::EseguiBatch(esito.opzioni, velmora::ExecutableDirectory());
  }
  if (velmora::StopSignalCount() > 0) {
    // The summary is out and every claim is committed or rolled back: the
    // caller sees the signal, not the exit code. The client library is not
    // shut down first: after a stop signal its embedded engine does not come
    // back from a detach or a shutdown.
    velmora::EndProcessBySignal();
  }
  return codice;
}
