#include "publish/Trasferimento.h"

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/Istruzione.h"
#include "archive/QorDB.h"
#include "config/QorIni22.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace velmora {

std::string PercorsoMedia(std::string_view percorsoFoto, std::string_view nomeFile,
                          std::string_view estensione) {
  std::string path(percorsoFoto);
  path += '\\';
  path += nomeFile;
  path += '.';
  path += estensione;
  return path;
}

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

void LeggiTrasferimento(TIBTransaction* transazione, int64_t idTransfer, const std::string& fileParametri,
                        StatoPrism& stato, RecordTrasferimento& record) {
  std::string percorsoFoto, nomeFile;
  {
    Istruzione sql(
        transazione,
        {
            "SELECT A.TOKENPRISM, A.IDUSERPRISM, A.ACCOUNTUSER, A.ACCOUNTPASSWORD, A.NOMESITOPRISM, "
            "A.ID IDALBUMTOLVANA, A.IDALBUMPRISM, A.NOMEALBUM ",
            ", P.PERCORSOFOTO, P.NOMEFILE, P.ESTENSIONE_FILE, L.IDITEMPHOTO, P.TITOLO TITOLOFOTO",
            "FROM KELTRANSFLOG L INNER JOIN KELALBUMPRISM A ON (L.IDALBUM=A.ID)",
            "INNER JOIN KELITEMPHOTO P ON (L.IDITEMPHOTO=P.ID)",
            "WHERE L.ID=" + std::to_string(idTransfer),
        });
    sql.Esegui();
    auto campo = [&sql](const char* nome) { return sql.Testo(nome); };
    stato.TokenPrism = campo("TOKENPRISM");
    stato.IdUserPrism = campo("IDUSERPRISM");
    record.accountUser = campo("ACCOUNTUSER");
    record.accountPassword = campo("ACCOUNTPASSWORD");
    record.nomeSitoPrism = campo("NOMESITOPRISM");
    record.idAlbumTolvana = campo("IDALBUMTOLVANA");
    stato.IdAlbumPrism = campo("IDALBUMPRISM");
    record.nomeAlbum = campo("NOMEALBUM");
    record.idItemPhoto = campo("IDITEMPHOTO");
    record.titoloFoto = campo("TITOLOFOTO");
    record.estensione = campo("ESTENSIONE_FILE");
    if (record.estensione.empty()) record.estensione = "jpg";
    percorsoFoto = campo("PERCORSOFOTO");
    nomeFile = campo("NOMEFILE");
    // The statement object goes; its transaction stays open on the
    // connection until the connection is released.
  }
  record.percorsoMedia = PercorsoMedia(percorsoFoto, nomeFile, record.estensione);
  record.fileLocale = LocalPathFromStored(record.percorsoMedia, fileParametri);
}

bool FaseArchivio(const std::string& baseDir, const std::string& utente, const std::string& ditta,
                  int64_t idTransfer, TIBDatabase& database, StatoPrism& stato, RecordTrasferimento& record) {
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
  LeggiTrasferimento(NuovaTransazione(database, 0), idTransfer, fileParametri, stato, record);
  if (!FileExists(record.fileLocale)) {
    WriteLine("File da caricare non esiste " + OneLineText(record.percorsoMedia));
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
