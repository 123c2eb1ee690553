#include "publish/AlbumCondiviso.h"

#include <string>

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/Istruzione.h"

namespace velmora {

TIBTransaction* TransazioneRigaAlbum(TIBDatabase& database) { return TransazioneReadCommitted(database); }

EsitoPrism LoginPrismCondiviso(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                               const std::string& baseUrl, const std::string& accountUser,
                               const std::string& accountPassword, int64_t idAlbumTolvana) {
  return LoginPrism(database, http, stato, baseUrl, accountUser, accountPassword, idAlbumTolvana,
                    TransazioneRigaAlbum(database));
}

AlbumAssicurato AssicuraAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                                   const std::string& baseUrl, const std::string& nomeAlbum,
                                   int64_t idAlbumTolvana) {
  // On any failure the scope rolls back and the lock ends; what went wrong
  // is what propagates.
  AmbitoTransazione blocco(TransazioneRigaAlbum(database));
  // The update takes the row's lock, waiting while another process holds
  // it; when that process commits, the update is refused as a conflict and
  // runs again, and the re-read sees what was committed.
  const std::string id = std::to_string(idAlbumTolvana);
  Istruzione(blocco.Transazione(), {"UPDATE KELALBUMPRISM SET IDALBUMPRISM = IDALBUMPRISM WHERE ID = " + id})
      .EseguiRipetendoConflitti();
  std::string idAlbum;
  {
    Istruzione sql(blocco.Transazione(), {"SELECT IDALBUMPRISM FROM KELALBUMPRISM WHERE ID = " + id});
    if (!sql.Esegui().Eof()) idAlbum = sql.Testo("IDALBUMPRISM");
  }
  AlbumAssicurato esito;
  esito.creato = idAlbum.empty();
  if (esito.creato) {
    esito.creazione =
        CreaAlbumPrism(database, http, stato, baseUrl, nomeAlbum, idAlbumTolvana, blocco.Transazione());
  } else {
    stato.IdAlbumPrism = idAlbum;
    esito.creazione.riuscito = true;
  }
  // When creation failed before its row write, the lock is still held. The
  // transaction stays open on the connection, as the run's others do.
  blocco.ConfermaMantenendo();
  blocco.Consegna();
  return esito;
}

}  // namespace velmora
