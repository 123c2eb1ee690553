// The batch itself: finds the archive as a run does, selects the transfer
// rows, and publishes them album row by album row (one login, the album
// when it is missing, one listing), with up to --jobs uploads at once, each
// worker on its own HTTP client. The uploads of an album row go in lots
// under one upload token each; the calling thread files each lot with one
// request, identifies and records its rows while the workers upload the
// next lots. Database work stays on the calling thread; the workers only
// hash and upload.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "app/batch/BatchOptions.h"
#include "app/batch/BatchReport.h"
#include "app/batch/SelezioneTrasferimenti.h"
#include "app/batch/ServiceManager.h"

namespace velmora {

class TIBDatabase;

// Where the publication's lines go.
struct UscitaPubblicazione {
  // Once per row, when its outcome is known (the batch prints RigaEsito).
  std::function<void(const RisultatoRiga&)> esito;
  // Any other line (an album made on the server, a new login).
  std::function<void(Priorita, const std::string&)> messaggio;
};

// The sessions a service keeps from one cycle to the next: one per album
// account (server address, user, password).
class SessioniPrism {
 public:
  struct Sessione {
    std::string token;   // X-Auth-Token
    std::string idUser;  // the user part of upload URLs
  };
  std::optional<Sessione> Trova(const std::string& baseUrl, const std::string& utente,
                                const std::string& password) const;
  void Salva(const std::string& baseUrl, const std::string& utente, const std::string& password,
             Sessione sessione);
  void Dimentica(const std::string& baseUrl, const std::string& utente, const std::string& password);
  void Svuota() { sessioni_.clear(); }
  size_t Quante() const { return sessioni_.size(); }

 private:
  std::map<std::tuple<std::string, std::string, std::string>, Sessione> sessioni_;
};

// The batch's publication of `righe` (as LeggiTrasferimenti gives them,
// ordered by album row) on the open `database`: per album row a login (or
// the session `sessioni` keeps, when given: a session the server no longer
// knows is replaced by one new login), the album when missing, one
// listing; per row a claim, the hash, the upload unless the album holds the
// bytes, the identification, the title and the record (a row to repair
// found on the server keeps its DATAORATRANSF). With opzioni.dryRun it only
// tells what would be done. Returns one result per row, in the order of
// `righe`; `inviati` receives the bytes sent. Stops as EseguiBatch does on
// a stop signal. Never throws.
std::vector<RisultatoRiga> PubblicaRighe(const OpzioniBatch& opzioni, TIBDatabase& database,
                                         const std::string& fileParametri,
                                         std::vector<RigaTrasferimento> righe,
                                         const UscitaPubblicazione& uscita, SessioniPrism* sessioni,
                                         uint64_t& inviati);

// Runs the batch with the parameter file "ParametriKelvora.ini" of
// `baseDir` (ending with "/"). Writes one line per row and the summary on
// standard output, configuration errors and the progress line (only on a
// terminal) on standard error, and the report file. Returns the exit code:
// 0 every selected row published, 1 some not, 2 a configuration error. After
// a stop signal it returns as soon as the rows in flight are settled (at
// once on a second signal); the caller then ends the process by the signal.
// Never throws.
int EseguiBatch(const OpzioniBatch& opzioni, const std::string& baseDir);

}  // namespace velmora
