// Transaction presets and the table check. A transaction made here is owned
// by its connection (TIBDatabase::AdoptTransaction): callers never release,
// commit or roll it back; they make writes durable with CommitRetaining, and
// closing or releasing the connection commits whatever is still open.
#pragma once

#include <cstdint>
#include <string>

#include "archive/IBDatabase.h"

namespace velmora {

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

// True when the catalogue (RDB$RELATIONS) holds a table or view named exactly
// `nome` (the stored form: upper case for unquoted names). Runs on a new
// read-committed transaction that stays open on the connection. A quote in
// `nome` is doubled, so the name never changes the statement.
// Raises what NuovaTransazione and TIBSQL::ExecQuery raise.
bool EsisteTabella(TIBDatabase& database, const std::string& nome);

}  // namespace velmora
