// The SHA-1 of a media file, read in pieces (constant memory).
#pragma once

#include <functional>
#include <string>

namespace velmora {

// Lower-case hex SHA-1 (transport/Sha1.h) of the file at `path`, read
// 256 KiB at a time. When `interrompi` returns true between two pieces,
// stops and raises EStreamError "Lettura interrotta".
// Raises EFOpenError "Cannot open file \"<path>\". <system text>" when the
// file cannot be opened, EStreamError when it cannot be read or when no
// SHA-1 can be had (libcrypto missing).
std::string Sha1File(const std::string& path, const std::function<bool()>& interrompi = {});

}  // namespace velmora
