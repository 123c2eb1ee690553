// Profile (INI) files with the private-profile rules: section and key names
// match without regard to case; values are trimmed of blanks and lose one
// pair of enclosing quotes; at most 2047 characters are returned; a missing
// file, section or key reads as empty (the default applies only when the key
// is absent). Files are read as UTF-8 (BOM allowed), or as Windows-1252 when
// they are not valid UTF-8, and written back in the encoding they were read in.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora {

// The value of `key` in `section` of the file at `path`, or `defaultValue`
// when the file, section or key is absent. Never throws.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& defaultValue = "");

// Every key=value line of `section` in file order (names as written, values
// by the reading rules). Missing file or section: empty. Never throws.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& path,
                                                                    const std::string& section);

// Sets `key` in `section` to `value`: the value is replaced in place and every
// other line, comment and the order are kept; a missing file or section is
// created. Raises EIniFileException "Unable to write to %s" (the path) when
// the file cannot be written.
void WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value);

// The same rules over text already in memory (UTF-8), for tests and fuzzers.
std::string ProfileTextLookup(const std::string& text, const std::string& section,
                              const std::string& key, const std::string& defaultValue);
std::string ProfileTextWrite(const std::string& text, const std::string& section,
                             const std::string& key, const std::string& value);

}  // namespace velmora
