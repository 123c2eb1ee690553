#include "app/batch/BatchRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/batch/BatchReport.h"
#include "archive/IBDatabase.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "prism/JsonHelpers.h"
#include "prism/PrismApi.h"
#include "publish/AlbumCondiviso.h"
#include "publish/AlbumListing.h"
#include "publish/BatchUpload.h"
#include "publish/ClientPrism.h"
#include "publish/FileDigest.h"
#include "publish/TransferClaim.h"
#include "publish/TransferSelection.h"
#include "publish/Trasferimento.h"
#include "transport/HttpClient.h"

namespace velmora {

namespace {

constexpr const char* kAlfabetoToken = "abcdefghijklmnopqrstuvwxyz1234567890";

using Orologio = std::chrono::steady_clock;

double SecondiDa(Orologio::time_point inizio) {
  return std::chrono::duration<double>(Orologio::now() - inizio).count();
}

void ScriviErrore(const std::string& text) {
  std::string line = "velmora-batch: " + text + "\n";
  ssize_t ignored = ::write(2, line.data(), line.size());
  (void)ignored;
}

std::string Descrivi(const Exception& e) { return std::string(e.ClassName()) + ": " + e.Message(); }

// The live progress line on standard error, redrawn every 250 ms while the
// batch works, and only when standard error is a terminal.
class Avanzamento {
 public:
  Avanzamento(size_t totale, uint64_t daInviare)
      : totale_(totale), daInviare_(daInviare), attivo_(::isatty(2) == 1), inizio_(Orologio::now()) {
    if (attivo_) thread_ = std::thread([this] { Ciclo(); });
  }
  ~Avanzamento() { Ferma(); }
  Avanzamento(const Avanzamento&) = delete;
  Avanzamento& operator=(const Avanzamento&) = delete;

  std::atomic<uint64_t> inviati{0};
  std::atomic<size_t> fatte{0};

  // Stops redrawing and clears the line.
  void Ferma() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (fermo_) return;
      fermo_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (attivo_) Scrivi("\r\x1b[K");
  }

 private:
  static void Scrivi(const std::string& text) {
    ssize_t ignored = ::write(2, text.data(), text.size());
    (void)ignored;
  }
  void Ciclo() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!fermo_) {
      Scrivi("\r" + RigaAvanzamento(fatte, totale_, inviati, daInviare_, SecondiDa(inizio_)) + "\x1b[K");
      cv_.wait_for(lock, std::chrono::milliseconds(250));
    }
  }

  size_t totale_;
  uint64_t daInviare_;
  bool attivo_;
  Orologio::time_point inizio_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool fermo_ = false;
  std::thread thread_;
};

// One claimed row of an album group on its way through the batch.
struct Lavoro {
  enum class Stato { kDaFare, kCaricata, kPresente, kDoppione, kFallita, kInterrotta };
  size_t indice = 0;  // into the results
  const RigaTrasferimento* riga = nullptr;
  std::unique_ptr<PrenotazioneTrasferimento> prenotazione;
  Stato stato = Stato::kDaFare;
  std::string hashFile;    // SHA-1 of the file, lower-case hex
  std::string uid;         // the server photo
  std::string hashServer;  // its "Hash" as the server lists it
  size_t primaria = 0;     // kDoppione: the job that uploads the same bytes
  std::string motivo;
};

// What the workers of one album group share.
struct Gruppo {
  std::string baseUrl;
  StatoPrism stato;
  std::map<std::string, FotoAlbum> presenti;  // normalised hash -> newest photo with it
  std::mutex mutex;
  std::map<std::string, size_t> inCorso;  // normalised hash -> job that uploads it
  std::set<std::string> token;            // upload tokens drawn in this group
};

// Hash, then (unless the album holds the bytes already) upload and filing.
void Lavora(std::vector<Lavoro>& lavori, size_t n, Gruppo& g, HttpClient& http, Avanzamento& avanzamento) {
  Lavoro& l = lavori[n];
  auto fermato = [] { return StopRequested(); };
  bool caricato = false;
  try {
    l.hashFile = Sha1File(l.riga->fileLocale, fermato);
    std::string tokenUpload;
    {
      std::lock_guard<std::mutex> lock(g.mutex);
      if (auto it = g.presenti.find(l.hashFile); it != g.presenti.end()) {
        l.stato = Lavoro::Stato::kPresente;
        l.uid = it->second.uid;
        l.hashServer = it->second.hash;
        return;
      }
      if (auto it = g.inCorso.find(l.hashFile); it != g.inCorso.end()) {
        l.stato = Lavoro::Stato::kDoppione;
        l.primaria = it->second;
        return;
      }
      g.inCorso[l.hashFile] = n;
      // Two uploads under one token would be filed together.
      do {
        tokenUpload = GeneraToken(6, kAlfabetoToken);
      } while (!g.token.insert(tokenUpload).second);
    }
    if (StopRequested()) {
      l.stato = Lavoro::Stato::kInterrotta;
      return;
    }
    CorpoConteggiato corpo(avanzamento.inviati, fermato);
    EsitoCaricamento esito = CaricaEAssegna(http, g.stato, g.baseUrl, l.riga->fileLocale, tokenUpload,
                                            g.stato.IdAlbumPrism, corpo, caricato);
    if (esito.riuscito) {
      l.stato = Lavoro::Stato::kCaricata;
    } else {
      l.stato = Lavoro::Stato::kFallita;
      l.motivo = esito.motivo;
    }
  } catch (const EStopRequested&) {
    l.stato = caricato ? Lavoro::Stato::kFallita : Lavoro::Stato::kInterrotta;
    l.motivo = "fermato da un secondo segnale dopo il caricamento";
  } catch (const Exception& e) {
    if (!caricato && StopRequested()) {
      l.stato = Lavoro::Stato::kInterrotta;
    } else {
      l.stato = Lavoro::Stato::kFallita;
      l.motivo = Descrivi(e);
    }
  } catch (const std::exception& e) {
    l.stato = Lavoro::Stato::kFallita;
    l.motivo = std::string("Exception: ") + e.what();
  }
}

// Runs Lavora over every job with up to `jobs` workers, each with its own
// HTTP client; a worker takes no new job once a stop signal came.
void EseguiLavori(std::vector<Lavoro>& lavori, Gruppo& g, int jobs, const std::string& fileParametri,
                  Avanzamento& avanzamento) {
  std::atomic<size_t> prossimo{0};
  auto lavoratore = [&] {
    HttpClient http;
    ImpostaClientPrism(http, fileParametri);
    for (;;) {
      size_t n = prossimo++;
      if (n >= lavori.size()) return;
      if (StopRequested()) {
        lavori[n].stato = Lavoro::Stato::kInterrotta;
        continue;
      }
      Lavora(lavori, n, g, http, avanzamento);
    }
  };
  size_t quanti = std::min<size_t>(static_cast<size_t>(jobs), lavori.size());
  std::vector<std::thread> threads;
  for (size_t i = 1; i < quanti; ++i) threads.emplace_back(lavoratore);
  lavoratore();
  for (std::thread& t : threads) t.join();
}

// The console lines a server routine writes, caught as the reasons of a
// failure instead of reaching standard output.
class Cattura {
 public:
  Cattura() : redirect_([this](std::string_view line) { righe_.emplace_back(line); }) {}
  const std::vector<std::string>& Righe() const { return righe_; }
  std::string Testo() const {
    std::string out;
    for (const std::string& r : righe_) out += (out.empty() ? "" : "; ") + r;
    return out;
  }

 private:
  std::vector<std::string> righe_;
  ConsoleRedirect redirect_;
};

class Batch {
 public:
  Batch(const OpzioniBatch& opzioni, TIBDatabase& database, std::string fileParametri,
        std::vector<RigaTrasferimento> righe)
      : opzioni_(opzioni),
        fileParametri_(std::move(fileParametri)),
        database_(database),
        righe_(std::move(righe)),
        risultati_(righe_.size()),
        stampate_(righe_.size(), false) {
    for (size_t i = 0; i < righe_.size(); ++i) {
      RisultatoRiga& r = risultati_[i];
      r.id = righe_[i].id;
      r.idAlbum = righe_[i].idAlbum;
      r.file = righe_[i].percorsoMedia;
      r.esito = EsitoRiga::kInterrotta;
      struct stat st {};
      if (::stat(righe_[i].fileLocale.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        r.byte = static_cast<uint64_t>(st.st_size);
      } else {
        r.esito = EsitoRiga::kSaltata;
        r.motivo = "File da caricare non esiste " + righe_[i].percorsoMedia;
      }
    }
  }

  const std::vector<RisultatoRiga>& Risultati() const { return risultati_; }
  uint64_t Inviati() const { return inviati_; }

  void ProvaASecco() {
    for (size_t i = 0; i < righe_.size(); ++i) {
      if (risultati_[i].esito != EsitoRiga::kSaltata) {
        const RigaTrasferimento& r = righe_[i];
        risultati_[i].esito = EsitoRiga::kDaPubblicare;
        risultati_[i].motivo =
            "album " + std::to_string(r.idAlbum) + " \"" + r.nomeAlbum + "\", " +
            (r.idAlbumPrism.empty() ? "album da creare sul server" : "album " + r.idAlbumPrism) +
            (r.pubblicata ? ", già pubblicata: di nuovo" : "");
      }
      Stampa(i);
    }
  }

  void Pubblica() {
    uint64_t daInviare = 0;
    size_t totale = 0;
    for (const RisultatoRiga& r : risultati_) {
      if (r.esito == EsitoRiga::kSaltata) continue;
      daInviare += r.byte;
      ++totale;
    }
    for (size_t i = 0; i < righe_.size(); ++i) {
      if (risultati_[i].esito == EsitoRiga::kSaltata) Stampa(i);
    }
    Avanzamento avanzamento(totale, daInviare);
    avanzamento_ = &avanzamento;
    try {
      size_t inizio = 0;
      while (inizio < righe_.size() && !StopRequested()) {
        size_t fine = inizio;
        while (fine < righe_.size() && righe_[fine].idAlbum == righe_[inizio].idAlbum) ++fine;
        PubblicaGruppo(inizio, fine);
        inizio = fine;
      }
    } catch (const EStopRequested&) {
      // A second signal: what is recorded stays, the rest stays pending.
    }
    inviati_ = avanzamento.inviati;
    avanzamento.Ferma();
    avanzamento_ = nullptr;
    for (size_t i = 0; i < righe_.size(); ++i) Stampa(i);
  }

 private:
  void Stampa(size_t i) {
    if (stampate_[i]) return;
    stampate_[i] = true;
    if (avanzamento_ != nullptr) avanzamento_->fatte++;
    WriteLine(RigaEsito(risultati_[i]));
  }

  void Fine(size_t i, EsitoRiga esito, std::string motivo = "") {
    risultati_[i].esito = esito;
    risultati_[i].motivo = std::move(motivo);
    Stampa(i);
  }

  void FallisciTutti(std::vector<Lavoro>& lavori, const std::string& motivo) {
    for (Lavoro& l : lavori) {
      l.prenotazione->Rilascia();
      Fine(l.indice, StopRequested() ? EsitoRiga::kInterrotta : EsitoRiga::kNonRiuscita, motivo);
    }
  }

  void PubblicaGruppo(size_t inizio, size_t fine) {
    std::vector<Lavoro> lavori;
    for (size_t i = inizio; i < fine; ++i) {
      if (risultati_[i].esito == EsitoRiga::kSaltata) continue;
      if (StopRequested()) return;
      std::unique_ptr<PrenotazioneTrasferimento> prenotazione;
      std::string motivo;
      PrenotazioneTrasferimento::Esito esito;
      try {
        esito = PrenotazioneTrasferimento::Prenota(database_, righe_[i].id, !righe_[i].pubblicata,
                                                   prenotazione, motivo);
      } catch (const Exception& e) {
        Fine(i, EsitoRiga::kNonRiuscita, Descrivi(e));
        continue;
      }
      switch (esito) {
        case PrenotazioneTrasferimento::Esito::kOccupata:
          Fine(i, EsitoRiga::kOccupata, "in lavorazione in un altro processo");
          continue;
        case PrenotazioneTrasferimento::Esito::kCambiata:
          Fine(i, EsitoRiga::kOccupata, "pubblicata nel frattempo da un altro processo");
          continue;
        case PrenotazioneTrasferimento::Esito::kPrenotata:
          break;
      }
      Lavoro l;
      l.indice = i;
      l.riga = &righe_[i];
      l.prenotazione = std::move(prenotazione);
      lavori.push_back(std::move(l));
    }
    if (lavori.empty()) return;

    const RigaTrasferimento& prima = *lavori.front().riga;
    const std::string idAlbumRiga = std::to_string(prima.idAlbum);
    Gruppo g;
    g.baseUrl = prima.nomeSitoPrism;
    g.stato.TokenPrism = prima.tokenPrism;
    g.stato.IdUserPrism = prima.idUserPrism;
    g.stato.IdAlbumPrism = prima.idAlbumPrism;
    HttpClient http;
    ImpostaClientPrism(http, fileParametri_);

    try {
      {
        Cattura cattura;
        LoginPrismCondiviso(database_, http, g.stato, g.baseUrl, prima.accountUser, prima.accountPassword,
                            idAlbumRiga);
        if (!cattura.Righe().empty()) {
          FallisciTutti(lavori, "accesso non riuscito: " + cattura.Testo());
          return;
        }
      }
      if (g.stato.IdAlbumPrism.empty()) {
        Cattura cattura;
        AssicuraAlbumPrism(database_, http, g.stato, g.baseUrl, prima.nomeAlbum, idAlbumRiga);
        if (g.stato.IdAlbumPrism.empty()) {
          FallisciTutti(lavori, "album non creato: " + cattura.Testo());
          return;
        }
        for (const std::string& r : cattura.Righe())
          WriteLine("Album " + idAlbumRiga + ": " + OneLineText(r));
      }
      for (FotoAlbum& f : ElencaFotoAlbum(http, g.baseUrl, g.stato.TokenPrism, g.stato.IdAlbumPrism)) {
        g.presenti.emplace(HashNormalizzato(f.hash), std::move(f));
      }
    } catch (const EStopRequested&) {
      FallisciTutti(lavori, "");
      return;
    } catch (const Exception& e) {
      FallisciTutti(lavori, Descrivi(e));
      return;
    }

    EseguiLavori(lavori, g, opzioni_.jobs, fileParametri_, *avanzamento_);

    // From here on every photo is on the server already: it is found,
    // titled and recorded even after a first stop signal.
    StopThresholdScope finire(2);
    Identifica(lavori, g, http);
    for (Lavoro& l : lavori) Completa(l, lavori, g, http);
  }

  // Lists the album until every uploaded hash is found or --wait passed.
  void Identifica(std::vector<Lavoro>& lavori, Gruppo& g, HttpClient& http) {
    std::vector<Lavoro*> attesa;
    for (Lavoro& l : lavori) {
      if (l.stato == Lavoro::Stato::kCaricata) attesa.push_back(&l);
    }
    const auto scadenza = Orologio::now() + std::chrono::seconds(opzioni_.attesaS);
    uint32_t pausaMs = 100;
    std::string ultimoErrore;
    while (!attesa.empty()) {
      try {
        std::map<std::string, FotoAlbum> elenco;
        for (FotoAlbum& f : ElencaFotoAlbum(http, g.baseUrl, g.stato.TokenPrism, g.stato.IdAlbumPrism)) {
          elenco.emplace(HashNormalizzato(f.hash), std::move(f));
        }
        std::erase_if(attesa, [&elenco](Lavoro* l) {
          auto it = elenco.find(l->hashFile);
          if (it == elenco.end()) return false;
          l->uid = it->second.uid;
          l->hashServer = it->second.hash;
          return true;
        });
        ultimoErrore.clear();
      } catch (const Exception& e) {
        ultimoErrore = Descrivi(e);
      }
      auto adesso = Orologio::now();
      if (attesa.empty() || adesso >= scadenza) break;
      auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(scadenza - adesso).count();
      SleepUnlessStopped(static_cast<uint32_t>(std::min<int64_t>(pausaMs, resto)));
      pausaMs = std::min<uint32_t>(pausaMs * 2, 1000);
    }
    for (Lavoro* l : attesa) {
      l->stato = Lavoro::Stato::kFallita;
      l->motivo = "foto caricata non trovata nell'album entro " + std::to_string(opzioni_.attesaS) + " s" +
                  (ultimoErrore.empty() ? "" : " (" + ultimoErrore + ")");
    }
  }

  // Title and record of one job, or its failure line.
  void Completa(Lavoro& l, std::vector<Lavoro>& lavori, Gruppo& g, HttpClient& http) {
    RisultatoRiga& r = risultati_[l.indice];
    r.hash = l.hashFile;
    if (l.stato == Lavoro::Stato::kDoppione) {
      const Lavoro& p = lavori[l.primaria];
      if (p.stato == Lavoro::Stato::kCaricata || p.stato == Lavoro::Stato::kPresente) {
        l.stato = Lavoro::Stato::kPresente;
        l.uid = p.uid;
        l.hashServer = p.hashServer;
      } else {
        l.stato =
            p.stato == Lavoro::Stato::kInterrotta ? Lavoro::Stato::kInterrotta : Lavoro::Stato::kFallita;
        l.motivo = "stesso file della riga " + std::to_string(p.riga->id) + ", che non è stata pubblicata";
      }
    }
    if (l.stato == Lavoro::Stato::kInterrotta || l.stato == Lavoro::Stato::kDaFare) {
      l.prenotazione->Rilascia();
      Fine(l.indice, EsitoRiga::kInterrotta);
      return;
    }
    if (l.stato == Lavoro::Stato::kFallita) {
      l.prenotazione->Rilascia();
      Fine(l.indice, EsitoRiga::kNonRiuscita, l.motivo);
      return;
    }
    try {
      if (!l.riga->titoloFoto.empty()) SettaTitoloFoto(http, g.stato, g.baseUrl, l.uid, l.riga->titoloFoto);
      l.prenotazione->Registra(l.uid, l.hashServer);
    } catch (const Exception& e) {
      l.prenotazione->Rilascia();
      Fine(l.indice, EsitoRiga::kNonRiuscita, Descrivi(e));
      return;
    }
    r.uid = l.uid;
    r.hash = l.hashServer;
    Fine(l.indice, l.stato == Lavoro::Stato::kCaricata ? EsitoRiga::kPubblicata : EsitoRiga::kGiaPresente);
  }

  const OpzioniBatch& opzioni_;
  const std::string fileParametri_;  // its certificate keys apply to every client
  TIBDatabase& database_;
  std::vector<RigaTrasferimento> righe_;
  std::vector<RisultatoRiga> risultati_;
  std::vector<bool> stampate_;
  Avanzamento* avanzamento_ = nullptr;
  uint64_t inviati_ = 0;
};

}  // namespace

int EseguiBatch(const OpzioniBatch& opzioni, const std::string& baseDir) {
  const auto inizio = Orologio::now();
  try {
    const std::string fileParametri = baseDir + kFileParametri;
    if (!FileExists(fileParametri) || ::access(fileParametri.c_str(), R_OK) != 0) {
      ScriviErrore("File ParametriKelvora.ini non esistente! (cercato in " + baseDir + ")");
      return 2;
    }
    std::ofstream report;
    if (!opzioni.report.empty()) {
      report.open(opzioni.report, std::ios::binary | std::ios::trunc);
      if (!report) {
        ScriviErrore("impossibile scrivere il resoconto " + OneLineText(opzioni.report));
        return 2;
      }
    }
    const std::string archivio = PercorsoArchivioUtente(baseDir, opzioni.utente, opzioni.ditta);
    if (archivio.empty()) {
      ScriviErrore("Archivio vuoto (nessuna impostazione \"Archivio\" per l'utente " +
                   OneLineText(opzioni.utente) + " e la ditta " + OneLineText(opzioni.ditta) + ")");
      return 2;
    }
    auto connessione = std::make_unique<TIBDatabase>();
    TIBDatabase& database = *connessione;
    ApriArchivioUtente(database, archivio, fileParametri);
    // The client library may have put its own signal handlers in place.
    InstallStopSignals();
    if (!database.Connected()) {
      ScriviErrore("impossibile aprire l'archivio " + OneLineText(archivio));
      return 2;
    }
    SelezioneTrasferimenti selezione;
    selezione.album = opzioni.album;
    for (const IntervalloId& r : opzioni.ids) selezione.ids.push_back({r.da, r.a});

    Batch batch(opzioni, database, fileParametri, LeggiTrasferimenti(database, selezione, fileParametri));
    if (opzioni.dryRun) {
      batch.ProvaASecco();
    } else {
      batch.Pubblica();
    }
    Riepilogo riepilogo = Conta(batch.Risultati());
    riepilogo.dryRun = opzioni.dryRun;
    riepilogo.interrotto = StopRequested();
    riepilogo.byteInviati = batch.Inviati();
    riepilogo.secondi = SecondiDa(inizio);
    WriteLine(RigaRiepilogo(riepilogo));
    if (report.is_open()) {
      report << ReportJSON(batch.Risultati(), riepilogo) << "\n";
      report.close();
      if (!report) {
        ScriviErrore("impossibile scrivere il resoconto " + OneLineText(opzioni.report));
        return 2;
      }
    }
    if (StopRequested()) {
      // Every claim is committed or rolled back by now. The process ends
      // by the signal without detaching: after a stop signal the embedded
      // engine does not come back from a detach.
      static_cast<void>(connessione.release());
    }
    return CodiceUscita(riepilogo);
  } catch (const EStopRequested&) {
    ScriviErrore("fermato da un segnale");
    return 1;
  } catch (const Exception& e) {
    ScriviErrore(OneLineText(Descrivi(e)));
    return 2;
  } catch (const std::exception& e) {
    ScriviErrore(std::string("Exception: ") + e.what());
    return 2;
  }
}

}  // namespace velmora
