// One unit of work on a transaction: it ends with Conferma (commit) or, when
// the scope is left any other way, with a rollback. A rollback that fails
// (the connection is lost, the server gone) is swallowed, so the error that
// ended the work is the one the caller sees; the transaction then stays with
// its connection, which ends it when it is released.
//
// The transaction presets (archive/DBUtility.h) leave their transactions
// open on the connection; a caller that must end one (a lock that is let go,
// a read whose row versions must not be kept) wraps it here instead of
// writing its own rollback-and-rethrow block.
#pragma once

#include "archive/IBDatabase.h"

namespace velmora {

class AmbitoTransazione {
 public:
  // Takes charge of `transazione` (active, owned by its connection or by the
  // caller, who keeps it alive longer than this object).
  explicit AmbitoTransazione(TIBTransaction* transazione) noexcept : transazione_(transazione) {}
  // Annulla(). Never throws.
  ~AmbitoTransazione() { Annulla(); }
  AmbitoTransazione(const AmbitoTransazione&) = delete;
  AmbitoTransazione& operator=(const AmbitoTransazione&) = delete;

  TIBTransaction* Transazione() const noexcept { return transazione_; }

  // Commits and ends the scope. Raises EIBClientError 18 or
  // EIBInterBaseError; the transaction is then rolled back (a failure of
  // that swallowed) and the commit's error propagates.
  void Conferma();
  // Makes the changes durable and keeps the transaction active
  // (CommitRetaining); the scope goes on. Raises what CommitRetaining raises.
  void ConfermaMantenendo();
  // Rolls back when still active and ends the scope. Never throws: a
  // rollback that fails leaves the transaction to its connection.
  void Annulla() noexcept;
  // Ends the scope leaving the transaction as it is, and hands it back.
  TIBTransaction* Consegna() noexcept;

 private:
  TIBTransaction* transazione_;
};

}  // namespace velmora
