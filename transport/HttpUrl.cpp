#include "transport/HttpUrl.h"

#include <algorithm>

#include "platform/Exceptions.h"
#include "platform/Text.h"
#include "transport/HttpHead.h"

namespace velmora {

Url ParseUrl(std::string_view text) {
  Url url;
  std::string_view rest = text;
  size_t sep = rest.find("://");
  if (sep != std::string_view::npos) {
    url.scheme = std::string(rest.substr(0, sep));
    rest.remove_prefix(sep + 3);
    size_t authorityEnd = rest.find('/');
    std::string_view authority = rest.substr(0, authorityEnd);
    rest = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    // Query or fragment written straight after the authority.
    size_t q = authority.find_first_of("?#");
    if (q != std::string_view::npos) {
      rest = std::string_view(authority.data() + q, authority.size() - q + rest.size());
      authority = authority.substr(0, q);
    }
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
      size_t close = authority.find(']');
      if (close != std::string_view::npos) {
        url.host = std::string(authority.substr(1, close - 1));
        url.ipv6Literal = true;
        std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() == ':') portText = after.substr(1);
      } else {
        url.host = std::string(authority);
      }
    } else {
      size_t colon = authority.find(':');
      url.host = std::string(authority.substr(0, colon));
      if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    }
    if (!portText.empty() && portText.size() <= 9 &&
        std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      url.port = std::stoi(std::string(portText));
    } else if (!portText.empty()) {
      // A port that is no number names no valid port: the connect fails.
      url.port = 0;
    }
  }
  size_t q = rest.find('?');
  std::string_view pathPart = rest.substr(0, q);
  if (q != std::string_view::npos) {
    url.hasQuery = true;
    url.query = std::string(rest.substr(q + 1));
  } else {
    size_t hash = pathPart.find('#');
    if (hash != std::string_view::npos) pathPart = pathPart.substr(0, hash);
  }
  // The path always starts with "/"; it ends at the last "/".
  size_t slash = pathPart.rfind('/');
  std::string_view directory =
      slash == std::string_view::npos ? std::string_view() : pathPart.substr(0, slash + 1);
  url.document = std::string(slash == std::string_view::npos ? pathPart : pathPart.substr(slash + 1));
  url.path.clear();
  if (directory.empty() || directory.front() != '/') url.path.push_back('/');
  url.path.append(directory);
  return url;
}

int DefaultPort(std::string_view scheme) {
  if (EqualsNoCase(scheme, "http")) return 80;
  if (EqualsNoCase(scheme, "https")) return 443;
  return -1;
}

int RequestPort(const Url& url) {
  int port = url.port >= 0 ? url.port : DefaultPort(url.scheme);
  if (port < 0) throw EIdUnknownProtocol("Unknown Protocol");
  if (url.host.empty()) throw EIdHostRequired("A Host is required");
  return port;
}

std::string RequestTarget(const Url& url) {
  std::string raw = url.path + url.document;
  if (url.hasQuery) raw += "?" + url.query;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size());
  for (char ch : raw) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string HostHeaderValue(const Url& url, int port) {
  std::string host;
  if (url.ipv6Literal) host.push_back('[');
  host.append(url.host);
  if (url.ipv6Literal) host.push_back(']');
  if (port != DefaultPort(url.scheme)) {
    host.push_back(':');
    host.append(std::to_string(port));
  }
  return SevenBitHeaderText(host);
}

}  // namespace velmora
