// The URL of a request as the HTTP client reads it, and the request line's
// target and "Host" value made from it. Pure functions over text.
#pragma once

#include <string>
#include <string_view>

namespace velmora {

// A URL read as scheme "://" [userinfo "@"] host [":" port] path document
// ["?" query]. The path ends with "/" (it is "/" when the URL has none).
struct Url {
  std::string scheme;
  std::string host;  // without the brackets of an IPv6 literal
  bool ipv6Literal = false;
  int port = -1;  // -1 when the URL names none
  std::string path;
  std::string document;
  std::string query;  // without "?"
  bool hasQuery = false;
};

// Reads a URL. Never throws: a text without "://" has an empty scheme and
// host; an unparsable port counts as none.
Url ParseUrl(std::string_view url);
// The default port of a scheme (80 http, 443 https, compared without case),
// -1 for any other.
int DefaultPort(std::string_view scheme);
// The port of a request: the URL's, else the scheme's default. Raises
// EIdHostRequired "A Host is required" for an empty host and
// EIdUnknownProtocol "Unknown Protocol" when neither gives a port.
int RequestPort(const Url& url);
// The request target: path, document and "?" query as written, except that
// control characters, blanks and bytes outside ASCII are percent-encoded so
// that nothing can split the request line.
std::string RequestTarget(const Url& url);
// The "Host" value: host (IPv6 literal in brackets), plus ":" port when the
// port is not the scheme's default.
std::string HostHeaderValue(const Url& url, int port);

}  // namespace velmora
