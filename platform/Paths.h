// Files and paths. Both "/" and "\" separate directories; a directory the
// program builds ends with "/".
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// The directory of the running executable (from /proc/self/exe, symbolic
// links resolved), ending with "/".
std::string ExecutableDirectory();

// True when `path` names an existing file that is not a directory, symbolic
// links followed (a dangling link does not exist).
bool FileExists(const std::string& path);

// The directory part of `path`, up to and including the last "/", "\" or
// drive ":" (empty when there is none). Pure.
std::string ExtractFilePath(std::string_view path);
// The part after the last "/", "\" or drive ":". Pure.
std::string ExtractFileName(std::string_view path);
// `dir` with "/" appended unless it already ends with "/" or "\". Pure.
std::string IncludeTrailingPathDelimiter(std::string_view dir);

// Maps a path as stored in the archive to a local path: the longest prefix of
// `prefixes` (stored prefix -> local directory, compared without case) that
// begins `stored` is replaced by its local directory, then every "\" becomes
// "/". Pure.
std::string MapStoredPath(std::string_view stored,
                          const std::vector<std::pair<std::string, std::string>>& prefixes);

// MapStoredPath with the prefixes of section "PERCORSI" of the profile file
// `parameterFile`.
std::string LocalPathFromStored(std::string_view stored, const std::string& parameterFile);

}  // namespace velmora
