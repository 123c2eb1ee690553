// The SHA-1 of a media file, read in pieces (constant memory), through the
// TLS library's libcrypto, loaded on first use.
#pragma once

#include <functional>
#include <string>

namespace velmora {

// Lower-case hex SHA-1 of the file at `path`, read 256 KiB at a time. When
// `interrompi` returns true between two pieces, stops and raises
// EStreamError "Lettura interrotta".
// Raises EFOpenError "Cannot open file \"<path>\". <system text>" when the
// file cannot be opened, EStreamError when it cannot be read, and
// EStreamError "libcrypto non disponibile: ..." when the library or its
// digest functions are missing.
std::string Sha1File(const std::string& path, const std::function<bool()>& interrompi = {});

}  // namespace velmora
