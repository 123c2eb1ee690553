#include "app/batch/BatchWork.h"

#include <unistd.h>

#include <algorithm>
#include <set>

#include "app/batch/BatchReport.h"
#include "app/batch/FileDigest.h"
#include "platform/Console.h"
#include "platform/FileDescriptor.h"
#include "platform/Signals.h"
#include "prism/JsonHelpers.h"
#include "publish/ClientPrism.h"

namespace velmora::batch {

namespace {

constexpr const char* kAlfabetoToken = "abcdefghijklmnopqrstuvwxyz1234567890";

// Under the group's lock: settles the job when the album or another job has
// its bytes already; otherwise marks it as the one that uploads them and
// returns true.
bool PrendiCaricamento(std::vector<Lavoro>& lavori, size_t n, Gruppo& g) {
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
  return true;
}

// Hash, then (unless the album holds the bytes already) the upload under the
// lot's token. The filing into the album is the lot's, after its last job.
void Lavora(std::vector<Lavoro>& lavori, size_t n, Gruppo& g, HttpClient& http, Avanzamento& avanzamento) {
  Lavoro& l = lavori[n];
  auto fermato = [] { return StopRequested(); };
  try {
    l.hashFile = Sha1File(l.riga->fileLocale, fermato);
    if (!PrendiCaricamento(lavori, n, g)) return;
    if (StopRequested()) {
      l.stato = Lavoro::Stato::kInterrotta;
      return;
    }
    CorpoConteggiato corpo(avanzamento.inviati, fermato);
    const EsitoPrism esito =
        CaricaFoto(http, g.stato, g.baseUrl, l.riga->fileLocale, g.lotti[l.lotto].token, corpo);
    l.inviato = true;
    if (esito.riuscito) {
      l.stato = Lavoro::Stato::kCaricata;
    } else {
      l.stato = Lavoro::Stato::kFallita;
      l.motivo = TestoAvvisi(esito);
    }
  } catch (const EStopRequested&) {
    l.stato = Lavoro::Stato::kInterrotta;
  } catch (const Exception& e) {
    if (StopRequested()) {
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

std::string TestoAvvisi(const EsitoPrism& esito) {
  std::string testo;
  for (Avviso a : esito.avvisi) testo += (testo.empty() ? "" : "; ") + std::string(TestoAvviso(a));
  return testo;
}

size_t CorpoConteggiato::Read(char* buffer, size_t capacity) {
  if (interrompi_ && interrompi_()) throw EStreamError("Invio interrotto");
  size_t n = MultipartFormData::Read(buffer, capacity);
  inviati_ += n;
  return n;
}

std::map<std::string, FotoAlbum> ElencoPerHash(HttpClient& http, const Gruppo& g) {
  std::map<std::string, FotoAlbum> elenco;
  for (FotoAlbum& f : ElencaFotoAlbum(http, g.baseUrl, g.stato)) {
    elenco.emplace(HashNormalizzato(f.hash), std::move(f));
  }
  return elenco;
}

std::vector<std::pair<size_t, size_t>> DividiInLotti(const std::vector<uint64_t>& byte, size_t maxFile,
                                                     uint64_t maxByte) {
  std::vector<std::pair<size_t, size_t>> lotti;
  size_t inizio = 0;
  uint64_t somma = 0;
  for (size_t i = 0; i < byte.size(); ++i) {
    const bool pieno = i - inizio >= maxFile || (i > inizio && byte[i] > maxByte - std::min(somma, maxByte));
    if (pieno) {
      lotti.emplace_back(inizio, i);
      inizio = i;
      somma = 0;
    }
    somma += byte[i];
  }
  if (inizio < byte.size()) lotti.emplace_back(inizio, byte.size());
  return lotti;
}

void PreparaLotti(std::vector<Lavoro>& lavori, Gruppo& g, size_t maxFile, uint64_t maxByte) {
  std::vector<uint64_t> byte;
  byte.reserve(lavori.size());
  for (const Lavoro& l : lavori) byte.push_back(l.byte);
  std::set<std::string> token;
  g.lotti.clear();
  for (auto [inizio, fine] : DividiInLotti(byte, maxFile, maxByte)) {
    Lotto lotto;
    lotto.inizio = inizio;
    lotto.fine = fine;
    // Two lots under one token would be filed together.
    do {
      lotto.token = GeneraToken(6, kAlfabetoToken);
    } while (!token.insert(lotto.token).second);
    for (size_t i = inizio; i < fine; ++i) lavori[i].lotto = g.lotti.size();
    g.lotti.push_back(std::move(lotto));
  }
}

Lavoratori::Lavoratori(std::vector<Lavoro>& lavori, Gruppo& g, int jobs, const std::string& fileParametri,
                       Avanzamento& avanzamento)
    : lavori_(lavori), g_(g), avanzamento_(avanzamento) {
  const size_t quanti = std::min<size_t>(static_cast<size_t>(std::max(jobs, 1)), lavori.size());
  try {
    for (size_t i = 0; i < quanti; ++i)
      threads_.emplace_back([this, fileParametri] { Lavoratore(fileParametri); });
  } catch (...) {
    // The workers started take every job between them; they are waited for
    // before the failure goes on.
    for (std::thread& t : threads_) t.join();
    throw;
  }
}

Lavoratori::~Lavoratori() {
  for (std::thread& t : threads_) t.join();
}

void Lavoratori::Lavoratore(const std::string& fileParametri) {
  HttpClient http;
  std::string guasto;  // a client that could not be set up fails every job it takes
  try {
    ImpostaClientPrism(http, fileParametri);
  } catch (const Exception& e) {
    guasto = Descrivi(e);
  }
  for (;;) {
    const size_t n = prossimo_++;
    if (n >= lavori_.size()) return;
    Lavoro& l = lavori_[n];
    if (StopRequested()) {
      l.stato = Lavoro::Stato::kInterrotta;
    } else if (!guasto.empty()) {
      l.stato = Lavoro::Stato::kFallita;
      l.motivo = guasto;
    } else {
      Lavora(lavori_, n, g_, http, avanzamento_);
    }
    {
      std::lock_guard<std::mutex> lock(g_.mutex);
      ++g_.lotti[l.lotto].finiti;
    }
    g_.lottoFinito.notify_all();
  }
}

std::optional<size_t> Lavoratori::ProssimoLotto() {
  if (restituiti_ >= g_.lotti.size()) return std::nullopt;
  const Lotto& lotto = g_.lotti[restituiti_];
  std::unique_lock<std::mutex> lock(g_.mutex);
  g_.lottoFinito.wait(lock, [&lotto] { return lotto.finiti == lotto.fine - lotto.inizio; });
  return restituiti_++;
}

}  // namespace velmora::batch
