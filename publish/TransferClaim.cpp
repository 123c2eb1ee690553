#include "publish/TransferClaim.h"

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/SQLText.h"
#include "platform/Clock.h"
#include "platform/Exceptions.h"
#include "platform/Signals.h"
#include "prism/PrismApi.h"

namespace velmora {

namespace {

// The server's codes for a row that another transaction holds or changed:
// lock conflict on a no-wait transaction, deadlock, update conflict, and
// the concurrent transaction that holds it.
bool RigaOccupata(const EIBError& e) {
  switch (e.IBErrorCode()) {
    case 335544345:  // isc_lock_conflict
    case 335544336:  // isc_deadlock
    case 335544451:  // isc_update_conflict
    case 335544878:  // isc_concurrent_transaction
      return true;
    default:
      return false;
  }
}

// The row's DATAORATRANSF as last committed (empty when NULL or when the
// row is gone), read on a read-committed transaction of its own, which
// reads past another transaction's lock.
std::string DataOraCommessa(TIBDatabase& database, int64_t id) {
  TIBTransaction* transazione = TransazioneReadCommitted(database);
  std::string dataOra;
  try {
    TIBSQL sql;
    sql.SetDatabase(&database);
    sql.SetTransaction(transazione);
    sql.ParamCheck = false;
    sql.SQL = {"SELECT DATAORATRANSF FROM KELTRANSFLOG WHERE ID=" + std::to_string(id)};
    sql.ExecQuery();
    if (!sql.Eof()) dataOra = sql.FieldByName("DATAORATRANSF").AsString();
    sql.Close();
    transazione->Commit();
  } catch (...) {
    if (transazione->Active()) transazione->Rollback();
    throw;
  }
  return dataOra;
}

}  // namespace

EsitoAttesaRiga PrenotaRigaAttendendo(TIBDatabase& database, int64_t id, uint32_t attesaMassimaMs,
                                      uint32_t intervalloMs,
                                      std::unique_ptr<PrenotazioneTrasferimento>& prenotazione) {
  const std::string prima = DataOraCommessa(database, id);
  const uint64_t inizio = MonotonicNanoseconds();
  for (;;) {
    std::string motivo, dataOra;
    switch (PrenotazioneTrasferimento::Prenota(database, id, false, prenotazione, motivo, &dataOra)) {
      case PrenotazioneTrasferimento::Esito::kPrenotata:
        if (dataOra != prima) {
          prenotazione.reset();
          return EsitoAttesaRiga::kPubblicata;
        }
        return EsitoAttesaRiga::kPrenotata;
      case PrenotazioneTrasferimento::Esito::kCambiata:
        return EsitoAttesaRiga::kAssente;
      case PrenotazioneTrasferimento::Esito::kOccupata:
        break;
    }
    if ((MonotonicNanoseconds() - inizio) / 1000000 >= attesaMassimaMs) return EsitoAttesaRiga::kScaduta;
    SleepUnlessStopped(intervalloMs);
  }
}

std::string TestoRegistrazione(int64_t id, const std::string& riferimento, const std::string& hash) {
  std::vector<std::string> righe = AggiornamentoRiga(
      "KELTRANSFLOG", {{"IDPRISM", riferimento}, {"HASHPRISM", hash}, {"DATAORATRANSF", "NOW"}},
      UgualeId::Attaccato, id);
  return righe[0] + "\n" + righe[1];
}

PrenotazioneTrasferimento::Esito PrenotazioneTrasferimento::Prenota(
    TIBDatabase& database, int64_t id, bool soloInAttesa,
    std::unique_ptr<PrenotazioneTrasferimento>& prenotazione, std::string& motivo, std::string* dataOra) {
  return PrenotaDove(database, id, soloInAttesa ? " AND DATAORATRANSF IS NULL" : "", prenotazione, motivo,
                     dataOra);
}

PrenotazioneTrasferimento::Esito PrenotazioneTrasferimento::PrenotaRiparazione(
    TIBDatabase& database, int64_t id, std::unique_ptr<PrenotazioneTrasferimento>& prenotazione,
    std::string& motivo) {
  return PrenotaDove(database, id, " AND DATAORATRANSF IS NOT NULL AND (HASHPRISM IS NULL OR HASHPRISM = '')",
                     prenotazione, motivo, nullptr);
}

PrenotazioneTrasferimento::Esito PrenotazioneTrasferimento::PrenotaDove(
    TIBDatabase& database, int64_t id, const std::string& condizione,
    std::unique_ptr<PrenotazioneTrasferimento>& prenotazione, std::string& motivo, std::string* dataOra) {
  prenotazione.reset();
  TIBTransaction* transazione = TransazioneNoWait(database);
  try {
    TIBSQL sql;
    sql.SetDatabase(&database);
    sql.SetTransaction(transazione);
    sql.ParamCheck = false;
    sql.SQL = {"SELECT ID, DATAORATRANSF FROM KELTRANSFLOG WHERE ID=" + std::to_string(id) + condizione +
               " WITH LOCK"};
    sql.ExecQuery();
    if (sql.Eof()) {
      sql.Close();
      transazione->Rollback();
      return Esito::kCambiata;
    }
    if (dataOra) *dataOra = sql.FieldByName("DATAORATRANSF").AsString();
    sql.Close();
  } catch (const EIBError& e) {
    if (transazione->Active()) transazione->Rollback();
    if (!RigaOccupata(e)) throw;
    motivo = e.Message();
    return Esito::kOccupata;
  }
  prenotazione.reset(new PrenotazioneTrasferimento(transazione, id));
  return Esito::kPrenotata;
}

PrenotazioneTrasferimento::~PrenotazioneTrasferimento() { Rilascia(); }

void PrenotazioneTrasferimento::Registra(const std::string& riferimento, const std::string& hash) {
  Scrivi(TestoRegistrazione(id_, riferimento, hash));
}

void PrenotazioneTrasferimento::RegistraFoto(const std::string& riferimento, const std::string& hash) {
  std::vector<std::string> righe = AggiornamentoRiga("KELTRANSFLOG", {{"IDPRISM", riferimento}, {"HASHPRISM", hash}},
                                                     UgualeId::Attaccato, id_);
  Scrivi(righe[0] + "\n" + righe[1]);
}

void PrenotazioneTrasferimento::Scrivi(const std::string& testo) {
  try {
    TIBSQL sql;
    sql.SetDatabase(transazione_->DefaultDatabase());
    sql.SetTransaction(transazione_);
    sql.ParamCheck = false;
    sql.SQL = {testo};
    sql.ExecQuery();
    transazione_->CommitRetaining();
  } catch (...) {
    Rilascia();
    throw;
  }
  // Durable already; the commit only ends the transaction and its lock.
  try {
    transazione_->Commit();
  } catch (const Exception&) {
    // What matters is committed; the connection ends the rest.
  }
}

void PrenotazioneTrasferimento::Rilascia() noexcept {
  try {
    if (transazione_->Active()) transazione_->Rollback();
  } catch (...) {
  }
}

}  // namespace velmora
