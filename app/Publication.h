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
#include "publish/Trasferimento.h"

namespace velmora {

// The pause between filing the upload into the album and looking it up.
inline constexpr uint32_t kPausaRicercaMs = 4000;

// How long a run waits for another process's claim of its transfer row to
// end (a batch holds a row through its upload and identification), and how
// often it tries again meanwhile.
inline constexpr uint32_t kAttesaPrenotazioneMs = 15 * 60 * 1000;
inline constexpr uint32_t kIntervalloPrenotazioneMs = 250;

// The line written, before any statement or request, when argument 4 is not
// a decimal integer.
std::string RigaIdentificativoNonValido(std::string_view argomento);

// The archive stage followed by the publication sequence, with the given
// pause before the lookup (kPausaRicercaMs in the program; shorter only in
// tests). Writes the run's console lines; raises what its steps raise (the
// frame reports it).
void EseguiPubblicazione(const RunArguments& arguments, uint32_t pausaMs);

// The stages of the real program: EseguiPubblicazione with kPausaRicercaMs.
void RunPublication(const RunArguments& arguments);

}  // namespace velmora
