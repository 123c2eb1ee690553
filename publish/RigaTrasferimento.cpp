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

namespace {

// The text columns and the members they fill.
struct ColonnaTesto {
  const char* nome;
  std::string RigaTrasferimento::*membro;
};
constexpr ColonnaTesto kColonneTesto[] = {
    {"DATAORATRANSF", &RigaTrasferimento::dataOraTrasferimento},
    {"IDPRISM", &RigaTrasferimento::idPrism},
    {"HASHPRISM", &RigaTrasferimento::hashPrism},
    {"TOKENPRISM", &RigaTrasferimento::tokenPrism},
    {"IDUSERPRISM", &RigaTrasferimento::idUserPrism},
    {"ACCOUNTUSER", &RigaTrasferimento::accountUser},
    {"ACCOUNTPASSWORD", &RigaTrasferimento::accountPassword},
    {"NOMESITOPRISM", &RigaTrasferimento::nomeSitoPrism},
    {"IDALBUMPRISM", &RigaTrasferimento::idAlbumPrism},
    {"NOMEALBUM", &RigaTrasferimento::nomeAlbum},
    {"PERCORSOFOTO", &RigaTrasferimento::percorsoFoto},
    {"NOMEFILE", &RigaTrasferimento::nomeFile},
    {"TITOLO", &RigaTrasferimento::titoloFoto},
    {"ESTENSIONE_FILE", &RigaTrasferimento::estensione},
};

}  // namespace

RigaTrasferimento RigaDaRisultato(Istruzione& sql, const std::string& fileParametri) {
  RigaTrasferimento r;
  if (!sql.Eof()) {
    r.id = sql->FieldByName("ID").AsInt64();
    r.idAlbum = sql->FieldByName("IDALBUM").AsInt64();
    r.idItemPhoto = sql->FieldByName("IDITEMPHOTO").AsInt64();
    r.pubblicata = !sql->FieldByName("DATAORATRANSF").IsNull();
    for (const ColonnaTesto& c : kColonneTesto) r.*c.membro = sql.Testo(c.nome);
  }
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
