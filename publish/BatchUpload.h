// The upload of one file and its filing into an album as a batch worker
// sends them: the same requests as a run (CaricaFoto, then the assignment
// PUT on the same upload URL), on the worker's own HTTP client, without
// console lines: the outcome comes back as a value. The bytes of the body
// are counted as they are sent, and a stop request ends the body before its
// end, so nothing more of it is sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/Multipart.h"

namespace velmora {

class HttpClient;
struct StatoPrism;

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

struct EsitoCaricamento {
  bool riuscito = false;
  std::string motivo;  // the failure, in the words a run would print
};

// CaricaFoto of `fileLocale` under `tokenUpload`, then the assignment of that
// upload to `idAlbum`. Not riuscito when the upload answer is not JSON
// ("Risposta non valida") or lacks "message" ("Impossibile caricare foto"),
// or when the assignment answer is not JSON or lacks "message" ("Risposta
// non valida", "Impossibile settare album"). `caricato` becomes true once
// the upload answer is in: the bytes are on the server from then on, so the
// assignment runs with the calling thread's stop threshold raised to 2
// (only a second stop signal ends its waits).
// Raises what CaricaFoto and HttpClient::Put raise, EInvalidCast, and
// EStopRequested.
EsitoCaricamento CaricaEAssegna(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                                const std::string& fileLocale, const std::string& tokenUpload,
                                const std::string& idAlbum, CorpoConteggiato& corpo, bool& caricato);

}  // namespace velmora
