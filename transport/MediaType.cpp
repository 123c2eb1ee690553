#include "transport/MediaType.h"

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/Text.h"

namespace velmora {
namespace {

// The registered media type of a file name's extension: the system's table
// (/etc/mime.types), else a few common types built in.
std::string RegisteredMediaType(std::string_view fileName) {
  static const std::map<std::string, std::string> kTypes = [] {
    std::map<std::string, std::string> types = {
        {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},     {"png", "image/png"},
        {"gif", "image/gif"},  {"mp4", "video/mp4"},       {"mov", "video/quicktime"},
        {"txt", "text/plain"}, {"pdf", "application/pdf"}, {"json", "application/json"},
    };
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream words(line);
      std::string type, ext;
      if (!(words >> type)) continue;
      while (words >> ext) types[ext] = type;
    }
    return types;
  }();
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) return {};
  auto it = kTypes.find(LowerAscii(fileName.substr(dot + 1)));
  return it == kTypes.end() ? std::string() : it->second;
}

}  // namespace

PartContentType ResolvePartContentType(std::string_view mediaType, std::string_view fileName) {
  PartContentType result;
  // Take the "charset" parameter out of the type, keep the others.
  std::vector<std::string> kept;
  size_t start = 0;
  for (;;) {
    size_t semi = mediaType.find(';', start);
    std::string_view piece =
        Trim(mediaType.substr(start, semi == std::string_view::npos ? semi : semi - start), kSpaceTab);
    size_t eq = piece.find('=');
    bool isCharset = !kept.empty() && eq != std::string_view::npos &&
                     EqualsNoCase(Trim(piece.substr(0, eq), kSpaceTab), "charset");
    if (isCharset) {
      std::string_view value = Trim(piece.substr(eq + 1), kSpaceTab);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      result.charset = std::string(value);
    } else if (!piece.empty() || kept.empty()) {
      kept.emplace_back(piece);
    }
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  for (size_t i = 0; i < kept.size(); ++i) result.type += (i ? "; " : "") + kept[i];
  if (result.type.empty()) {
    result.type = RegisteredMediaType(fileName);
    if (result.type.empty()) result.type = "application/octet-stream";
  }
  if (result.charset.empty() && StartsWithNoCase(result.type, "text")) result.charset = "us-ascii";
  return result;
}

}  // namespace velmora
