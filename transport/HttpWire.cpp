#include "transport/HttpWire.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"

namespace velmora {

namespace {

constexpr size_t kReadPiece = 32768;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerText(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string Unquote(std::string_view s) {
  s = Trim(s);
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    s = s.substr(1, s.size() - 2);
  }
  return std::string(s);
}

// Length of the UTF-8 sequence starting at s[i], or 0 when it is invalid.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return len;
}

// Bytes as 7-bit text: a byte above 127 becomes U+FFFD.
std::string SevenBitFromBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) > 127) {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
  return out;
}

bool IsXmlMediaType(std::string_view mediaType) {
  std::string m = LowerText(mediaType);
  return m == "text/xml" || m == "application/xml" || m == "text/xml-external-parsed-entity" ||
         m == "application/xml-external-parsed-entity" || m == "application/xml-dtd" ||
         (m.size() > 4 && m.compare(m.size() - 4, 4, "+xml") == 0);
}

bool IsHtmlMediaType(std::string_view mediaType) {
  std::string m = LowerText(mediaType);
  return m == "text/html" || m == "application/xhtml+xml";
}

// The value after `key` up to a quote, blank, ";", ">" or "?" (for the
// charset named inside HTML or XML text).
std::string ValueAfter(std::string_view text, size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '"' || text[at] == '\'')) ++at;
  size_t end = at;
  while (end < text.size() && std::strchr("\"' ;>?/\t\r\n", text[end]) == nullptr) ++end;
  return std::string(text.substr(at, end - at));
}

// The charset named by a <meta> element in the first 1024 bytes.
std::string HtmlMetaCharset(std::string_view bytes) {
  std::string head = LowerText(bytes.substr(0, 1024));
  size_t pos = 0;
  while ((pos = head.find("<meta", pos)) != std::string::npos) {
    size_t end = head.find('>', pos);
    if (end == std::string::npos) end = head.size();
    size_t cs = head.find("charset=", pos);
    if (cs != std::string::npos && cs < end) return ValueAfter(head, cs + 8);
    pos = end;
  }
  return "";
}

// The encoding named by an XML declaration at the start of the text.
std::string XmlDeclarationCharset(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (bytes.substr(0, 5) != "<?xml") return "";
  size_t end = bytes.find("?>");
  if (end == std::string_view::npos || end > 1024) return "";
  std::string decl = LowerText(bytes.substr(0, end));
  size_t enc = decl.find("encoding");
  if (enc == std::string::npos) return "";
  size_t eq = decl.find('=', enc);
  if (eq == std::string::npos) return "";
  return ValueAfter(bytes.substr(0, end), eq + 1);
}

// A charset name fit to hand to iconv: no "//" suffixes or odd bytes.
bool PlausibleCharsetName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              std::strchr("-_.:+()", c) != nullptr;
    if (!ok) return false;
  }
  return true;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string HeaderValue(const HeaderList& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (EqualsNoCase(n, name)) return v;
  }
  return "";
}

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

std::string SevenBitHeaderText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    size_t len = Utf8SequenceLength(utf8, i);
    if (len == 1) {
      auto c = static_cast<unsigned char>(utf8[i]);
      out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    } else {
      out += '?';
    }
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
  head.mediaType = std::string(Trim(ct.substr(0, semi)));
  head.charSet.clear();
  head.boundary.clear();
  while (semi != std::string_view::npos) {
    std::string_view rest = ct.substr(semi + 1);
    size_t next = rest.find(';');
    std::string_view param = rest.substr(0, next);
    size_t eq = param.find('=');
    if (eq != std::string_view::npos) {
      std::string_view name = Trim(param.substr(0, eq));
      if (EqualsNoCase(name, "charset")) head.charSet = Unquote(param.substr(eq + 1));
      if (EqualsNoCase(name, "boundary")) head.boundary = Unquote(param.substr(eq + 1));
    }
    semi = next == std::string_view::npos ? next : semi + 1 + next;
  }
  head.connection = std::string(Trim(HeaderValue(head.headers, "Connection")));
  head.location = HeaderValue(head.headers, "Location");
  head.contentLength = -1;
  head.contentLengthError.clear();
  for (const auto& [name, value] : head.headers) {
    if (!EqualsNoCase(name, "Content-Length")) continue;
    std::string_view length = Trim(value);
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
      LowerText(HeaderValue(head.headers, "Transfer-Encoding")).find("chunked") != std::string::npos;
}

ResponseReader::ResponseReader(HttpStream& stream, ReaderLimits limits) : stream_(stream), limits_(limits) {}

bool ResponseReader::Fill() {
  if (position_ > 0) {
    buffer_.erase(0, position_);
    position_ = 0;
  }
  size_t old = buffer_.size();
  buffer_.resize(old + kReadPiece);
  size_t n = stream_.Read(buffer_.data() + old, kReadPiece);
  buffer_.resize(old + n);
  return n > 0;
}

bool ResponseReader::ReadRawLine(std::string& line, bool& endedByClose) {
  line.clear();
  endedByClose = false;
  size_t scanned = 0;
  for (;;) {
    size_t lf = buffer_.find('\n', position_ + scanned);
    if (lf != std::string::npos) {
      size_t end = lf;
      if (end > position_ && buffer_[end - 1] == '\r') --end;
      if (end - position_ > limits_.maxLineLength) {
        throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
      }
      line.assign(buffer_, position_, end - position_);
      position_ = lf + 1;
      return true;
    }
    scanned = buffer_.size() - position_;
    // One more byte may be the CR before the LF.
    if (scanned > limits_.maxLineLength + 1) {
      throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
    }
    if (!Fill()) {
      endedByClose = true;
      line.assign(buffer_, position_, std::string::npos);
      position_ = buffer_.size();
      return false;
    }
  }
}

std::string ResponseReader::ReadLine() {
  std::string line;
  bool closed = false;
  if (!ReadRawLine(line, closed)) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  return SevenBitFromBytes(line);
}

void ResponseReader::ThrowTooManyLines() const { throw EIdException("Too many header lines."); }

HttpResponseHead ResponseReader::ReadHead() {
  HttpResponseHead head;
  head.statusLine = ReadLine();
  // Every line counts, folded ones too, so no value can grow without bound.
  size_t lines = 0;
  for (;;) {
    std::string line = ReadLine();
    if (line.empty()) break;
    if (++lines > limits_.maxHeaderLines) ThrowTooManyLines();
    if ((line.front() == ' ' || line.front() == '\t') && !head.headers.empty()) {
      // A folded line continues the previous value.
      std::string& value = head.headers.back().second;
      value += ' ';
      value += Trim(line);
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      head.headers.emplace_back(std::string(Trim(line)), "");
    } else {
      head.headers.emplace_back(std::string(Trim(std::string_view(line).substr(0, colon))),
                                std::string(Trim(std::string_view(line).substr(colon + 1))));
    }
  }
  DeriveHeadFields(head);
  return head;
}

void ResponseReader::AppendBody(std::string& body, std::string_view bytes) {
  uint64_t need = static_cast<uint64_t>(body.size()) + bytes.size();
  if (need > limits_.maxBodyBytes) throw EIdException("Response body too large.");
  if (need > body.capacity()) {
    // Doubling, but from half the cap straight to the cap: a move to a larger
    // buffer then holds at most cap bytes in all (the old buffer and the
    // copied part of the new one), and no buffer is ever larger than the cap.
    uint64_t cap = limits_.maxBodyBytes;
    uint64_t next = std::max<uint64_t>(need, 2 * static_cast<uint64_t>(body.capacity()));
    if (next > cap / 2) next = std::max(cap, need);
    body.reserve(static_cast<size_t>(next));
  }
  body.append(bytes);
}

bool ResponseReader::ReadExact(std::string& body, uint64_t count) {
  while (count > 0) {
    if (position_ == buffer_.size() && !Fill()) return false;
    size_t take = static_cast<size_t>(std::min<uint64_t>(count, buffer_.size() - position_));
    AppendBody(body, std::string_view(buffer_).substr(position_, take));
    position_ += take;
    count -= take;
  }
  return true;
}

void ResponseReader::ReadUntilClose(std::string& body) {
  for (;;) {
    if (position_ < buffer_.size()) {
      AppendBody(body, std::string_view(buffer_).substr(position_));
      position_ = buffer_.size();
    }
    if (!Fill()) return;
  }
}

void ResponseReader::ReadChunked(HttpResponseHead& head, std::string& body, bool tolerateClose) {
  std::string line;
  bool closed = false;
  auto closedEarly = [&]() {
    peerClosed_ = true;
    if (!tolerateClose) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
  };
  for (;;) {
    if (!ReadRawLine(line, closed)) return closedEarly();
    std::string_view size = line;
    size = Trim(size.substr(0, size.find(';')));
    // A size that is no hexadecimal number, or too large for 64 bits, counts as 0.
    uint64_t chunk = 0;
    bool valid = !size.empty() && size.size() <= 15;
    for (char c : size) {
      int digit = (c >= '0' && c <= '9')   ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : -1;
      if (digit < 0) valid = false;
      if (valid) chunk = chunk * 16 + static_cast<uint64_t>(digit);
    }
    if (!valid) chunk = 0;
    if (chunk == 0) break;
    if (!ReadExact(body, chunk)) return closedEarly();
    if (!ReadRawLine(line, closed)) return closedEarly();
  }
  // Trailer lines up to the empty line join the answer's headers. The body
  // is complete here, so a peer that hangs up instead of ending the trailer
  // loses nothing.
  size_t trailers = 0;
  for (;;) {
    if (!ReadRawLine(line, closed)) {
      peerClosed_ = true;
      return;
    }
    if (line.empty()) break;
    if (++trailers > limits_.maxHeaderLines) ThrowTooManyLines();
    std::string text = SevenBitFromBytes(line);
    size_t colon = text.find(':');
    if (colon == std::string::npos) continue;
    head.headers.emplace_back(std::string(Trim(std::string_view(text).substr(0, colon))),
                              std::string(Trim(std::string_view(text).substr(colon + 1))));
  }
}

void ResponseReader::ReadMultipart(const HttpResponseHead& head, std::string& body) {
  std::string closing = "--" + head.boundary + "--";
  std::string line;
  bool closed = false;
  for (;;) {
    if (!ReadRawLine(line, closed)) {
      peerClosed_ = true;
      AppendBody(body, line);
      throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    AppendBody(body, line);
    AppendBody(body, "\r\n");
    if (line == closing) return;
  }
}

std::string ResponseReader::ReadBody(HttpResponseHead& head, bool tolerateClose) {
  peerClosed_ = false;
  std::string body;
  if ((head.code >= 100 && head.code <= 199) || head.code == 204 || head.code == 304) return body;
  // An answer whose length cannot be told for sure is not read at all.
  if (!head.contentLengthError.empty()) {
    peerClosed_ = true;
    throw EIdException(head.contentLengthError);
  }
  if (head.chunked) {
    ReadChunked(head, body, tolerateClose);
  } else if (head.contentLength >= 0) {
    // The whole announced body at once, within the cap: no copy while it grows.
    body.reserve(static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(head.contentLength), limits_.maxBodyBytes)));
    if (!ReadExact(body, static_cast<uint64_t>(head.contentLength))) peerClosed_ = true;
  } else if (StartsWithNoCase(head.mediaType, "multipart") && !head.boundary.empty()) {
    try {
      ReadMultipart(head, body);
    } catch (const EIdConnClosedGracefully&) {
      if (!tolerateClose) throw;
    }
  } else {
    ReadUntilClose(body);
    peerClosed_ = true;
  }
  return body;
}

bool DecodeCharset(std::string_view bytes, std::string_view charset, std::string& out) {
  if (!PlausibleCharsetName(charset)) return false;
  iconv_t cd = ::iconv_open("UTF-8", std::string(charset).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  // Closed on every path, an allocation failure included.
  struct Closer {
    iconv_t cd;
    ~Closer() { ::iconv_close(cd); }
  } closer{cd};
  out.clear();
  out.reserve(bytes.size() + bytes.size() / 4 + 16);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char piece[16384];
  while (inLeft > 0) {
    char* outPtr = piece;
    size_t outLeft = sizeof(piece);
    size_t r = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(piece, static_cast<size_t>(outPtr - piece));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // An invalid or incomplete sequence: one replacement character, then on.
      out += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  // Flush a stateful encoding's closing sequence.
  char* outPtr = piece;
  size_t outLeft = sizeof(piece);
  ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(piece, static_cast<size_t>(outPtr - piece));
  return true;
}

namespace {

// The charset DecodeBody applies to `bytes` ("" for byte for byte).
std::string BodyCharset(std::string_view bytes, const HttpResponseHead& head) {
  std::string charset = head.charSet;
  if (charset.empty() && IsHtmlMediaType(head.mediaType)) charset = HtmlMetaCharset(bytes);
  if (charset.empty() && IsXmlMediaType(head.mediaType)) charset = XmlDeclarationCharset(bytes);
  // The defaults belong to text/* types only (US-ASCII for text/xml and its
  // kin); any other type without a charset is read byte for byte.
  if (charset.empty() && StartsWithNoCase(head.mediaType, "text")) {
    charset = IsXmlMediaType(head.mediaType) ? "US-ASCII" : "ISO-8859-1";
  }
  return charset;
}

// True when decoding `bytes` by `charset` gives the same bytes: every byte
// ASCII and the charset (or byte for byte) maps ASCII to itself, or valid
// UTF-8 named as UTF-8.
bool DecodesToItself(std::string_view bytes, const std::string& charset) {
  if (EqualsNoCase(charset, "utf-8") || EqualsNoCase(charset, "utf8")) return IsValidUtf8(bytes);
  bool asciiName = charset.empty() || EqualsNoCase(charset, "iso-8859-1") ||
                   EqualsNoCase(charset, "latin1") || EqualsNoCase(charset, "us-ascii") ||
                   EqualsNoCase(charset, "windows-1252") || EqualsNoCase(charset, "cp1252");
  return asciiName &&
         std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string DecodeBody(std::string_view bytes, const HttpResponseHead& head) {
  std::string charset = BodyCharset(bytes, head);
  std::string out;
  if (!charset.empty() && DecodeCharset(bytes, charset, out)) return out;
  return Latin1ToUtf8(bytes);
}

std::string DecodeBody(std::string&& bytes, const HttpResponseHead& head) {
  // The usual JSON answer is its own text: no second copy of a large body.
  if (DecodesToItself(bytes, BodyCharset(bytes, head))) return std::move(bytes);
  return DecodeBody(std::string_view(bytes), head);
}

}  // namespace velmora
