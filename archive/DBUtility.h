// Transaction presets and the table check. A transaction made here is owned
// by its connection (TIBDatabase::AdoptTransaction): callers never release,
// commit or roll it back; they make writes durable with CommitRetaining, and
// closing or releasing the connection commits whatever is still open.
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
// open" when the connection is unconnected, 13 for options 12, 13, 16, and
// EIBInterBaseError when the server refuses; the object that failed to start
// stays registered with the connection, inactive.
TIBTransaction* NuovaTransazione(TIBDatabase& database, TOpzioniTransazione opzioni);
// NuovaTransazione with {2, 7}: concurrency, no wait.
TIBTransaction* TransazioneNoWait(TIBDatabase& database);
// NuovaTransazione with {15, 17}: read committed, record versions.
TIBTransaction* TransazioneReadCommitted(TIBDatabase& database);

// True when `e` is the server's refusal of a write that met another
// transaction's change of the same row: IBErrorCode isc_deadlock (which
// carries "update conflicts with concurrent update") or isc_lock_conflict.
bool ConflittoAggiornamento(const EIBError& e) noexcept;

// How many times EseguiRipetendoConflitti executes a statement at most.
inline constexpr int kTentativiConflitto = 100;

// Executes `sql` (ExecQuery). A write on a read-committed transaction that
// waits for another writer of the same row is refused with an update
// conflict when that writer commits; the statement changed nothing, and
// executed again it sees the committed row. So on ConflittoAggiornamento it
// is executed again after a pause of 10 to 50 ms, up to kTentativiConflitto
// times in all; the last conflict, and every other error, is raised.
void EseguiRipetendoConflitti(TIBSQL& sql);

// True when the catalogue (RDB$RELATIONS) holds a table or view named exactly
// `nome` (the stored form: upper case for unquoted names). Runs on a new
// read-committed transaction that stays open on the connection. A quote in
// `nome` is doubled, so the name never changes the statement.
// Raises what NuovaTransazione and TIBSQL::ExecQuery raise.
bool EsisteTabella(TIBDatabase& database, const std::string& nome);

}  // namespace velmora
