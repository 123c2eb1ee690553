#include "archive/SharedEngine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/Text.h"

namespace velmora {

namespace {

#ifndef VELMORA_FIREBIRD_ROOT
#define VELMORA_FIREBIRD_ROOT "/usr/lib/x86_64-linux-gnu/firebird/3.0"
#endif

// Blanks around a firebird.conf name or value (CR: a file with Windows line ends).
constexpr std::string_view kConfBlanks = " \t\r";

// The value of `line` when it sets ServerMode, comments removed.
bool ServerModeValue(std::string_view line, std::string_view& value) {
  size_t hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  size_t eq = line.find('=');
  if (eq == std::string_view::npos || !EqualsNoCase(Trim(line.substr(0, eq), kConfBlanks), "ServerMode"))
    return false;
  value = Trim(line.substr(eq + 1), kConfBlanks);
  return true;
}

template <typename F>
void ForEachLine(std::string_view text, F&& f) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    f(text.substr(start, end - start));
    start = end + 1;
  }
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  text = bytes.str();
  return true;
}

bool IsOwnPrivateDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The names in `dir` other than "." and ".."; false when it cannot be read.
bool ListDirectory(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

// Removes a mirror that was not put in place: its links and its file.
void RemoveMirror(const std::string& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) ::unlink((dir + "/" + name).c_str());
  ::unlink((dir + "/firebird.conf").c_str());
  ::rmdir(dir.c_str());
}

bool WriteNewFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  return ::close(fd) == 0 && written;
}

std::string MirrorFor(const std::string& source) {
  std::string conf;
  ReadWholeFile(source + "/firebird.conf", conf);  // none: the library's defaults
  if (ConfigSharesDatabases(conf)) return "";
  std::vector<std::string> names;
  if (!ListDirectory(source, names)) return "";
  names.erase(std::remove(names.begin(), names.end(), "firebird.conf"), names.end());
  const std::string shared = SharedEngineConfig(conf);

  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string parent = (runtime && *runtime && IsOwnPrivateDirectory(runtime)) ? runtime : "/tmp";
  std::string base = parent + "/velmora-firebird-" + std::to_string(::geteuid());
  if (::mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) return "";
  if (!IsOwnPrivateDirectory(base)) return "";

  // Named after its content: the source, the entries it links and the
  // configuration text.
  std::string identity = source + '\n' + shared;
  for (const std::string& name : names) identity += '\n' + name;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "%016zx", std::hash<std::string>{}(identity));
  const std::string mirror = base + "/" + suffix;
  if (IsOwnPrivateDirectory(mirror)) return mirror;

  std::string pattern = base + "/.new-XXXXXX";
  if (!::mkdtemp(pattern.data())) return "";
  const std::string temporary = pattern;
  bool made = true;
  for (const std::string& name : names)
    made = made && ::symlink((source + "/" + name).c_str(), (temporary + "/" + name).c_str()) == 0;
  made = made && WriteNewFile(temporary + "/firebird.conf", shared);
  if (made && ::rename(temporary.c_str(), mirror.c_str()) == 0) return mirror;
  // Another process put the same mirror in place first, or this one failed.
  RemoveMirror(temporary, names);
  return IsOwnPrivateDirectory(mirror) ? mirror : "";
}

}  // namespace

const char* DefaultFirebirdRoot() noexcept { return VELMORA_FIREBIRD_ROOT; }

bool ConfigSharesDatabases(std::string_view conf) {
  bool any = false, allShared = true;
  ForEachLine(conf, [&](std::string_view line) {
    std::string_view value;
    if (!ServerModeValue(line, value)) return;
    any = true;
    allShared = allShared && (EqualsNoCase(value, "SuperClassic") || EqualsNoCase(value, "ThreadedShared") ||
                              EqualsNoCase(value, "Classic") || EqualsNoCase(value, "MultiProcess"));
  });
  return any && allShared;
}

std::string SharedEngineConfig(std::string_view conf) {
  std::string out;
  ForEachLine(conf, [&](std::string_view line) {
    std::string_view value;
    if (ServerModeValue(line, value)) return;
    out += line;
    out += '\n';
  });
  out += "ServerMode = SuperClassic\n";
  return out;
}

std::string UseSharedEngine() noexcept {
  try {
    const char* current = std::getenv("FIREBIRD");
    std::string source = (current && *current) ? current : DefaultFirebirdRoot();
    char resolved[PATH_MAX];
    if (!::realpath(source.c_str(), resolved) || !IsDirectory(resolved)) return current ? current : "";
    std::string mirror = MirrorFor(resolved);
    if (!mirror.empty()) ::setenv("FIREBIRD", mirror.c_str(), 1);
  } catch (...) {
    // Out of memory: the environment stays as it was.
  }
  const char* now = std::getenv("FIREBIRD");
  return now ? now : "";
}

}  // namespace velmora
