// The batch's pieces below the per-group flow: the clock, the progress line,
// one job of an album group, the lots that share one upload token and one
// filing request, and the worker pool that hashes and uploads. Used by
// BatchRun.cpp only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/batch/AlbumListing.h"
#include "app/batch/SelezioneTrasferimenti.h"
#include "platform/Exceptions.h"
#include "prism/PrismApi.h"
#include "publish/PrenotazioneTrasferimento.h"
#include "transport/HttpClient.h"
#include "transport/Multipart.h"

namespace velmora::batch {

using Orologio = std::chrono::steady_clock;

// Seconds since `inizio`.
double SecondiDa(Orologio::time_point inizio);

// "velmora-batch: TEXT" on standard error.
void ScriviErrore(const std::string& text);

// "ClassName: message" of an exception, the reason shown for a row.
std::string Descrivi(const Exception& e);

// The notices of a server routine as one reason: their texts joined with
// "; ".
std::string TestoAvvisi(const EsitoPrism& esito);

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

// A multipart body that adds every byte read from it to `inviati` and, once
// `interrompi` returns true, raises EStreamError "Invio interrotto" instead
// of reading further.
class CorpoConteggiato : public MultipartFormData {
 public:
  CorpoConteggiato(std::atomic<uint64_t>& inviati, std::function<bool()> interrompi)
      : inviati_(inviati), interrompi_(std::move(interrompi)) {}
  size_t Read(char* buffer, size_t capacity) override;

 private:
  std::atomic<uint64_t>& inviati_;
  std::function<bool()> interrompi_;
};

// One claimed row of an album group on its way through the batch.
struct Lavoro {
  enum class Stato { kDaFare, kCaricata, kPresente, kDoppione, kFallita, kInterrotta };
  size_t indice = 0;  // into the results
  const RigaTrasferimento* riga = nullptr;
  std::unique_ptr<PrenotazioneTrasferimento> prenotazione;
  uint64_t byte = 0;  // size of the file when the batch began
  size_t lotto = 0;   // the lot it is uploaded in (Gruppo::lotti)
  Stato stato = Stato::kDaFare;
  bool inviato = false;    // its bytes reached the server under the lot's token
  std::string hashFile;    // SHA-1 of the file, lower-case hex
  std::string uid;         // the server photo
  std::string hashServer;  // its "Hash" as the server lists it
  size_t primaria = 0;     // kDoppione: the job that uploads the same bytes
  std::string motivo;
  int codiceHttp = 0;  // the HTTP status of the failure, when it was one
};

// The status of an EIdHTTPProtocolException, 0 for any other exception.
int CodiceHttp(const Exception& e);

// Consecutive jobs of one album group uploaded under one upload token and
// filed into the album by one request.
struct Lotto {
  size_t inizio = 0;  // jobs [inizio, fine)
  size_t fine = 0;
  std::string token;
  size_t finiti = 0;  // jobs the workers are done with
};

// The lots of jobs whose files have the sizes `byte`, in order: each holds
// at most `maxFile` jobs and, unless one file alone is larger, at most
// `maxByte` bytes; every job is in exactly one lot. Pure.
std::vector<std::pair<size_t, size_t>> DividiInLotti(const std::vector<uint64_t>& byte, size_t maxFile,
                                                     uint64_t maxByte);

// What the workers of one album group share.
struct Gruppo {
  std::string baseUrl;
  StatoPrism stato;
  std::map<std::string, FotoAlbum> presenti;  // normalised hash -> newest photo with it
  std::vector<Lotto> lotti;
  std::mutex mutex;
  std::condition_variable lottoFinito;
  std::map<std::string, size_t> inCorso;  // normalised hash -> job that uploads it
};

// Lists the group's album: normalised hash -> newest photo with it.
std::map<std::string, FotoAlbum> ElencoPerHash(HttpClient& http, const Gruppo& g);

// Divides the jobs into lots (DividiInLotti) with an upload token each,
// distinct within the group, and sets every job's `lotto`.
void PreparaLotti(std::vector<Lavoro>& lavori, Gruppo& g, size_t maxFile, uint64_t maxByte);

// The workers of one album group: up to `jobs` threads, each with its own
// HTTP client set up from `fileParametri`, take the jobs in order, hash
// each and, unless the album holds the bytes already or another job of the
// group uploads them, upload it under its lot's token. A worker takes no
// new job once a stop signal came. Each job's state is set; nothing here
// throws. The destructor waits for every worker.
class Lavoratori {
 public:
  Lavoratori(std::vector<Lavoro>& lavori, Gruppo& g, int jobs, const std::string& fileParametri,
             Avanzamento& avanzamento);
  ~Lavoratori();
  Lavoratori(const Lavoratori&) = delete;
  Lavoratori& operator=(const Lavoratori&) = delete;

  // Waits until the workers are done with every job of the next lot, in
  // lot order, and returns its index; nullopt once every lot was returned.
  std::optional<size_t> ProssimoLotto();

 private:
  void Lavoratore(const std::string& fileParametri);

  std::vector<Lavoro>& lavori_;
  Gruppo& g_;
  Avanzamento& avanzamento_;
  std::atomic<size_t> prossimo_{0};
  size_t restituiti_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace velmora::batch
