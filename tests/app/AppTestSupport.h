// A whole publication set-up for the run tests: a directory with the
// parameter file "ParametriKelvora.ini", a configuration database made by
// InizializzaQuery that names the archive, an embedded archive from the
// schema fixture with one album row, one photo row and one transfer row, the
// photo file under a stored Windows-style folder mapped through "PERCORSI",
// and the test Prism server.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "config/QorIni22.h"
#include "tests/peers/PrismPeer.h"
#include "tests/prism/PrismTestSupport.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/RunDirectory.h"
#include "tests/support/TestSupport.h"

namespace velmora::test {

// What the archive rows hold before the run.
struct ArchiveRows {
  std::string idAlbumPrism;            // "" = the album does not exist on the server yet
  std::string token = "vecchio";       // TOKENPRISM
  std::string idUser = "vecchio";      // IDUSERPRISM
  std::string titolo = "Gli sposi";    // TITOLO
  std::string estensione = "jpg";      // ESTENSIONE_FILE
  std::string nomeFile = "sposi";      // NOMEFILE
  std::string password = "segreta";    // ACCOUNTPASSWORD
  bool createFile = true;              // write the media file
  std::string fileName = "sposi.jpg";  // local file name under the photo folder
  std::string archive;                 // connect string; "" = archivio.fdb in the set-up's directory
  size_t photoSize = 0;                // bytes of the media file; 0 = a small photo
};

// The stored folder of the photo and where it lives locally.
inline constexpr const char* kStoredFolder = "C:\\Foto\\2024";

class PublicationSetup {
 public:
  PublicationSetup(const PrismPeer::Options& peerOptions, const ArchiveRows& rows) : rows_(rows) {
    peer_ = std::make_unique<PrismPeer>(peerOptions);
    PrepareRunDirectory(dir_, ArchivePath());

    CreateArchiveDatabase(ArchivePath());
    TIBDatabase db;
    AttachDatabase(db, ArchivePath());
    ExecuteSql(db,
               "INSERT INTO KELALBUMPRISM (ID, TOKENPRISM, IDUSERPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, "
               "NOMESITOPRISM, IDALBUMPRISM, NOMEALBUM, LINK_CONDIVISIONE) VALUES (3, '" +
                   rows.token + "', '" + rows.idUser + "', 'studio', '" + rows.password + "', '" +
                   peer_->BaseUrl() + "', '" + rows.idAlbumPrism + "', 'Matrimonio Rossi', '')");
    ExecuteSql(db,
               "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
               "(4, '" +
                   std::string(kStoredFolder) + "', '" + rows.nomeFile + "', '" + rows.estensione + "', '" +
                   rows.titolo + "')");
    ExecuteSql(db,
               "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO, IDPRISM, HASHPRISM) VALUES "
               "(5, 3, 4, 'prima', 'prima')");
    ExecuteSql(db,
               "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO, IDPRISM, HASHPRISM) VALUES "
               "(6, 3, 4, 'altra', 'altra')");
    if (rows.createFile) {
      std::string folder = dir_ / "foto/2024/";
      RunProcess({"/bin/mkdir", "-p", folder});
      photo_ = std::string("\xFF\xD8\xFF\xE0", 4) + "JFIF test photo " + std::string(3000, 'p');
      if (rows.photoSize > photo_.size()) photo_.resize(rows.photoSize, 'q');
      WriteFileBytes(folder + rows.fileName, photo_);
    }
  }

  PrismPeer& Peer() { return *peer_; }
  const TempDir& Dir() const { return dir_; }
  // The console lines of a run that published its photo: the server's
  // filing and upload messages, then the end.
  std::vector<std::string> PublishedLines() const {
    return {peer_->ImportedMessage(), peer_->UploadedMessage(), "TORNAVELO terminato"};
  }
  std::string ArchivePath() const { return rows_.archive.empty() ? dir_ / "archivio.fdb" : rows_.archive; }
  std::string PhotoPath() const { return dir_ / ("foto/2024/" + rows_.fileName); }

  // IDPRISM, HASHPRISM, DATAORATRANSF of a transfer row.
  std::vector<std::string> TransferRow(int id = 5) {
    TIBDatabase db;
    AttachDatabase(db, ArchivePath());
    return ReadRow(
        db, "SELECT IDPRISM, HASHPRISM, DATAORATRANSF FROM KELTRANSFLOG WHERE ID=" + std::to_string(id));
  }
  // TOKENPRISM, IDUSERPRISM, IDALBUMPRISM, LINK_CONDIVISIONE of the album row.
  std::vector<std::string> AlbumRow() {
    TIBDatabase db;
    AttachDatabase(db, ArchivePath());
    return ReadRow(db,
                   "SELECT TOKENPRISM, IDUSERPRISM, IDALBUMPRISM, LINK_CONDIVISIONE FROM KELALBUMPRISM "
                   "WHERE ID = 3");
  }

 private:
  TempDir dir_;
  ArchiveRows rows_;
  std::unique_ptr<PrismPeer> peer_;
  std::string photo_;
};

// Console output split into lines at CR LF.
inline std::vector<std::string> ConsoleLines(const std::string& out) { return SplitLines(out); }

}  // namespace velmora::test
