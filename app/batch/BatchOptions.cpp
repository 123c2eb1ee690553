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

namespace {

// The first usage error found is the one reported.
void Segnala(EsitoArgomenti& esito, std::string text) {
  if (!esito.errore) esito.errore = std::move(text);
}

// Each of these takes the value of one option into the options, or returns
// the reason it is not valid.
using Applica = std::optional<std::string> (*)(OpzioniBatch& o, const std::string& valore);

std::optional<std::string> ApplicaAlbum(OpzioniBatch& o, const std::string& valore) {
  std::optional<int64_t> id = NumeroId(valore);
  if (!id) {
    return "valore non valido per --album: \"" + Mostra(valore) +
           "\" (atteso l'identificativo di una riga album)";
  }
  if (o.album.size() == kAlbumMassimi) {
    return "troppe opzioni --album (al massimo " + std::to_string(kAlbumMassimi) + ")";
  }
  o.album.push_back(*id);
  return std::nullopt;
}

std::optional<std::string> ApplicaIds(OpzioniBatch& o, const std::string& valore) {
  std::string motivo;
  std::optional<std::vector<IntervalloId>> ids = ElencoIds(valore, motivo);
  if (!ids) return "valore non valido per --ids: " + motivo + " (esempio: --ids 5,7,10-20)";
  if (o.ids.size() + ids->size() > kIntervalliMassimi) {
    return "troppi identificativi in --ids (al massimo " + std::to_string(kIntervalliMassimi) + " elementi)";
  }
  o.ids.insert(o.ids.end(), ids->begin(), ids->end());
  return std::nullopt;
}

// What a numeric option expects, for its usage error.
constexpr const char* kAttesoNumero = "atteso un numero da ";
constexpr const char* kAttesiSecondi = "attesi i secondi, da ";

// A whole number from `minimo` to `massimo` given to option `nome` into
// `campo`, or the usage error that says what is `atteso`.
std::optional<std::string> Numero(const std::string& valore, std::string_view nome, const char* atteso,
                                  int minimo, int massimo, int& campo) {
  std::optional<int> n = NumeroIntero(valore, minimo, massimo);
  if (!n) {
    return "valore non valido per " + std::string(nome) + ": \"" + Mostra(valore) + "\" (" + atteso +
           std::to_string(minimo) + " a " + std::to_string(massimo) + ")";
  }
  campo = *n;
  return std::nullopt;
}

std::optional<std::string> ApplicaJobs(OpzioniBatch& o, const std::string& valore) {
  return Numero(valore, "--jobs", kAttesoNumero, 1, kJobsMassimi, o.jobs);
}

std::optional<std::string> ApplicaWait(OpzioniBatch& o, const std::string& valore) {
  return Numero(valore, "--wait", kAttesiSecondi, 0, kAttesaMassimaS, o.attesaS);
}

std::optional<std::string> ApplicaFilePerImport(OpzioniBatch& o, const std::string& valore) {
  return Numero(valore, "--group-files", kAttesoNumero, 1, kFilePerImportMassimi, o.filePerImport);
}

std::optional<std::string> ApplicaMiBPerImport(OpzioniBatch& o, const std::string& valore) {
  return Numero(valore, "--group-mib", kAttesoNumero, 1, kMiBPerImportMassimi, o.mibPerImport);
}

std::optional<std::string> ApplicaIntervallo(OpzioniBatch& o, const std::string& valore) {
  std::optional<std::string> errore =
      Numero(valore, "--interval", kAttesiSecondi, 1, kIntervalloMassimoS, o.intervalloS);
  if (!errore) o.intervalloDato = true;
  return errore;
}

std::optional<std::string> ApplicaReport(OpzioniBatch& o, const std::string& valore) {
  if (valore.empty()) return "manca il nome del file di --report";
  o.report = valore;
  return std::nullopt;
}

// One option: either it takes a value (`applica`) or it is a switch that
// sets `interruttore`.
struct Opzione {
  std::string_view nome;
  Applica applica = nullptr;
  bool OpzioniBatch::*interruttore = nullptr;
};

constexpr Opzione kOpzioni[] = {
    {"--album", ApplicaAlbum},
    {"--ids", ApplicaIds},
    {"--jobs", ApplicaJobs},
    {"--wait", ApplicaWait},
    {"--group-files", ApplicaFilePerImport},
    {"--group-mib", ApplicaMiBPerImport},
    {"--report", ApplicaReport},
    {"--interval", ApplicaIntervallo},
    {"--dry-run", nullptr, &OpzioniBatch::dryRun},
    {"--ripara", nullptr, &OpzioniBatch::ripara},
    {"--watch", nullptr, &OpzioniBatch::watch},
    {"--help", nullptr, &OpzioniBatch::aiuto},
    {"--version", nullptr, &OpzioniBatch::versione},
};

const Opzione* CercaOpzione(std::string_view nome) {
  for (const Opzione& o : kOpzioni) {
    if (o.nome == nome) return &o;
  }
  return nullptr;
}

// Handles the option args[i] ("--name" or "--name=value"); a value given as
// the next argument moves `i` past it.
void AnalizzaOpzione(const std::vector<std::string>& args, size_t& i, EsitoArgomenti& esito) {
  const std::string& arg = args[i];
  std::string nome = arg;
  std::optional<std::string> valore;
  if (size_t eq = arg.find('='); eq != std::string::npos) {
    nome = arg.substr(0, eq);
    valore = arg.substr(eq + 1);
  }
  const Opzione* opzione = CercaOpzione(nome);
  if (opzione == nullptr) {
    Segnala(esito, "opzione sconosciuta: " + Mostra(nome));
    return;
  }
  if (opzione->interruttore != nullptr) {
    if (valore) Segnala(esito, "l'opzione " + nome + " non vuole un valore");
    esito.opzioni.*(opzione->interruttore) = true;
    return;
  }
  if (!valore) {
    if (i + 1 >= args.size()) {
      Segnala(esito, "manca il valore di " + nome);
      return;
    }
    valore = args[++i];
  }
  if (std::optional<std::string> motivo = opzione->applica(esito.opzioni, *valore)) {
    Segnala(esito, std::move(*motivo));
  }
}

// USER and COMPANY: exactly two positional arguments, neither empty.
void AssegnaPosizionali(const std::vector<std::string>& posizionali, EsitoArgomenti& esito) {
  OpzioniBatch& o = esito.opzioni;
  if (posizionali.size() < 2) {
    Segnala(esito, "mancano UTENTE e DITTA");
  } else if (posizionali.size() > 2) {
    Segnala(esito, "argomento in più: " + Mostra(posizionali[2]));
  } else {
    o.utente = posizionali[0];
    o.ditta = posizionali[1];
    if (o.utente.empty() || o.ditta.empty()) Segnala(esito, "UTENTE e DITTA non possono essere vuoti");
  }
}

// Options that do not go together.
void ControllaCombinazioni(EsitoArgomenti& esito) {
  const OpzioniBatch& o = esito.opzioni;
  if (o.watch) {
    if (!o.ids.empty()) Segnala(esito, "--watch non va con --ids: il servizio pubblica le righe in attesa");
    if (o.dryRun) Segnala(esito, "--watch non va con --dry-run");
    if (!o.report.empty()) Segnala(esito, "--watch non va con --report");
  } else if (o.intervalloDato) {
    Segnala(esito, "--interval vale solo con --watch");
  }
  if (o.ripara && o.dryRun) Segnala(esito, "--ripara non va con --dry-run");
}

}  // namespace

EsitoArgomenti AnalizzaArgomenti(const std::vector<std::string>& args) {
  EsitoArgomenti esito;
  std::vector<std::string> posizionali;
  bool fineOpzioni = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (fineOpzioni || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      posizionali.push_back(arg);
    } else if (arg == "--") {
      fineOpzioni = true;
    } else {
      AnalizzaOpzione(args, i, esito);
    }
  }
  if (esito.opzioni.aiuto || esito.opzioni.versione) {
    esito.errore.reset();
    return esito;
  }
  AssegnaPosizionali(posizionali, esito);
  ControllaCombinazioni(esito);
  return esito;
}

std::string TestoAiuto() {
  return "Uso: velmora-batch UTENTE DITTA [opzioni]\n"
         "     velmora-batch UTENTE DITTA --watch [--interval SECONDI] [--album ID]... [--jobs N]\n"
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
         "  --group-files N  foto di una riga album archiviate nell'album con una sola richiesta\n"
         "                   al server, da 1 a 1000 (predefinito 50)\n"
         "  --group-mib N    e al massimo N MiB in quella richiesta, da 1 a 65536 (predefinito 2048)\n"
         "  --dry-run        elenca ciò che verrebbe fatto e non cambia nulla (nessun accesso al server)\n"
         "  --ripara         ripara anche le righe registrate senza foto (HASHPRISM vuoto, IDPRISM con\n"
         "                   il codice di caricamento): cerca l'hash del file in tutto l'album; trovato,\n"
         "                   registra la foto; non trovato, pubblica di nuovo la riga\n"
         "  --watch          servizio: resta attivo e pubblica le righe in attesa man mano che compaiono,\n"
         "                   ritenta ciò che non è riuscito con pause crescenti, ripara sempre\n"
         "  --interval SEC   con --watch, secondi tra due controlli dell'archivio, da 1 a 3600\n"
         "                   (predefinito 5)\n"
         "  --report FILE    scrive anche un resoconto JSON in FILE\n"
         "  --help           mostra questo aiuto\n"
         "  --version        mostra la versione\n"
         "\n"
         "Una foto che l'album contiene già (stesso hash SHA-1 del file) non viene caricata di nuovo:\n"
         "la riga registra quella foto. Rilanciare il programma dopo un'interruzione è sicuro.\n"
         "Su un terminale lo standard error mostra l'avanzamento. Con SIGINT o SIGTERM non parte\n"
         "nessuna nuova riga, le righe già caricate vengono completate e registrate; un secondo\n"
         "segnale ferma subito.\n"
         "Con --watch, SIGHUP fa rileggere il file dei parametri e le impostazioni al controllo\n"
         "successivo; SIGTERM ferma il servizio come sopra. Sotto systemd il servizio comunica il suo\n"
         "stato (sd_notify) e scrive le righe con la priorità del journal.\n"
         "\n"
         "Codici di uscita: 0 tutte le righe scelte pubblicate, 1 alcune righe non pubblicate,\n"
         "2 errore negli argomenti o nella configurazione. Con --watch: 2 errore di configurazione\n"
         "all'avvio, altrimenti il servizio termina per il segnale che lo ha fermato.\n";
}

}  // namespace velmora
