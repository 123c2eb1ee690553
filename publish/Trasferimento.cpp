#include "publish/Trasferimento.h"

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/QorDB.h"
#include "config/QorIni22.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace velmora {

bool IdentificativoDecimale(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

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

void LeggiTrasferimento(TIBDatabase& database, TIBTransaction* transazione, const std::string& idTransfer,
                        const std::string& fileParametri, StatoPrism& stato, RecordTrasferimento& record) {
  std::string percorsoFoto, nomeFile;
  {
    TIBSQL sql;
    sql.SetDatabase(&database);
    sql.SetTransaction(transazione);
    sql.ParamCheck = false;
    sql.SQL = {
        "SELECT A.TOKENPRISM, A.IDUSERPRISM, A.ACCOUNTUSER, A.ACCOUNTPASSWORD, A.NOMESITOPRISM, "
        "A.ID IDALBUMTOLVANA, A.IDALBUMPRISM, A.NOMEALBUM ",
        ", P.PERCORSOFOTO, P.NOMEFILE, P.ESTENSIONE_FILE, L.IDITEMPHOTO, P.TITOLO TITOLOFOTO",
        "FROM KELTRANSFLOG L INNER JOIN KELALBUMPRISM A ON (L.IDALBUM=A.ID)",
        "INNER JOIN KELITEMPHOTO P ON (L.IDITEMPHOTO=P.ID)",
        "WHERE L.ID=" + idTransfer,
    };
    sql.ExecQuery();
    auto campo = [&sql](const char* nome) { return sql.FieldByName(nome).AsString(); };
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
                  const std::string& idTransfer, TIBDatabase& database, StatoPrism& stato,
                  RecordTrasferimento& record) {
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
  LeggiTrasferimento(database, NuovaTransazione(database, 0), idTransfer, fileParametri, stato, record);
  if (!FileExists(record.fileLocale)) {
    WriteLine("File da caricare non esiste " + record.percorsoMedia);
    return false;
  }
  return true;
}

void RegistraTrasferimento(TIBDatabase& database, const std::string& idTransfer,
                           const std::string& riferimento, const std::string& hash) {
  TIBSQL sql;
  sql.SetDatabase(&database);
  TIBTransaction* transazione = TransazioneNoWait(database);
  sql.SetTransaction(transazione);
  sql.ParamCheck = false;
  sql.SQL = {"UPDATE KELTRANSFLOG SET IDPRISM='" + TestoSQL(riferimento) + "', HASHPRISM='" + TestoSQL(hash) +
                 "', DATAORATRANSF='NOW'",
             "WHERE ID=" + idTransfer};
  sql.ExecQuery();
  transazione->CommitRetaining();
}

}  // namespace velmora
