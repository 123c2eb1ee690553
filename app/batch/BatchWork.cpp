#include "app/batch/BatchWork.h"

#include <unistd.h>

#include <algorithm>

#include "app/batch/BatchReport.h"
#include "platform/FileDescriptor.h"
#include "platform/Signals.h"
#include "prism/JsonHelpers.h"
#include "publish/BatchUpload.h"
#include "publish/ClientPrism.h"
#include "publish/FileDigest.h"

namespace velmora::batch {

namespace {

constexpr const char* kAlfabetoToken = "abcdefghijklmnopqrstuvwxyz1234567890";

// Under the group's lock: settles the job when the album or another job has
// its bytes already; otherwise marks it as the one that uploads them, draws
// its upload token into `tokenUpload` and returns true.
bool PrendiCaricamento(std::vector<Lavoro>& lavori, size_t n, Gruppo& g, std::string& tokenUpload) {
  Lavoro& l = lavori[n];
  std::lock_guard<std::mutex> lock(g.mutex);
  if (auto it = g.presenti.find(l.hashFile); it != g.presenti.end()) {
    l.stato = Lavoro::Stato::kPresente;
    l.uid = it->second.uid;
    l.hashServer = it->second.hash;
    return false;
  }
  if (auto it = g.inCorso.find(l.hashFile); it != g.inCorso.end()) {
    l.stato = Lavoro::Stato::kDoppione;
    l.primaria = it->second;
    return false;
  }
  g.inCorso[l.hashFile] = n;
  // Two uploads under one token would be filed together.
  do {
    tokenUpload = GeneraToken(6, kAlfabetoToken);
  } while (!g.token.insert(tokenUpload).second);
  return true;
}

// Hash, then (unless the album holds the bytes already) upload and filing.
void Lavora(std::vector<Lavoro>& lavori, size_t n, Gruppo& g, HttpClient& http, Avanzamento& avanzamento) {
  Lavoro& l = lavori[n];
  auto fermato = [] { return StopRequested(); };
  bool caricato = false;
  try {
    l.hashFile = Sha1File(l.riga->fileLocale, fermato);
    std::string tokenUpload;
    if (!PrendiCaricamento(lavori, n, g, tokenUpload)) return;
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
      l.codiceHttp = CodiceHttp(e);
    }
  } catch (const std::exception& e) {
    l.stato = Lavoro::Stato::kFallita;
    l.motivo = std::string("Exception: ") + e.what();
  }
}

}  // namespace

double SecondiDa(Orologio::time_point inizio) {
  return std::chrono::duration<double>(Orologio::now() - inizio).count();
}

void ScriviErrore(const std::string& text) {
  std::string line = "velmora-batch: " + text + "\n";
  WriteAll(STDERR_FILENO, line);
}

int CodiceHttp(const Exception& e) {
  const auto* http = dynamic_cast<const EIdHTTPProtocolException*>(&e);
  return http != nullptr ? http->ErrorCode() : 0;
}

std::string Descrivi(const Exception& e) { return std::string(e.ClassName()) + ": " + e.Message(); }

Avanzamento::Avanzamento(size_t totale, uint64_t daInviare)
    : totale_(totale), daInviare_(daInviare), attivo_(::isatty(2) == 1), inizio_(Orologio::now()) {
  if (attivo_) thread_ = std::thread([this] { Ciclo(); });
}

int ConFineBatch(const std::function<int()>& corpo) {
  try {
    return corpo();
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

void Avanzamento::Ferma() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fermo_) return;
    fermo_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (attivo_) Scrivi("\r\x1b[K");
}

void Avanzamento::Scrivi(const std::string& text) { WriteAll(STDERR_FILENO, text); }

void Avanzamento::Ciclo() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!fermo_) {
    Scrivi("\r" + RigaAvanzamento(fatte, totale_, inviati, daInviare_, SecondiDa(inizio_)) + "\x1b[K");
    cv_.wait_for(lock, std::chrono::milliseconds(250));
  }
}

std::map<std::string, FotoAlbum> ElencoPerHash(HttpClient& http, const Gruppo& g) {
  std::map<std::string, FotoAlbum> elenco;
  for (FotoAlbum& f : ElencaFotoAlbum(http, g.baseUrl, g.stato.TokenPrism, g.stato.IdAlbumPrism)) {
    elenco.emplace(HashNormalizzato(f.hash), std::move(f));
  }
  return elenco;
}

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

std::string Cattura::Testo() const {
  std::string out;
  for (const std::string& r : righe_) out += (out.empty() ? "" : "; ") + r;
  return out;
}

}  // namespace velmora::batch
