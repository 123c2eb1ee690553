// The claim on a transfer row while a batch or a run publishes it: a no-wait
// transaction that has locked the row. Another batch, or a run, that tries
// to lock or write the same row meets the lock at once instead of
// publishing it a second time. The claim ends with the row's update (the
// same statement a run writes) or with a rollback that leaves the row as it
// was; a process that dies loses its claims with its connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

class TIBDatabase;
class TIBTransaction;

class PrenotazioneTrasferimento {
 public:
  enum class Esito {
    kPrenotata,  // the row is ours until Registra or Rilascia
    kOccupata,   // another transaction holds or has just changed the row
    kCambiata,   // the row is gone, or was published since it was selected
  };

  // Locks row `id` of KELTRANSFLOG (SELECT ... WITH LOCK) on a new no-wait
  // transaction of `database`. With `soloInAttesa` the row must still have
  // DATAORATRANSF NULL. `motivo` receives the server's text for kOccupata.
  // Raises the database layer's exceptions for any other failure.
  // `dataOra`, when given, receives the locked row's DATAORATRANSF as text
  // (empty when NULL) for kPrenotata.
  static Esito Prenota(TIBDatabase& database, int64_t id, bool soloInAttesa,
                       std::unique_ptr<PrenotazioneTrasferimento>& prenotazione, std::string& motivo,
                       std::string* dataOra = nullptr);

  // Prenota for a row to repair: it must still be recorded without a photo
  // (DATAORATRANSF set, HASHPRISM empty); kCambiata when another process has
  // repaired or changed it since it was selected.
  static Esito PrenotaRiparazione(TIBDatabase& database, int64_t id,
                                  std::unique_ptr<PrenotazioneTrasferimento>& prenotazione,
                                  std::string& motivo);

  // Rolls back when neither Registra nor Rilascia ended the claim. Never throws.
  ~PrenotazioneTrasferimento();
  PrenotazioneTrasferimento(const PrenotazioneTrasferimento&) = delete;
  PrenotazioneTrasferimento& operator=(const PrenotazioneTrasferimento&) = delete;

  int64_t Id() const noexcept { return id_; }

  // Writes the row as a run records its transfer (IDPRISM, HASHPRISM with
  // apostrophes doubled, DATAORATRANSF = 'NOW') and commits at once.
  // Raises the database layer's exceptions; the claim is then rolled back.
  void Registra(const std::string& riferimento, const std::string& hash);

  // Writes IDPRISM and HASHPRISM only, keeping DATAORATRANSF: the repair of
  // a row whose photo was on the server since it was recorded. Commits and
  // raises as Registra.
  void RegistraFoto(const std::string& riferimento, const std::string& hash);

  // Ends the claim leaving the row untouched. Never throws.
  void Rilascia() noexcept;

 private:
  PrenotazioneTrasferimento(TIBTransaction* transazione, int64_t id) : transazione_(transazione), id_(id) {}
  static Esito PrenotaDove(TIBDatabase& database, int64_t id, const std::string& condizione,
                           std::unique_ptr<PrenotazioneTrasferimento>& prenotazione, std::string& motivo,
                           std::string* dataOra);
  void Scrivi(const std::string& testo);
  TIBTransaction* transazione_;  // owned by the connection
  int64_t id_;
};

// How a run's claim of its own transfer row ended.
enum class EsitoAttesaRiga {
  kPrenotata,   // the row is the run's own: publish it, then Registra
  kPubblicata,  // another process published the row while the run waited
  kScaduta,     // another process still held the row when the wait ended
  kAssente,     // the row is gone: there is nothing to claim
};

// Claims transfer row `id` for a run, which publishes it whether pending or
// not. While another process (a batch, another run) holds the row, tries
// again every `intervalloMs` with a no-wait attempt (the database calls
// themselves cannot be interrupted) and sleeps with SleepUnlessStopped in
// between, for at most `attesaMassimaMs`. A row whose DATAORATRANSF, read
// committed before the first attempt, has changed when the claim is
// obtained was published meanwhile: kPubblicata, and the claim is released.
// Raises EStopRequested on a stop signal while waiting, and the database
// layer's exceptions.
EsitoAttesaRiga PrenotaRigaAttendendo(TIBDatabase& database, int64_t id, uint32_t attesaMassimaMs,
                                      uint32_t intervalloMs,
                                      std::unique_ptr<PrenotazioneTrasferimento>& prenotazione);

// The statement text of a row's record, exactly as a run writes it. Pure.
std::string TestoRegistrazione(int64_t id, const std::string& riferimento, const std::string& hash);

}  // namespace velmora
