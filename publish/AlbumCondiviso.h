// The album row (KELALBUMPRISM) shared by every transfer of an album: several
// processes may write it at the same moment (one run per photo, workstations
// sharing the archive). Its writes wait for one another instead of failing
// with an update conflict, and the server album is created once per row.
#pragma once

#include <string>

#include "prism/PrismApi.h"

namespace velmora {

class HttpClient;
class TIBDatabase;
class TIBTransaction;

// A new started transaction for writing the album row: read committed with
// record versions, waiting for another writer of the same row to end (the
// client library's default). Its writes run through EseguiRipetendoConflitti
// (archive/DBUtility.h): the conflict the server reports when the other
// writer commits makes them run again instead of failing. Owned by the
// connection.
// Raises what NuovaTransazione raises.
TIBTransaction* TransazioneRigaAlbum(TIBDatabase& database);

// LoginPrism with its album-row write on a TransazioneRigaAlbum transaction:
// the same requests, outcome and row values, but a concurrent login of
// another process for the same row makes this one wait, not fail.
EsitoPrism LoginPrismCondiviso(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                               const std::string& baseUrl, const std::string& accountUser,
                               const std::string& accountPassword, int64_t idAlbumTolvana);

// What AssicuraAlbumPrism did.
struct AlbumAssicurato {
  bool creato = false;   // this call created the server album
  EsitoPrism creazione;  // what the creation did
};

// Gives album row `idAlbumTolvana` (a decimal row identifier) its server
// album, once per row however many processes call this at the same time.
// Takes the row's lock on a TransazioneRigaAlbum transaction (an update that
// leaves the row's values as they are; it waits while another process holds
// the lock) and re-reads IDALBUMPRISM:
//  - filled (another process created the album meanwhile): stato.IdAlbumPrism
//    takes it, nothing is sent; creato false, the creation riuscito with no
//    notice;
//  - empty: CreaAlbumPrism, whose row write runs on the locked transaction;
//    creato true, the creation as CreaAlbumPrism returned it.
// The lock is released before return in every case: by the commit-retaining
// of the row write, else by a commit-retaining here; when an exception
// passes, by a rollback. A caller alone sends exactly CreaAlbumPrism's
// requests.
// Raises what CreaAlbumPrism and the database layer raise.
AlbumAssicurato AssicuraAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                                   const std::string& baseUrl, const std::string& nomeAlbum,
                                   int64_t idAlbumTolvana);

}  // namespace velmora
