#include "archive/DBUtility.h"

#include <memory>

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
