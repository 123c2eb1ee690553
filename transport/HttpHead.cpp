#include "transport/HttpHead.h"

#include <algorithm>

#include "platform/CodePage.h"
#include "platform/Text.h"

namespace velmora {

namespace {

std::string Unquote(std::string_view s) {
  s = Trim(s, kSpaceTab);
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    s = s.substr(1, s.size() - 2);
  }
  return std::string(s);
}

}  // namespace

std::string HeaderValue(const HeaderList& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (EqualsNoCase(n, name)) return v;
  }
  return "";
}

std::string SevenBitHeaderText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp;
    size_t len = DecodeUtf8At(utf8, i, cp);
    out += len == 1 && cp >= 0x20 && cp != 0x7F ? static_cast<char>(cp) : '?';
    i += len == 0 ? 1 : len;
  }
  return out;
}

std::string FormatRequestHead(std::string_view method, std::string_view target, bool http10,
                              const HeaderList& headers) {
  std::string head;
  head.reserve(256);
  head += SevenBitHeaderText(method);
  head += ' ';
  head += target;
  head += http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n";
  for (const auto& [name, value] : headers) {
    if (value.empty()) continue;
    head += SevenBitHeaderText(name);
    head += ": ";
    head += SevenBitHeaderText(value);
    head += "\r\n";
  }
  head += "\r\n";
  return head;
}

int StatusCodeOf(std::string_view statusLine) {
  size_t blank = statusLine.find(' ');
  if (blank == std::string_view::npos) return -1;
  std::string_view token = statusLine.substr(blank + 1);
  token = token.substr(0, token.find(' '));
  if (token.empty() || token.size() > 9) return -1;
  int code = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}

void DeriveHeadFields(HttpResponseHead& head) {
  head.code = StatusCodeOf(head.statusLine);
  head.http10 = StartsWithNoCase(head.statusLine, "HTTP/1.0");
  std::string contentType = HeaderValue(head.headers, "Content-Type");
  std::string_view ct = contentType;
  size_t semi = ct.find(';');
  head.mediaType = std::string(Trim(ct.substr(0, semi), kSpaceTab));
  head.charSet.clear();
  head.boundary.clear();
  while (semi != std::string_view::npos) {
    std::string_view rest = ct.substr(semi + 1);
    size_t next = rest.find(';');
    std::string_view param = rest.substr(0, next);
    size_t eq = param.find('=');
    if (eq != std::string_view::npos) {
      std::string_view name = Trim(param.substr(0, eq), kSpaceTab);
      if (EqualsNoCase(name, "charset")) head.charSet = Unquote(param.substr(eq + 1));
      if (EqualsNoCase(name, "boundary")) head.boundary = Unquote(param.substr(eq + 1));
    }
    semi = next == std::string_view::npos ? next : semi + 1 + next;
  }
  head.connection = std::string(Trim(HeaderValue(head.headers, "Connection"), kSpaceTab));
  head.location = HeaderValue(head.headers, "Location");
  head.contentLength = -1;
  head.contentLengthError.clear();
  for (const auto& [name, value] : head.headers) {
    if (!EqualsNoCase(name, "Content-Length")) continue;
    std::string_view length = Trim(value, kSpaceTab);
    if (length.empty() || length.size() > 18 ||
        !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      head.contentLength = -1;
      head.contentLengthError = "Invalid Content-Length.";
      break;
    }
    int64_t parsed = std::stoll(std::string(length));
    if (head.contentLength >= 0 && parsed != head.contentLength) {
      head.contentLength = -1;
      head.contentLengthError = "Conflicting Content-Length values.";
      break;
    }
    head.contentLength = parsed;
  }
  head.chunked =
      LowerAscii(HeaderValue(head.headers, "Transfer-Encoding")).find("chunked") != std::string::npos;
}

}  // namespace velmora
