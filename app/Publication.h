// The two stages of a publication run inside the frame: the archive stage
// (archive path from the configuration store, the archive connection, the
// transfer row with its album and photo rows, the media file) and the
// publication sequence (login, upload, album, assignment, pause, lookup,
// title, recording of the transfer).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/Velmora.h"
#include "prism/PrismApi.h"

namespace velmora {

class TIBDatabase;

// The pause between filing the upload into the album and looking it up.
inline constexpr uint32_t kPausaRicercaMs = 4000;

// True when `text` is a decimal integer: an optional "-" and 1 to 18 digits,
// nothing else. Argument 4 goes unquoted into two statements, so nothing
// else may pass.
bool IdentificativoDecimale(std::string_view text);

// The line written, before any statement or request, when argument 4 is not
// a decimal integer.
std::string RigaIdentificativoNonValido(std::string_view argomento);

// What the archive stage reads from the transfer row and hands on.
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

// The archive stage followed by the publication sequence, with the given
// pause before the lookup (kPausaRicercaMs in the program; shorter only in
// tests). Writes the run's console lines; raises what its steps raise (the
// frame reports it).
void EseguiPubblicazione(const RunArguments& arguments, uint32_t pausaMs);

}  // namespace velmora
