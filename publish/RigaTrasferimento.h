// One transfer row (KELTRANSFLOG) with its album row (KELALBUMPRISM) and
// photo row (KELITEMPHOTO), as the run, the batch and the doctor read it:
// one column list, one mapping of a result row, the media path and its
// default extension.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

class Istruzione;
class TIBTransaction;

// What a transfer row and its album and photo rows hold.
struct RigaTrasferimento {
  int64_t id = 0;                    // KELTRANSFLOG.ID
  int64_t idAlbum = 0;               // KELALBUMPRISM.ID (L.IDALBUM)
  int64_t idItemPhoto = 0;           // KELITEMPHOTO.ID (L.IDITEMPHOTO)
  std::string dataOraTrasferimento;  // DATAORATRANSF as text, "" when not yet published
  bool pubblicata = false;           // DATAORATRANSF is set
  std::string idPrism;               // IDPRISM
  std::string hashPrism;             // HASHPRISM
  // Set by the batch's selection only: recorded without a photo
  // (RegistrataSenzaFoto) and selected to be repaired.
  bool riparazione = false;
  std::string tokenPrism;       // album row: TOKENPRISM
  std::string idUserPrism;      // IDUSERPRISM
  std::string accountUser;      // ACCOUNTUSER
  std::string accountPassword;  // ACCOUNTPASSWORD
  std::string nomeSitoPrism;    // NOMESITOPRISM, base URL ending with "/"
  std::string idAlbumPrism;     // IDALBUMPRISM, "" = no server album yet
  std::string nomeAlbum;        // NOMEALBUM
  std::string percorsoFoto;     // photo row: PERCORSOFOTO
  std::string nomeFile;         // NOMEFILE
  std::string titoloFoto;       // TITOLO
  std::string estensione;       // ESTENSIONE_FILE, "jpg" when empty
  std::string percorsoMedia;    // PercorsoMedia(percorsoFoto, nomeFile, estensione), as stored
  std::string fileLocale;       // percorsoMedia mapped to a local path
};

// The statement's head up to "WHERE ": the columns RigaDaRisultato reads,
// from KELTRANSFLOG L joined with KELALBUMPRISM A and KELITEMPHOTO P. A
// statement adds its condition on L (and its order).
inline constexpr const char* kSelezioneTrasferimento =
    "SELECT L.ID, L.IDALBUM, L.IDITEMPHOTO, L.DATAORATRANSF, L.IDPRISM, L.HASHPRISM, A.TOKENPRISM, "
    "A.IDUSERPRISM, A.ACCOUNTUSER, A.ACCOUNTPASSWORD, A.NOMESITOPRISM, A.IDALBUMPRISM, A.NOMEALBUM, "
    "P.PERCORSOFOTO, P.NOMEFILE, P.ESTENSIONE_FILE, P.TITOLO FROM KELTRANSFLOG L INNER JOIN KELALBUMPRISM A "
    "ON (L.IDALBUM=A.ID) INNER JOIN KELITEMPHOTO P ON (L.IDITEMPHOTO=P.ID) WHERE ";

// The media path exactly as the archive spells it: folder + "\" + name +
// "." + extension (no separator added or removed). Pure.
std::string PercorsoMedia(std::string_view percorsoFoto, std::string_view nomeFile,
                          std::string_view estensione);

// The current row of `sql`, an executed statement that starts with
// kSelezioneTrasferimento, the media path mapped to a local path through
// the PERCORSI section of `fileParametri`. At the end of the result (no
// row) every column reads as empty: ids 0 (standing for no row, never to
// reach a statement), texts "", extension "jpg", media path "\.jpg".
// `riparazione` stays false. Does not move the cursor or test the media
// file. Raises the database layer's exceptions.
RigaTrasferimento RigaDaRisultato(Istruzione& sql, const std::string& fileParametri);

// Reads transfer row `idTransfer` with its album and photo rows on
// `transazione` (started; not ended here, the statement is released) into
// `riga` with RigaDaRisultato. False when the join gives no row (the
// transfer row, its album row or its photo row is missing): `riga` then
// holds the empty columns, its ids 0 standing for no row. Raises the
// database layer's exceptions.
bool LeggiTrasferimento(TIBTransaction* transazione, int64_t idTransfer, const std::string& fileParametri,
                        RigaTrasferimento& riga);

}  // namespace velmora
