// The claim on a transfer row while a batch publishes it: a no-wait
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
  static Esito Prenota(TIBDatabase& database, int64_t id, bool soloInAttesa,
                       std::unique_ptr<PrenotazioneTrasferimento>& prenotazione, std::string& motivo);

  // Rolls back when neither Registra nor Rilascia ended the claim. Never throws.
  ~PrenotazioneTrasferimento();
  PrenotazioneTrasferimento(const PrenotazioneTrasferimento&) = delete;
  PrenotazioneTrasferimento& operator=(const PrenotazioneTrasferimento&) = delete;

  int64_t Id() const noexcept { return id_; }

  // Writes the row as a run records its transfer (IDPRISM, HASHPRISM with
  // apostrophes doubled, DATAORATRANSF = 'NOW') and commits at once.
  // Raises the database layer's exceptions; the claim is then rolled back.
  void Registra(const std::string& riferimento, const std::string& hash);

  // Ends the claim leaving the row untouched. Never throws.
  void Rilascia() noexcept;

 private:
  PrenotazioneTrasferimento(TIBTransaction* transazione, int64_t id) : transazione_(transazione), id_(id) {}
  TIBTransaction* transazione_;  // owned by the connection
  int64_t id_;
};

// The statement text of a row's record, exactly as a run writes it. Pure.
std::string TestoRegistrazione(int64_t id, const std::string& riferimento, const std::string& hash);

}  // namespace velmora
