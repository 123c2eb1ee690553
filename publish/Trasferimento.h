// What the run and the companion programs share about one transfer row:
// locating and opening the user's archive, the run's read of the transfer
// row (publish/RigaTrasferimento.h), and recording the published photo in
// the row. The console lines written here are the run's own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "prism/PrismApi.h"
#include "publish/RigaTrasferimento.h"

namespace velmora {

class TIBDatabase;
class TIBTransaction;

// The parameter file next to the executable.
inline constexpr const char* kFileParametri = "ParametriKelvora.ini";

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

// The run's archive stage: PercorsoArchivioUtente (empty: writes "Archivio
// vuoto", returns false), ApriArchivioUtente (its result not examined),
// ContatoreFoto = 1, LeggiTrasferimento on a new default transaction that
// stays open until the connection is released (stato.TokenPrism,
// IdUserPrism and IdAlbumPrism taken from the album row), then the media
// file test: a media file that is not there, or no row (read as empty
// columns, media path "\.jpg"), writes "File da caricare non esiste " +
// stored media path and returns false. True: `database` is open, `stato`
// and `riga` are filled from a row that was found, and the media file
// exists. Raises the database layer's exceptions (an
// archive that did not open: EIBClientError "Cannot perform operation -- DB
// is not open").
bool FaseArchivio(const std::string& baseDir, const std::string& utente, const std::string& ditta,
                  int64_t idTransfer, TIBDatabase& database, StatoPrism& stato, RigaTrasferimento& riga);

// Writes IDPRISM = riferimento, HASHPRISM = hash (apostrophes doubled) and
// DATAORATRANSF = the server's 'NOW' into transfer row `idTransfer` on a new
// no-wait transaction, made
// durable at once with commit-retaining. Raises the database layer's
// exceptions (another writer of the same row: EIBInterBaseError at once).
void RegistraTrasferimento(TIBDatabase& database, int64_t idTransfer, const std::string& riferimento,
                           const std::string& hash);

}  // namespace velmora
