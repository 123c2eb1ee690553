// The media type of an upload part: the type the caller names, split from its
// "charset" parameter, or the type registered for the file name's extension.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// Splits a media type into the type without its "charset" parameter and the
// charset value (unquoted); a type beginning with "text" without charset
// gets "us-ascii"; an empty type becomes the one registered for the file
// name's extension (/etc/mime.types, else a few common types built in), or
// "application/octet-stream".
struct PartContentType {
  std::string type;
  std::string charset;
};
PartContentType ResolvePartContentType(std::string_view mediaType, std::string_view fileName);

}  // namespace velmora
