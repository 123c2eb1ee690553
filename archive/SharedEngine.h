// Local database files shared between processes. The embedded engine of the
// client library, in its default mode, holds a database file for the one
// process that opened it: a second process (another run, or the archive
// application) cannot open it. With ServerMode = SuperClassic in the
// firebird.conf the library reads, every process opens the file in shared
// mode and they coordinate through the engine's lock files.
//
// The library reads its configuration from the directory named by the
// FIREBIRD environment variable, when set, else from its installation root.
// Before the library is loaded, UseSharedEngine makes FIREBIRD name a
// directory that mirrors that source (every entry a symbolic link to the
// original, so plugins, aliases and Firebird's messages stay as they are)
// with a copy of its firebird.conf whose ServerMode is SuperClassic. When the
// source already selects a shared mode, nothing is changed.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The installation root the client library reads when FIREBIRD is not set.
const char* DefaultFirebirdRoot() noexcept;

// True when the configuration text `conf` selects a mode in which several
// processes share a database file: it has ServerMode lines (key without
// case, "#" starts a comment) and every one names SuperClassic, Classic or
// their other names ThreadedShared, MultiProcess. Pure.
bool ConfigSharesDatabases(std::string_view conf);

// `conf` without its ServerMode lines, followed by "ServerMode = SuperClassic"
// on a line of its own. Pure.
std::string SharedEngineConfig(std::string_view conf);

// Prepares the mirror of the configuration source (FIREBIRD when set and not
// empty, else DefaultFirebirdRoot) under a directory of this user
// ($XDG_RUNTIME_DIR, else /tmp; "velmora-firebird-<uid>", mode 0700) and
// sets FIREBIRD to it. The mirror is named after what it holds, made under a
// temporary name and renamed into place, so processes starting together
// agree on it. Returns the directory FIREBIRD names afterwards ("" when
// unset). Leaves the environment as it is when the source already shares
// databases, when the source directory does not exist, and when the mirror
// cannot be made safely (then a local file stays with one process at a time,
// as without this step). Call before the client library is loaded; never
// raises.
std::string UseSharedEngine() noexcept;

}  // namespace velmora
