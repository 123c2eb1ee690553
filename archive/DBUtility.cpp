#include "archive/DBUtility.h"

#include <ibase.h>

#include <chrono>
#include <memory>
#include <random>

#include "archive/IBSQL.h"
#include "archive/ParameterBlocks.h"
#include "archive/SQLText.h"
#include "platform/Signals.h"

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
  switch (e.IBErrorCode()) {
    case isc_lock_conflict:
    case isc_deadlock:
    case isc_update_conflict:
    case isc_concurrent_transaction:
      return true;
    default:
      return false;
  }
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
    // Spread the processes that were all waiting for the same writer; a
    // stop signal ends the pause.
    SleepUnlessStopped(static_cast<uint32_t>(10 + random() % 41));
  }
}

bool EsisteTabella(TIBDatabase& database, const std::string& nome) {
  TIBSQL sql;
  sql.SetDatabase(&database);
  sql.SetTransaction(TransazioneReadCommitted(database));
  sql.SQL.push_back("SELECT 1 FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = " + QuotedSQLText(nome));
  sql.ExecQuery();
  return sql.RecordCount() > 0;
}

}  // namespace velmora
