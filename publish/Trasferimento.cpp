#include "publish/Trasferimento.h"

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/Istruzione.h"
#include "archive/QorDB.h"
#include "archive/SQLText.h"
#include "config/QorIni22.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace velmora {

std::string PercorsoArchivioUtente(const std::string& baseDir, const std::string& utente,
                                   const std::string& ditta) {
  TQorIni22 store(nullptr, baseDir, kFileParametri);
  return store.ValoreTolvaUser(utente, ditta, "Archivio", "");
}

bool ApriArchivioUtente(TIBDatabase& database, const std::string& archivio,
                        const std::string& fileParametri) {
  return ApriArchivio(database, ExtractFilePath(archivio), ExtractFileName(archivio), "", "", nullptr,
                      fileParametri);
}

bool FaseArchivio(const std::string& baseDir, const std::string& utente, const std::string& ditta,
                  int64_t idTransfer, TIBDatabase& database, StatoPrism& stato, RigaTrasferimento& riga) {
  const std::string fileParametri = baseDir + kFileParametri;
  std::string archivio = PercorsoArchivioUtente(baseDir, utente, ditta);
  if (archivio.empty()) {
    WriteLine("Archivio vuoto");
    return false;
  }
  // The result is not examined: an archive that did not open makes the
  // transfer query fail below, and the frame reports it.
  ApriArchivioUtente(database, archivio, fileParametri);

  stato.ContatoreFoto = 1;
  const bool trovata = LeggiTrasferimento(NuovaTransazione(database, 0), idTransfer, fileParametri, riga);
  stato.TokenPrism = riga.tokenPrism;
  stato.IdUserPrism = riga.idUserPrism;
  stato.IdAlbumPrism = riga.idAlbumPrism;
  // No row: its ids are 0 and stand for no row, so the run ends here,
  // before any request or update, with the line of its empty media path.
  if (!trovata || !FileExists(riga.fileLocale)) {
    WriteLine("File da caricare non esiste " + OneLineText(riga.percorsoMedia));
    return false;
  }
  return true;
}

void RegistraTrasferimento(TIBDatabase& database, int64_t idTransfer, const std::string& riferimento,
                           const std::string& hash) {
  TIBTransaction* transazione = TransazioneNoWait(database);
  Istruzione(transazione,
             AggiornamentoRiga("KELTRANSFLOG",
                               {{"IDPRISM", riferimento}, {"HASHPRISM", hash}, {"DATAORATRANSF", "NOW"}},
                               UgualeId::Attaccato, idTransfer))
      .Esegui();
  transazione->CommitRetaining();
}

}  // namespace velmora
