// Profile (INI) files with the private-profile rules: section and key names
// match without regard to case; values are trimmed of blanks and lose one
// pair of enclosing quotes; at most 2047 characters are returned; a missing
// file, section or key reads as empty (the default applies only when the key
// is absent). Files are read as UTF-8 (BOM allowed), or as Windows-1252 when
// they are not valid UTF-8, and written back in the encoding they were read in
// (details below).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora {

// The value of `key` in `section` of the file at `path`, or `defaultValue`
// when the file, section or key is absent. A path that is a directory, an
// unreadable file or a dangling link reads as missing. Never throws.
std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& defaultValue = "");

// Every key=value line of `section` in file order (names as written, values
// by the reading rules). Missing file or section: empty. Never throws.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& path,
                                                                    const std::string& section);

// Sets `key` in `section` to `value`: the value is replaced in place and every
// other line, comment and the order are kept; a missing file or section is
// created. The file is replaced whole through a temporary file beside it, so
// a failed write leaves the old content intact (a file whose directory takes
// no new files, or that has hard links, is rewritten in place; a symbolic
// link stays a link). A write that changes nothing writes nothing. Raises
// EIniFileException "Unable to write to %s" (the path as given) when the file
// cannot be written: read-only file or directory, a path that is a directory
// or under a non-directory, an existing file that cannot be read, or a key
// name that a key line cannot hold (it contains "=", or begins with ";" or
// "[": the line would not read back as that key, or would open a section).
void WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value);

// The same rules over a file's content already in memory (the bytes as they
// would be on disk: UTF-8, or Windows-1252 when not valid UTF-8; names,
// values and results are UTF-8), for tests and fuzzers. ProfileTextWrite
// returns the new content in the encoding of `text` (UTF-8 for empty text);
// it raises EIniFileException "Unable to write to %s" naming the key when the
// key name cannot be stored (see WriteProfileString).
//
// Details both share with the file functions:
//  - lines end with CR, LF or CR LF; a new line takes the file's first line
//    end (CR LF in a new file); a UTF-8 BOM is skipped and kept;
//  - "[name]" opens a section (up to the last "]", name trimmed); a line
//    whose first non-blank is ";" is a comment; "key=value" splits at the
//    first "="; other lines and lines before the first section belong to no
//    key; the first matching section and key count;
//  - the 2047 characters are counted as Windows does (UTF-16 units); a
//    character is never split;
//  - a written name or value ends at its first line break (a line-based file
//    cannot hold more); names are trimmed; invalid UTF-8 bytes in them are
//    read as Windows-1252;
//  - a file that begins with a UTF-16 BOM (little or big endian) is read as
//    UTF-16 and written back as such (an unpaired surrogate becomes U+FFFD);
//  - a Windows-1252 file stays one, unless the new name or value has no
//    Windows-1252 form (or the result would pass for UTF-8): then the whole
//    file is stored as UTF-8, which reads exactly as before;
//  - a key missing from its section is added after the section's last
//    non-blank line; a missing section is added at the end after a blank
//    line; an existing key keeps its line, only the value after "=" changes.
std::string ProfileTextLookup(const std::string& text, const std::string& section, const std::string& key,
                              const std::string& defaultValue);
std::string ProfileTextWrite(const std::string& text, const std::string& section, const std::string& key,
                             const std::string& value);

}  // namespace velmora
