#include "publish/RigaTrasferimento.h"

#include "archive/IBSQL.h"
#include "archive/Istruzione.h"
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

RigaTrasferimento RigaDaRisultato(Istruzione& sql, const std::string& fileParametri) {
  const bool assente = sql.Eof();
  auto campo = [&sql, assente](const char* nome) { return assente ? std::string() : sql.Testo(nome); };
  auto numero = [&sql, assente](const char* nome) {
    return assente ? int64_t{0} : sql->FieldByName(nome).AsInt64();
  };
  RigaTrasferimento r;
  r.id = numero("ID");
  r.idAlbum = numero("IDALBUM");
  r.idItemPhoto = numero("IDITEMPHOTO");
  r.dataOraTrasferimento = campo("DATAORATRANSF");
  r.pubblicata = !assente && !sql->FieldByName("DATAORATRANSF").IsNull();
  r.idPrism = campo("IDPRISM");
  r.hashPrism = campo("HASHPRISM");
  r.tokenPrism = campo("TOKENPRISM");
  r.idUserPrism = campo("IDUSERPRISM");
  r.accountUser = campo("ACCOUNTUSER");
  r.accountPassword = campo("ACCOUNTPASSWORD");
  r.nomeSitoPrism = campo("NOMESITOPRISM");
  r.idAlbumPrism = campo("IDALBUMPRISM");
  r.nomeAlbum = campo("NOMEALBUM");
  r.percorsoFoto = campo("PERCORSOFOTO");
  r.nomeFile = campo("NOMEFILE");
  r.titoloFoto = campo("TITOLO");
  r.estensione = campo("ESTENSIONE_FILE");
  if (r.estensione.empty()) r.estensione = "jpg";
  r.percorsoMedia = PercorsoMedia(r.percorsoFoto, r.nomeFile, r.estensione);
  r.fileLocale = LocalPathFromStored(r.percorsoMedia, fileParametri);
  return r;
}

bool LeggiTrasferimento(TIBTransaction* transazione, int64_t idTransfer, const std::string& fileParametri,
                        RigaTrasferimento& riga) {
  Istruzione sql(transazione, {std::string(kSelezioneTrasferimento) + "L.ID=" + std::to_string(idTransfer)});
  sql.Esegui();
  riga = RigaDaRisultato(sql, fileParametri);
  return !sql.Eof();
}

}  // namespace velmora
