#include "transport/HttpBodyCharset.h"

#include <algorithm>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/Iconv.h"
#include "platform/Text.h"

namespace velmora {

namespace {

bool IsXmlMediaType(std::string_view mediaType) {
  std::string m = LowerAscii(mediaType);
  return m == "text/xml" || m == "application/xml" || m == "text/xml-external-parsed-entity" ||
         m == "application/xml-external-parsed-entity" || m == "application/xml-dtd" ||
         (m.size() > 4 && m.compare(m.size() - 4, 4, "+xml") == 0);
}

bool IsHtmlMediaType(std::string_view mediaType) {
  std::string m = LowerAscii(mediaType);
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
  std::string head = LowerAscii(bytes.substr(0, 1024));
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
  std::string decl = LowerAscii(bytes.substr(0, end));
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

bool DecodeCharset(std::string_view bytes, std::string_view charset, std::string& out) {
  if (!PlausibleCharsetName(charset)) return false;
  Iconv cd("UTF-8", std::string(charset));
  if (!cd.Ok()) return false;
  out.clear();
  out.reserve(bytes.size() + bytes.size() / 4 + 16);
  std::string_view in = bytes;
  while (!in.empty()) {
    if (cd.Convert(in, out) == 0) break;
    // An invalid or incomplete sequence: one replacement character, then on.
    out += "\xEF\xBF\xBD";
    in.remove_prefix(1);
    cd.Reset();
  }
  // A stateful encoding's closing sequence.
  cd.Finish(out);
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
