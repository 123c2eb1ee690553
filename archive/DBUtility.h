// Transaction presets and the table check. A transaction made here is owned
// by its connection (TIBDatabase::AdoptTransaction): callers never release
// it. Most leave it open and make their writes durable with CommitRetaining;
// closing or releasing the connection commits whatever is still open. A
// caller whose work must end the transaction (a row lock let go, a read that
// must not keep old record versions) ends it through AmbitoTransazione
// (archive/AmbitoTransazione.h), which commits or rolls back and never lets
// a failed rollback hide the error that ended the work.
#pragma once

#include <cstdint>
#include <string>

#include "archive/IBDatabase.h"
#include "platform/Exceptions.h"

namespace velmora {

class TIBSQL;

// A set of transaction options: bit n stands for option n of the option table
// (TransactionOptionName); only bits 1..20 are examined.
using TOpzioniTransazione = uint32_t;

// The bit of option n (1..31).
constexpr TOpzioniTransazione OpzioneTransazione(int n) { return TOpzioniTransazione{1} << n; }
// {concurrency, nowait} = 132 and {read_committed, rec_version} = 163840.
constexpr TOpzioniTransazione kOpzioniNoWait = OpzioneTransazione(2) | OpzioneTransazione(7);
constexpr TOpzioniTransazione kOpzioniReadCommitted = OpzioneTransazione(15) | OpzioneTransazione(17);

// Appends "isc_tpb_<name>" to transazione.Params for every bit 1..20 of
// `opzioni`, in ascending option number. Never raises.
void OpzioniTransazione(TIBTransaction& transazione, TOpzioniTransazione opzioni);

// A new transaction on `database` with the options of `opzioni`, started.
// Owned by the connection; the pointer stays valid until the connection is
// destroyed. Raises EIBClientError 15 "Cannot perform operation -- DB is not
// open" when the connection is unconnected, 13 (kIBTPBUnsupported) for the
// options isc_tpb_verb_time, isc_tpb_commit_time and isc_tpb_autocommit, and
// EIBInterBaseError when the server refuses; the object that failed to start
// stays registered with the connection, inactive.
TIBTransaction* NuovaTransazione(TIBDatabase& database, TOpzioniTransazione opzioni);
// NuovaTransazione with {2, 7}: concurrency, no wait.
TIBTransaction* TransazioneNoWait(TIBDatabase& database);
// NuovaTransazione with {15, 17}: read committed, record versions.
TIBTransaction* TransazioneReadCommitted(TIBDatabase& database);

// True when `e` is the server's refusal of a lock or a write that met another
// transaction's lock or change of the same row: IBErrorCode isc_lock_conflict
// (a no-wait transaction), isc_deadlock (which carries "update conflicts with
// concurrent update"), isc_update_conflict or isc_concurrent_transaction.
// The one classifier of conflicts: the retry below and the row claims use it.
bool ConflittoAggiornamento(const EIBError& e) noexcept;

// How many times EseguiRipetendoConflitti executes a statement at most.
inline constexpr int kTentativiConflitto = 100;

// Executes `sql` (ExecQuery). A write on a read-committed transaction that
// waits for another writer of the same row is refused with an update
// conflict when that writer commits; the statement changed nothing, and
// executed again it sees the committed row. So on ConflittoAggiornamento it
// is executed again after a pause of 10 to 50 ms, up to kTentativiConflitto
// times in all; the last conflict, and every other error, is raised. The
// pause is SleepUnlessStopped (platform/Signals.h): a stop signal ends it
// with EStopRequested.
void EseguiRipetendoConflitti(TIBSQL& sql);

// True when the catalogue (RDB$RELATIONS) holds a table or view named exactly
// `nome` (the stored form: upper case for unquoted names). Runs on a new
// read-committed transaction that stays open on the connection. A quote in
// `nome` is doubled, so the name never changes the statement.
// Raises what NuovaTransazione and TIBSQL::ExecQuery raise.
bool EsisteTabella(TIBDatabase& database, const std::string& nome);

}  // namespace velmora
