// The batch's pieces below the per-group flow: the clock, the progress line,
// one job of an album group, the worker pool that hashes and uploads, and
// the capture of a server routine's console lines. Used by BatchRun.cpp only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "prism/PrismApi.h"
#include "publish/AlbumListing.h"
#include "publish/TransferClaim.h"
#include "publish/TransferSelection.h"
#include "transport/HttpClient.h"

namespace velmora::batch {

using Orologio = std::chrono::steady_clock;

// Seconds since `inizio`.
double SecondiDa(Orologio::time_point inizio);

// "velmora-batch: TEXT" on standard error.
void ScriviErrore(const std::string& text);

// "ClassName: message" of an exception, the reason shown for a row.
std::string Descrivi(const Exception& e);

// Runs `corpo` and returns its exit code; what escapes it ends the batch or
// the service as both end: a stop request with 1 ("fermato da un segnale"),
// any other failure written on standard error with 2. Never throws.
int ConFineBatch(const std::function<int()>& corpo);

// The live progress line on standard error, redrawn every 250 ms while the
// batch works, and only when standard error is a terminal.
class Avanzamento {
 public:
  Avanzamento(size_t totale, uint64_t daInviare);
  ~Avanzamento() { Ferma(); }
  Avanzamento(const Avanzamento&) = delete;
  Avanzamento& operator=(const Avanzamento&) = delete;

  std::atomic<uint64_t> inviati{0};
  std::atomic<size_t> fatte{0};

  // Stops redrawing and clears the line.
  void Ferma();

 private:
  static void Scrivi(const std::string& text);
  void Ciclo();

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
  int codiceHttp = 0;  // the HTTP status of the failure, when it was one
};

// The status of an EIdHTTPProtocolException, 0 for any other exception.
int CodiceHttp(const Exception& e);

// What the workers of one album group share.
struct Gruppo {
  std::string baseUrl;
  StatoPrism stato;
  std::map<std::string, FotoAlbum> presenti;  // normalised hash -> newest photo with it
  std::mutex mutex;
  std::map<std::string, size_t> inCorso;  // normalised hash -> job that uploads it
  std::set<std::string> token;            // upload tokens drawn in this group
};

// Lists the group's album: normalised hash -> newest photo with it.
std::map<std::string, FotoAlbum> ElencoPerHash(HttpClient& http, const Gruppo& g);

// Hashes every job and, unless the album holds the bytes already or another
// job of the group uploads them, uploads and files it into the album, with
// up to `jobs` workers, each with its own HTTP client set up from
// `fileParametri`. A worker takes no new job once a stop signal came. Sets
// each job's state; never throws.
void EseguiLavori(std::vector<Lavoro>& lavori, Gruppo& g, int jobs, const std::string& fileParametri,
                  Avanzamento& avanzamento);

// The console lines a server routine writes, caught as the reasons of a
// failure instead of reaching standard output.
class Cattura {
 public:
  Cattura() : redirect_([this](std::string_view line) { righe_.emplace_back(line); }) {}
  const std::vector<std::string>& Righe() const { return righe_; }
  // The lines joined with "; ".
  std::string Testo() const;

 private:
  std::vector<std::string> righe_;
  ConsoleRedirect redirect_;
};

}  // namespace velmora::batch
