// The one read of a transfer row with its album and photo rows, on an
// embedded archive: what each column becomes, the default extension, the
// media path mapped through the parameter file, and the rows the join does
// not find.
#include <gtest/gtest.h>

#include <string>

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "publish/RigaTrasferimento.h"
#include "tests/prism/PrismTestSupport.h"

namespace velmora::test {
namespace {

class RigaTrasferimentoTest : public ArchiveFixture {
 protected:
  void SetUp() override {
    ArchiveFixture::SetUp();
    parametri_ = dir_ / "ParametriKelvora.ini";
    WriteFileBytes(parametri_, "[CONFIG]\r\nUtente=1\r\n[Percorsi]\r\n\\\\srv\\foto\\=/srv/foto/\r\n");
    ExecuteSql(db_,
               "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
               "(1, 'C:\\Foto\\2024', 'sposi', '', 'Gli sposi')");
    ExecuteSql(db_,
               "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
               "(2, '\\\\srv\\foto\\2021', 'torta', NULL, '')");
    ExecuteSql(db_,
               "INSERT INTO KELITEMPHOTO (ID, PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE, TITOLO) VALUES "
               "(3, 'D:', 'ballo', 'mp4', NULL)");
    ExecuteSql(db_, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (5, 7, 1)");
    ExecuteSql(
        db_,
        "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO, IDPRISM, HASHPRISM, DATAORATRANSF) VALUES "
        "(6, 7, 2, 'ab12cd', '', '2024-05-01 10:30:00')");
    ExecuteSql(db_, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (7, 8, 3)");
    ExecuteSql(db_, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (8, 42, 1)");  // no album row
    ExecuteSql(db_, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (9, 7, 42)");  // no photo row
    ExecuteSql(db_, "INSERT INTO KELTRANSFLOG (ID, IDALBUM, IDITEMPHOTO) VALUES (10, NULL, 1)");
  }

  bool Leggi(int64_t id, RigaTrasferimento& riga) {
    AmbitoTransazione lettura(TransazioneReadCommitted(db_));
    const bool trovata = LeggiTrasferimento(lettura.Transazione(), id, parametri_, riga);
    lettura.Conferma();
    return trovata;
  }

  std::string parametri_;
};

// The identifiers and texts of a row read, in member order, each followed
// by "|".
std::string Valori(const RigaTrasferimento& r) {
  std::string testo;
  for (const std::string& v : {std::to_string(r.id),
                               std::to_string(r.idAlbum),
                               std::to_string(r.idItemPhoto),
                               r.dataOraTrasferimento,
                               std::string(r.pubblicata ? "pubblicata" : ""),
                               r.idPrism,
                               r.hashPrism,
                               std::string(r.riparazione ? "riparazione" : ""),
                               r.tokenPrism,
                               r.idUserPrism,
                               r.accountUser,
                               r.accountPassword,
                               r.nomeSitoPrism,
                               r.idAlbumPrism,
                               r.nomeAlbum,
                               r.percorsoFoto,
                               r.nomeFile,
                               r.titoloFoto,
                               r.estensione,
                               r.percorsoMedia,
                               r.fileLocale})
    testo += v + "|";
  return testo;
}

TEST_F(RigaTrasferimentoTest, EveryColumnOfTheThreeRows) {
  struct Case {
    int64_t id;
    const char* valori;
  };
  // Extension empty (5) and NULL (6): the default; 6 is mapped through [Percorsi].
  const Case cases[] = {
      {5,
       "5|7|1||||||vecchiotoken|vecchiouser|studio|segreta|x||Matrimonio|C:\\Foto\\2024|sposi|Gli sposi|jpg|"
       "C:\\Foto\\2024\\sposi.jpg|C:/Foto/2024/sposi.jpg|"},
      {6,
       "6|7|2|2024-05-01 10:30:00|pubblicata|ab12cd|||vecchiotoken|vecchiouser|studio|segreta|x||Matrimonio|"
       "\\\\srv\\foto\\2021|torta||jpg|\\\\srv\\foto\\2021\\torta.jpg|/srv/foto/2021/torta.jpg|"},
      {7, "7|8|3||||||altro|altro||||altro||D:|ballo||mp4|D:\\ballo.mp4|D:/ballo.mp4|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    RigaTrasferimento r;
    ASSERT_TRUE(Leggi(c.id, r));
    EXPECT_EQ(Valori(r), c.valori);
  }
}

TEST_F(RigaTrasferimentoTest, ARowTheJoinDoesNotFindReadsAsEmptyColumns) {
  // No transfer row, no album row, no photo row, no album identifier.
  RigaTrasferimento vuota;
  vuota.estensione = "jpg";
  vuota.percorsoMedia = "\\.jpg";  // the run's line: "File da caricare non esiste \.jpg"
  vuota.fileLocale = "/.jpg";
  for (int64_t id : {99, 8, 9, 10}) {
    SCOPED_TRACE(id);
    RigaTrasferimento r;
    r.accountUser = "da prima";
    EXPECT_FALSE(Leggi(id, r));
    EXPECT_EQ(Valori(r), Valori(vuota));
  }
}

}  // namespace
}  // namespace velmora::test
