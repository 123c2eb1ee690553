// What the run and the companion programs share about one transfer row:
// locating and opening the user's archive, reading the transfer row with its
// album and photo rows, the media path, and recording the published photo in
// the row. The console lines written here are the run's own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/SQLText.h"
#include "prism/PrismApi.h"

namespace velmora {

class TIBDatabase;
class TIBTransaction;

// The parameter file next to the executable.
inline constexpr const char* kFileParametri = "ParametriKelvora.ini";

// What is read from a transfer row and its album and photo rows.
struct RecordTrasferimento {
  std::string accountUser;
  std::string accountPassword;
  std::string nomeSitoPrism;   // base URL, ends with "/"
  std::string idAlbumTolvana;  // the album row
  std::string nomeAlbum;
  std::string idItemPhoto;
  std::string titoloFoto;
  std::string estensione;     // "jpg" when the column is empty
  std::string percorsoMedia;  // as stored: folder + "\" + name + "." + extension
  std::string fileLocale;     // percorsoMedia mapped to a local path
};

// The media path exactly as the archive spells it: folder + "\" + name +
// "." + extension (no separator added or removed). Pure.
std::string PercorsoMedia(std::string_view percorsoFoto, std::string_view nomeFile,
                          std::string_view estensione);

// The "Archivio" setting of `utente` and `ditta`, asked of a configuration
// store bound to `baseDir` (ending with "/") + kFileParametri; empty when
// there is none. The store and its connection are released before return.
// Raises what TQorIni22::ValoreTolvaUser raises.
std::string PercorsoArchivioUtente(const std::string& baseDir, const std::string& utente,
                                   const std::string& ditta);

// Opens the archive `archivio` (a full database path or connect string) on
// the unconnected `database` with ApriArchivio: the directory part up to the
// last separator (kept) and the file-name part, default credentials, no
// prompt owner; "dati.ini" stored paths are mapped through the PERCORSI
// section of `fileParametri`. Returns ApriArchivio's result (may show its
// message boxes).
bool ApriArchivioUtente(TIBDatabase& database, const std::string& archivio, const std::string& fileParametri);

// Runs the transfer query for transfer row `idTransfer` (written as its
// decimal text) on `transazione` and its connection, parameter scanning
// off, and fills `stato` (TokenPrism, IdUserPrism, IdAlbumPrism) and
// `record`, the media path mapped to a local path through the PERCORSI
// section of `fileParametri`. A missing row reads as empty columns. The
// statement object is released; the transaction is not ended. Does not test
// the media file. Raises the database layer's exceptions.
void LeggiTrasferimento(TIBTransaction* transazione, int64_t idTransfer, const std::string& fileParametri,
                        StatoPrism& stato, RecordTrasferimento& record);

// The run's archive stage: PercorsoArchivioUtente (empty: writes "Archivio
// vuoto", returns false), ApriArchivioUtente (its result not examined),
// ContatoreFoto = 1, LeggiTrasferimento on a new default transaction that
// stays open until the connection is released, then the media file test
// (missing: writes "File da caricare non esiste " + stored media path,
// returns false). True: `database` is open, `stato` and `record` are filled
// and the media file exists. Raises the database layer's exceptions (an
// archive that did not open: EIBClientError "Cannot perform operation -- DB
// is not open").
bool FaseArchivio(const std::string& baseDir, const std::string& utente, const std::string& ditta,
                  int64_t idTransfer, TIBDatabase& database, StatoPrism& stato, RecordTrasferimento& record);

// Writes IDPRISM = riferimento, HASHPRISM = hash (apostrophes doubled) and
// DATAORATRANSF = the server's 'NOW' into transfer row `idTransfer` on a new
// no-wait transaction, made
// durable at once with commit-retaining. Raises the database layer's
// exceptions (another writer of the same row: EIBInterBaseError at once).
void RegistraTrasferimento(TIBDatabase& database, int64_t idTransfer, const std::string& riferimento,
                           const std::string& hash);

}  // namespace velmora
