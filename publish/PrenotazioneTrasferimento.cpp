#include "publish/PrenotazioneTrasferimento.h"

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/Istruzione.h"
#include "archive/SQLText.h"
#include "platform/Clock.h"
#include "platform/Exceptions.h"
#include "platform/Signals.h"
#include "prism/PrismApi.h"

namespace velmora {

namespace {

// The row's DATAORATRANSF as last committed (empty when NULL or when the
// row is gone), read on a read-committed transaction of its own, which
// reads past another transaction's lock.
std::string DataOraCommessa(TIBDatabase& database, int64_t id) {
  AmbitoTransazione lettura(TransazioneReadCommitted(database));
  std::string dataOra;
  {
    Istruzione sql(lettura.Transazione(),
                   {"SELECT DATAORATRANSF FROM KELTRANSFLOG WHERE ID=" + std::to_string(id)});
    if (!sql.Esegui().Eof()) dataOra = sql.Testo("DATAORATRANSF");
  }
  lettura.Conferma();
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
  // Every way out but the claim rolls the transaction back; a rollback that
  // fails never hides what ended the attempt.
  AmbitoTransazione blocco(TransazioneNoWait(database));
  try {
    Istruzione sql(blocco.Transazione(), {"SELECT ID, DATAORATRANSF FROM KELTRANSFLOG WHERE ID=" +
                                          std::to_string(id) + condizione + " WITH LOCK"});
    if (sql.Esegui().Eof()) return Esito::kCambiata;
    if (dataOra) *dataOra = sql.Testo("DATAORATRANSF");
  } catch (const EIBError& e) {
    if (!ConflittoAggiornamento(e)) throw;
    motivo = e.Message();
    return Esito::kOccupata;
  }
  prenotazione.reset(new PrenotazioneTrasferimento(blocco.Consegna(), id));
  return Esito::kPrenotata;
}

PrenotazioneTrasferimento::~PrenotazioneTrasferimento() { Rilascia(); }

void PrenotazioneTrasferimento::Registra(const std::string& riferimento, const std::string& hash) {
  Scrivi(TestoRegistrazione(id_, riferimento, hash));
}

void PrenotazioneTrasferimento::RegistraFoto(const std::string& riferimento, const std::string& hash) {
  std::vector<std::string> righe = AggiornamentoRiga(
      "KELTRANSFLOG", {{"IDPRISM", riferimento}, {"HASHPRISM", hash}}, UgualeId::Attaccato, id_);
  Scrivi(righe[0] + "\n" + righe[1]);
}

void PrenotazioneTrasferimento::Scrivi(const std::string& testo) {
  AmbitoTransazione blocco(transazione_);
  Istruzione(transazione_, {testo}).Esegui();
  blocco.ConfermaMantenendo();
  // Durable already; the commit only ends the transaction and its lock.
  try {
    blocco.Conferma();
  } catch (const Exception&) {
    // What matters is committed; the connection ends the rest.
  }
}

void PrenotazioneTrasferimento::Rilascia() noexcept { AmbitoTransazione(transazione_).Annulla(); }

}  // namespace velmora
