#include "app/batch/BatchOptions.h"

namespace velmora {

namespace {

// A whole number in [minimo, massimo], decimal digits only.
std::optional<int> NumeroIntero(std::string_view text, int minimo, int massimo) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < minimo || value > massimo) return std::nullopt;
  return value;
}

// An argument shown inside an error text: control characters become "?".
std::string Mostra(std::string_view text) {
  std::string out;
  for (char c : text) out += (static_cast<unsigned char>(c) < 32 || c == 127) ? '?' : c;
  return out;
}

}  // namespace

std::optional<int64_t> NumeroId(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<std::vector<IntervalloId>> ElencoIds(std::string_view text, std::string& errore) {
  std::vector<IntervalloId> out;
  if (text.empty()) {
    errore = "elenco vuoto";
    return std::nullopt;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(start, end - start);
    if (item.empty()) {
      errore = "elemento vuoto";
      return std::nullopt;
    }
    size_t dash = item.find('-');
    std::optional<int64_t> da = NumeroId(item.substr(0, dash));
    std::optional<int64_t> a = dash == std::string_view::npos ? da : NumeroId(item.substr(dash + 1));
    if (!da || !a) {
      errore = "\"" + Mostra(item) + "\" non è un identificativo o un intervallo A-B";
      return std::nullopt;
    }
    if (*da > *a) {
      errore = "intervallo \"" + Mostra(item) + "\" al contrario";
      return std::nullopt;
    }
    if (out.size() == kIntervalliMassimi) {
      errore = "più di " + std::to_string(kIntervalliMassimi) + " elementi";
      return std::nullopt;
    }
    out.push_back({*da, *a});
    start = end + 1;
  }
  return out;
}

EsitoArgomenti AnalizzaArgomenti(const std::vector<std::string>& args) {
  EsitoArgomenti esito;
  OpzioniBatch& o = esito.opzioni;
  std::vector<std::string> posizionali;
  auto errore = [&esito](std::string text) {
    if (!esito.errore) esito.errore = std::move(text);
  };
  bool fineOpzioni = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (fineOpzioni || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      posizionali.push_back(arg);
      continue;
    }
    if (arg == "--") {
      fineOpzioni = true;
      continue;
    }
    std::string nome = arg;
    std::optional<std::string> valore;
    if (size_t eq = arg.find('='); eq != std::string::npos) {
      nome = arg.substr(0, eq);
      valore = arg.substr(eq + 1);
    }
    const bool conValore =
        nome == "--album" || nome == "--ids" || nome == "--jobs" || nome == "--wait" || nome == "--report";
    const bool senzaValore = nome == "--dry-run" || nome == "--help" || nome == "--version";
    if (!conValore && !senzaValore) {
      errore("opzione sconosciuta: " + Mostra(nome));
      continue;
    }
    if (senzaValore) {
      if (valore) errore("l'opzione " + nome + " non vuole un valore");
      if (nome == "--dry-run") o.dryRun = true;
      if (nome == "--help") o.aiuto = true;
      if (nome == "--version") o.versione = true;
      continue;
    }
    if (!valore) {
      if (i + 1 >= args.size()) {
        errore("manca il valore di " + nome);
        continue;
      }
      valore = args[++i];
    }
    if (nome == "--album") {
      std::optional<int64_t> id = NumeroId(*valore);
      if (!id) {
        errore("valore non valido per --album: \"" + Mostra(*valore) +
               "\" (atteso l'identificativo di una riga album)");
      } else if (o.album.size() == kAlbumMassimi) {
        errore("troppe opzioni --album (al massimo " + std::to_string(kAlbumMassimi) + ")");
      } else {
        o.album.push_back(*id);
      }
    } else if (nome == "--ids") {
      std::string motivo;
      std::optional<std::vector<IntervalloId>> ids = ElencoIds(*valore, motivo);
      if (!ids) {
        errore("valore non valido per --ids: " + motivo + " (esempio: --ids 5,7,10-20)");
      } else if (o.ids.size() + ids->size() > kIntervalliMassimi) {
        errore("troppi identificativi in --ids (al massimo " + std::to_string(kIntervalliMassimi) +
               " elementi)");
      } else {
        o.ids.insert(o.ids.end(), ids->begin(), ids->end());
      }
    } else if (nome == "--jobs") {
      std::optional<int> n = NumeroIntero(*valore, 1, kJobsMassimi);
      if (!n) {
        errore("valore non valido per --jobs: \"" + Mostra(*valore) + "\" (atteso un numero da 1 a " +
               std::to_string(kJobsMassimi) + ")");
      } else {
        o.jobs = *n;
      }
    } else if (nome == "--wait") {
      std::optional<int> n = NumeroIntero(*valore, 0, kAttesaMassimaS);
      if (!n) {
        errore("valore non valido per --wait: \"" + Mostra(*valore) + "\" (attesi i secondi, da 0 a " +
               std::to_string(kAttesaMassimaS) + ")");
      } else {
        o.attesaS = *n;
      }
    } else if (nome == "--report") {
      if (valore->empty()) {
        errore("manca il nome del file di --report");
      } else {
        o.report = *valore;
      }
    }
  }
  if (o.aiuto || o.versione) {
    esito.errore.reset();
    return esito;
  }
  if (posizionali.size() < 2) {
    errore("mancano UTENTE e DITTA");
  } else if (posizionali.size() > 2) {
    errore("argomento in più: " + Mostra(posizionali[2]));
  } else {
    o.utente = posizionali[0];
    o.ditta = posizionali[1];
    if (o.utente.empty() || o.ditta.empty()) errore("UTENTE e DITTA non possono essere vuoti");
  }
  return esito;
}

std::string TestoAiuto() {
  return "Uso: velmora-batch UTENTE DITTA [opzioni]\n"
         "\n"
         "Pubblica sul server Prism tutte le righe di trasferimento in attesa (DATAORATRANSF vuota)\n"
         "dell'archivio di UTENTE e DITTA, trovato come lo trova velmora: file ParametriKelvora.ini\n"
         "accanto al programma, impostazione \"Archivio\" dell'utente.\n"
         "\n"
         "Opzioni:\n"
         "  --album ID       solo le righe della riga album ID (ripetibile)\n"
         "  --ids ELENCO     solo le righe di trasferimento indicate, es. 5,7,10-20; anche righe già\n"
         "                   pubblicate, che vengono pubblicate di nuovo\n"
         "  --jobs N         trasferimenti contemporanei, da 1 a 32 (predefinito 4)\n"
         "  --wait SECONDI   attesa massima perché il server elenchi le foto caricate (predefinito 60)\n"
         "  --dry-run        elenca ciò che verrebbe fatto e non cambia nulla (nessun accesso al server)\n"
         "  --report FILE    scrive anche un resoconto JSON in FILE\n"
         "  --help           mostra questo aiuto\n"
         "  --version        mostra la versione\n"
         "\n"
         "Una foto che l'album contiene già (stesso hash SHA-1 del file) non viene caricata di nuovo:\n"
         "la riga registra quella foto. Rilanciare il programma dopo un'interruzione è sicuro.\n"
         "Su un terminale lo standard error mostra l'avanzamento. Con SIGINT o SIGTERM non parte\n"
         "nessuna nuova riga, le righe già caricate vengono completate e registrate; un secondo\n"
         "segnale ferma subito.\n"
         "\n"
         "Codici di uscita: 0 tutte le righe scelte pubblicate, 1 alcune righe non pubblicate,\n"
         "2 errore negli argomenti o nella configurazione.\n";
}

}  // namespace velmora
