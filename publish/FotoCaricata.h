// Which element of the album's photo listing is the photo a process uploaded.
// The listing names photos by file name only; when several processes upload
// into one album at once, the newest photo with the right extension may be
// another's. The content hash tells them apart: the server gives each photo
// the SHA-1 of its bytes as "Hash".
#pragma once

#include <string>
#include <string_view>

#include "prism/PrismApi.h"
#include "transport/Json.h"

namespace velmora {

// The first element of `elenco` that is an object whose "Hash" member reads
// as text (LeggiTestoJSON) equal to `sha1Hex`, compared without regard to
// ASCII case; nullptr when none is, or when `sha1Hex` is empty. Elements of
// another kind or without "Hash" are passed over. Never raises. Pure.
const TJSONObject* ElementoConHash(const TJSONArray& elenco, std::string_view sha1Hex);

// The preferred-element choice for CercaFotoCaricata: ElementoConHash with
// `sha1Hex` (empty: never prefers anything, the documented rule alone).
SceltaFoto SceltaPerHash(std::string sha1Hex);

}  // namespace velmora
