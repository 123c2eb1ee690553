#include "archive/DBUtility.h"

#include <ibase.h>

#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "archive/IBSQL.h"
#include "archive/ParameterBlocks.h"

namespace velmora {

void OpzioniTransazione(TIBTransaction& transazione, TOpzioniTransazione opzioni) {
  for (int n = 1; n <= 20; ++n) {
    if (opzioni & OpzioneTransazione(n)) {
      transazione.Params.push_back("isc_tpb_" + std::string(TransactionOptionName(n)));
    }
  }
}

TIBTransaction* NuovaTransazione(TIBDatabase& database, TOpzioniTransazione opzioni) {
  TIBTransaction* t = database.AdoptTransaction(std::make_unique<TIBTransaction>());
  t->SetDefaultDatabase(&database);
  OpzioniTransazione(*t, opzioni);
  t->SetActive(true);
  return t;
}

TIBTransaction* TransazioneNoWait(TIBDatabase& database) {
  return NuovaTransazione(database, kOpzioniNoWait);
}

TIBTransaction* TransazioneReadCommitted(TIBDatabase& database) {
  return NuovaTransazione(database, kOpzioniReadCommitted);
}

bool ConflittoAggiornamento(const EIBError& e) noexcept {
  return e.IBErrorCode() == isc_deadlock || e.IBErrorCode() == isc_update_conflict ||
         e.IBErrorCode() == isc_lock_conflict;
}

void EseguiRipetendoConflitti(TIBSQL& sql) {
  std::minstd_rand random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int tentativo = 1;; ++tentativo) {
    try {
      sql.ExecQuery();
      return;
    } catch (const EIBError& e) {
      if (tentativo >= kTentativiConflitto || !ConflittoAggiornamento(e)) throw;
    }
    // Spread the processes that were all waiting for the same writer.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 41));
  }
}

bool EsisteTabella(TIBDatabase& database, const std::string& nome) {
  TIBSQL sql;
  sql.SetDatabase(&database);
  sql.SetTransaction(TransazioneReadCommitted(database));
  // The name is a quoted literal: a quote inside it is doubled.
  std::string literal;
  for (char c : nome) {
    literal += c;
    if (c == '\'') literal += '\'';
  }
  sql.SQL.push_back("SELECT 1 FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = '" + literal + "'");
  sql.ExecQuery();
  return sql.RecordCount() > 0;
}

}  // namespace velmora
