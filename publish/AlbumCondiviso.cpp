#include "publish/AlbumCondiviso.h"

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"

namespace velmora {

TIBTransaction* TransazioneRigaAlbum(TIBDatabase& database) { return TransazioneReadCommitted(database); }

void LoginPrismCondiviso(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                         const std::string& baseUrl, const std::string& accountUser,
                         const std::string& accountPassword, const std::string& idAlbumTolvana) {
  LoginPrism(database, http, stato, baseUrl, accountUser, accountPassword, idAlbumTolvana,
             TransazioneRigaAlbum(database));
}

bool AssicuraAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                        const std::string& baseUrl, const std::string& nomeAlbum,
                        const std::string& idAlbumTolvana) {
  TIBTransaction* blocco = TransazioneRigaAlbum(database);
  try {
    std::string idAlbum;
    {
      // The update takes the row's lock, waiting while another process
      // holds it; when that process commits, the update is refused as a
      // conflict and runs again, and the re-read sees what was committed.
      TIBSQL sql;
      sql.SetDatabase(&database);
      sql.SetTransaction(blocco);
      sql.ParamCheck = false;
      sql.SQL = {"UPDATE KELALBUMPRISM SET IDALBUMPRISM = IDALBUMPRISM WHERE ID = " + idAlbumTolvana};
      EseguiRipetendoConflitti(sql);
      sql.FreeHandle();
      sql.SQL = {"SELECT IDALBUMPRISM FROM KELALBUMPRISM WHERE ID = " + idAlbumTolvana};
      sql.ExecQuery();
      if (!sql.Eof()) idAlbum = sql.FieldByName("IDALBUMPRISM").AsString();
    }
    if (!idAlbum.empty()) {
      stato.IdAlbumPrism = idAlbum;
      blocco->CommitRetaining();
      return false;
    }
    CreaAlbumPrism(database, http, stato, baseUrl, nomeAlbum, idAlbumTolvana, blocco);
    // When creation failed before its row write, the lock is still held.
    blocco->CommitRetaining();
    return true;
  } catch (...) {
    try {
      if (blocco->Active()) blocco->Rollback();
    } catch (...) {
      // The connection is gone or failing: the lock ends with it.
    }
    throw;
  }
}

}  // namespace velmora
