#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/Profile.h"

namespace velmora {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Position just after the last directory separator or drive colon.
size_t NameStart(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    char c = path[i - 1];
    if (IsSeparator(c) || c == ':') return i;
  }
  return 0;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

}  // namespace

std::string ExecutableDirectory() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return "./";
    if (static_cast<size_t>(n) < buf.size()) {
      std::string exe(buf.data(), static_cast<size_t>(n));
      return IncludeTrailingPathDelimiter(ExtractFilePath(exe));
    }
    buf.resize(buf.size() * 2);
  }
}

bool FileExists(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

std::string ExtractFilePath(std::string_view path) { return std::string(path.substr(0, NameStart(path))); }

std::string ExtractFileName(std::string_view path) { return std::string(path.substr(NameStart(path))); }

std::string IncludeTrailingPathDelimiter(std::string_view dir) {
  std::string out(dir);
  if (out.empty() || !IsSeparator(out.back())) out.push_back('/');
  return out;
}

std::string MapStoredPath(std::string_view stored,
                          const std::vector<std::pair<std::string, std::string>>& prefixes) {
  const std::pair<std::string, std::string>* best = nullptr;
  for (const auto& entry : prefixes) {
    const std::string& prefix = entry.first;
    if (prefix.empty() || prefix.size() > stored.size()) continue;
    bool same = std::equal(prefix.begin(), prefix.end(), stored.begin(),
                           [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
    if (same && (!best || prefix.size() > best->first.size())) best = &entry;
  }
  std::string out = best ? best->second + std::string(stored.substr(best->first.size())) : std::string(stored);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::string LocalPathFromStored(std::string_view stored, const std::string& parameterFile) {
  return MapStoredPath(stored, ReadProfileSection(parameterFile, "PERCORSI"));
}

}  // namespace velmora
