// velmora-doctor USER COMPANY [TRANSFER_ID]: walks the chain of a run and
// reports every step, changing nothing. Exit code 0 when no check failed, 1
// when one did, 2 for a wrong command line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/doctor/Doctor.h"
#include "app/doctor/Report.h"
#include "app/frame/ProgramFrame.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Signals.h"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION is defined by the build"
#endif

namespace {

constexpr const char* kAiuto =
    "Uso: velmora-doctor [opzioni] UTENTE DITTA [ID_TRASFERIMENTO]\n"
    "\n"
    "Controlla, senza cambiare nulla, la catena che percorre una pubblicazione di velmora:\n"
    "  1. il file ParametriKelvora.ini accanto al programma e le sue chiavi [CONFIG] e [PERCORSI];\n"
    "  2. il database di configurazione, la tabella UTENTI, la riga dell'utente, la ditta e il suo "
    "\"Archivio\";\n"
    "  3. l'archivio: dati.ini, le stringhe di connessione, il collegamento, le tabelle di pubblicazione\n"
    "     e i trasferimenti in attesa;\n"
    "  4. con ID_TRASFERIMENTO: la riga di KELTRANSFLOG, le righe album e foto, il file da caricare;\n"
    "  5. il server di quella riga album (senza ID_TRASFERIMENTO: di ogni album con trasferimenti in\n"
    "     attesa): nome, connessione TCP, TLS e certificato, l'accesso con l'account dell'album e,\n"
    "     se la riga album ne ha uno, che l'album esista ancora sul server.\n"
    "\n"
    "Nessun database viene creato, nessuna finestra aperta, nessuna riga scritta; al server vanno solo\n"
    "la richiesta di accesso, il cui esito è mostrato e non salvato, e la lettura di una foto\n"
    "dell'album.\n"
    "\n"
    "Opzioni:\n"
    "  --json       scrive il risultato come documento JSON\n"
    "  --help, -h   mostra questo aiuto\n"
    "  --version    mostra la versione\n"
    "\n"
    "Ogni riga inizia con OK, WARN o FAIL; i colori solo su un terminale (NO_COLOR li spegne).\n"
    "Codice di uscita: 0 nessun FAIL, 1 almeno un FAIL, 2 riga di comando errata.\n";

void Scrivi(std::FILE* destinazione, const std::string& testo) {
  std::fwrite(testo.data(), 1, testo.size(), destinazione);
  std::fflush(destinazione);
}

int Uso(const std::string& messaggio) {
  Scrivi(stderr, "velmora-doctor: " + messaggio + "\nProva 'velmora-doctor --help'.\n");
  return 2;
}

bool UsaColori() {
  if (!::isatty(STDOUT_FILENO)) return false;
  const char* noColor = std::getenv("NO_COLOR");
  if (noColor != nullptr && noColor[0] != '\0') return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

int Diagnosi(const std::vector<std::string>& args);

}  // namespace

// A stop signal ends the diagnosis at its next wait (connect, answer); the
// frame then ends the process by the signal, as every program of the suite
// does.
int main(int argc, char** argv) {
  return velmora::EseguiProgramma(argc, argv, [](const std::vector<std::string>& args) {
    try {
      return Diagnosi(args);
    } catch (const velmora::EStopRequested& stop) {
      Scrivi(stderr, std::string("velmora-doctor: interrotto da ") +
                         velmora::StopSignalName(stop.SignalNumber()) + "\n");
      return 2;
    }
  });
}

namespace {

int Diagnosi(const std::vector<std::string>& args) {
  bool json = false;
  bool fineOpzioni = false;
  std::vector<std::string> posizionali;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!fineOpzioni && a == "--") {
      fineOpzioni = true;
    } else if (!fineOpzioni && (a == "--help" || a == "-h")) {
      Scrivi(stdout, kAiuto);
      return 0;
    } else if (!fineOpzioni && a == "--version") {
      Scrivi(stdout, std::string("velmora-doctor ") + VELMORA_VERSION + "\n");
      return 0;
    } else if (!fineOpzioni && a == "--json") {
      json = true;
    } else if (!fineOpzioni && a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
      return Uso("opzione sconosciuta: " + velmora::OneLineText(a));
    } else {
      posizionali.push_back(a);
    }
  }
  if (posizionali.size() < 2) return Uso("mancano UTENTE e DITTA");
  if (posizionali.size() > 3) return Uso("troppi argomenti");

  velmora::RichiestaDiagnosi richiesta;
  richiesta.utente = posizionali[0];
  richiesta.ditta = posizionali[1];
  if (posizionali.size() == 3) richiesta.idTransfer = posizionali[2];
  richiesta.baseDir = velmora::ExecutableDirectory();

  const bool colori = !json && UsaColori();
  if (!json) {
    Scrivi(stdout, "velmora-doctor: utente " + velmora::OneLineText(richiesta.utente) + ", ditta " +
                       velmora::OneLineText(richiesta.ditta) +
                       (richiesta.idTransfer.empty()
                            ? std::string()
                            : ", trasferimento " + velmora::OneLineText(richiesta.idTransfer)) +
                       "\n");
  }
  std::vector<velmora::Verifica> verifiche =
      velmora::EseguiDiagnosi(richiesta, [json, colori](const velmora::Verifica& v) {
        if (!json) Scrivi(stdout, velmora::RigaVerifica(v, colori) + "\n");
      });
  if (json) {
    Scrivi(stdout, velmora::DiagnosiJSON(richiesta, verifiche, VELMORA_VERSION) + "\n");
  } else {
    Scrivi(stdout, velmora::RigaRiepilogo(verifiche, colori) + "\n");
  }
  return velmora::CodiceUscita(verifiche);
}

}  // namespace
