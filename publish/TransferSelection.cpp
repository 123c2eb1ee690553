#include "publish/TransferSelection.h"

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/Istruzione.h"
#include "platform/Paths.h"
#include "publish/Trasferimento.h"

namespace velmora {

std::string TestoSelezione(const SelezioneTrasferimenti& selezione) {
  std::string sql =
      "SELECT L.ID, L.IDALBUM, L.DATAORATRANSF, A.TOKENPRISM, A.IDUSERPRISM, A.ACCOUNTUSER, "
      "A.ACCOUNTPASSWORD, A.NOMESITOPRISM, A.IDALBUMPRISM, A.NOMEALBUM, P.PERCORSOFOTO, P.NOMEFILE, "
      "P.ESTENSIONE_FILE, P.TITOLO FROM KELTRANSFLOG L INNER JOIN KELALBUMPRISM A ON (L.IDALBUM=A.ID) "
      "INNER JOIN KELITEMPHOTO P ON (L.IDITEMPHOTO=P.ID) WHERE ";
  if (selezione.ids.empty()) {
    sql += "L.DATAORATRANSF IS NULL";
  } else {
    sql += "(";
    for (size_t i = 0; i < selezione.ids.size(); ++i) {
      const auto& r = selezione.ids[i];
      if (i > 0) sql += " OR ";
      if (r.da == r.a) {
        sql += "L.ID=" + std::to_string(r.da);
      } else {
        sql += "L.ID BETWEEN " + std::to_string(r.da) + " AND " + std::to_string(r.a);
      }
    }
    sql += ")";
  }
  if (!selezione.album.empty()) {
    sql += " AND L.IDALBUM IN (";
    for (size_t i = 0; i < selezione.album.size(); ++i) {
      if (i > 0) sql += ",";
      sql += std::to_string(selezione.album[i]);
    }
    sql += ")";
  }
  sql += " ORDER BY L.IDALBUM, L.ID";
  return sql;
}

std::vector<RigaTrasferimento> LeggiTrasferimenti(TIBDatabase& database,
                                                  const SelezioneTrasferimenti& selezione,
                                                  const std::string& parameterFile) {
  std::vector<RigaTrasferimento> righe;
  // A read-only transaction: ending it keeps no old record versions alive
  // while the batch works.
  AmbitoTransazione lettura(TransazioneReadCommitted(database));
  Istruzione istruzione(lettura.Transazione(), {TestoSelezione(selezione)});
  TIBSQL& sql = istruzione.Esegui().Sql();
  auto campo = [&istruzione](const char* nome) { return istruzione.Testo(nome); };
  while (!sql.Eof()) {
    RigaTrasferimento r;
    r.id = sql.FieldByName("ID").AsInt64();
    r.idAlbum = sql.FieldByName("IDALBUM").AsInt64();
    r.pubblicata = !sql.FieldByName("DATAORATRANSF").IsNull();
    r.tokenPrism = campo("TOKENPRISM");
    r.idUserPrism = campo("IDUSERPRISM");
    r.accountUser = campo("ACCOUNTUSER");
    r.accountPassword = campo("ACCOUNTPASSWORD");
    r.nomeSitoPrism = campo("NOMESITOPRISM");
    r.idAlbumPrism = campo("IDALBUMPRISM");
    r.nomeAlbum = campo("NOMEALBUM");
    r.titoloFoto = campo("TITOLO");
    r.estensione = campo("ESTENSIONE_FILE");
    if (r.estensione.empty()) r.estensione = "jpg";
    r.percorsoMedia = PercorsoMedia(campo("PERCORSOFOTO"), campo("NOMEFILE"), r.estensione);
    r.fileLocale = LocalPathFromStored(r.percorsoMedia, parameterFile);
    righe.push_back(std::move(r));
    sql.Next();
  }
  sql.Close();
  lettura.Conferma();
  return righe;
}

}  // namespace velmora
