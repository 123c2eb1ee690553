// When the service tries a row again, and when it tells about it. Pure: the
// time is always given by the caller, nothing is read or printed here.
//
// A failed row is tried again after 10 s, then after twice the last pause
// each time, up to 30 minutes; a row whose media file is missing or cannot
// be read is looked at again every 10 minutes (the file may arrive later);
// a row that another process holds is looked at again at the next cycle.
// Each change of a row's state gives one line; a try that ends as the last
// one did gives none.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

using IstanteServizio = std::chrono::steady_clock::time_point;

inline constexpr std::chrono::seconds kPrimaPausa{10};
inline constexpr std::chrono::seconds kPausaMassima{30 * 60};
inline constexpr std::chrono::seconds kPeriodoFileMancante{10 * 60};

// What one try of a row came to.
enum class EsitoTentativo {
  kFatta,        // published, or found on the server and recorded: the row is done
  kGuasto,       // failed (connection, time-out, 5xx, 429, 401, an answer it cannot use...)
  kFileMancante, // the media file is missing or cannot be read
  kOccupata,     // another process holds the row
  kInterrotta,   // a stop signal ended the try: nothing to tell, nothing to plan
};

// The kind of a failure from its reason as the batch words it: a missing
// file ("File da caricare non esiste ...") or one that cannot be opened or
// read (EFOpenError, EReadError) is kFileMancante, anything else kGuasto.
EsitoTentativo ClasseGuasto(std::string_view motivo);

// The pause after the n-th failure in a row (n >= 1): 10 s, 20 s, 40 s, ...,
// at most 30 minutes.
std::chrono::seconds PausaDopoGuasti(int guasti);

// A state change worth one line.
struct CambioRiga {
  int64_t id = 0;
  EsitoTentativo esito = EsitoTentativo::kFatta;
  std::string motivo;
  std::chrono::seconds pausa{0};  // until the next try (0: next cycle)
};

// The line for a change: "Riga 5: non riuscita: <motivo>; nuovo tentativo
// tra 20 s", "Riga 5: saltata: <motivo>; nuovo controllo tra 10 min",
// "Riga 5: in lavorazione in un altro processo". The outcome line of a row
// done is the batch's own (RigaEsito).
std::string RigaCambio(const CambioRiga& cambio);

class PianoTentativi {
 public:
  // True when row `id` may be tried at `adesso`: never tried, or its pause
  // is over.
  bool DaProvare(int64_t id, IstanteServizio adesso) const;

  // Notes the outcome of a try of row `id` at `adesso` and returns the
  // change to tell, or nothing when the row is as it was (same outcome and
  // same reason as the last try) or the try was interrupted. A row done
  // leaves the plan and gives nothing here: the caller tells every success
  // with the batch's own line.
  std::optional<CambioRiga> Registra(int64_t id, EsitoTentativo esito, const std::string& motivo,
                                     IstanteServizio adesso);

  // Forgets every row not in `inAttesa` (published or removed meanwhile by
  // another process).
  void Conserva(const std::vector<int64_t>& inAttesa);

  // Rows in the plan (they failed, or another process held them).
  size_t Righe() const { return righe_.size(); }

  // The earliest moment a row of the plan is due; nothing when the plan is
  // empty.
  std::optional<IstanteServizio> ProssimaScadenza() const;

 private:
  struct Stato {
    EsitoTentativo esito = EsitoTentativo::kGuasto;
    std::string motivo;
    int guasti = 0;  // failures in a row
    IstanteServizio prossimo{};
  };
  std::map<int64_t, Stato> righe_;
};

// The service's status line, for the service manager: "in attesa 3,
// pubblicate oggi 120, ultimo errore <testo>" ("nessun errore" when there
// was none); the error text cut to 200 bytes on a character boundary.
std::string RigaStatoServizio(size_t inAttesa, size_t pubblicateOggi, std::string_view ultimoErrore);

}  // namespace velmora
