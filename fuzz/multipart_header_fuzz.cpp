// Feeds arbitrary field names, file names and media types to the part header
// builder and checks that the header block keeps its shape: printable ASCII,
// names never leave their quotation marks, and no line is added or broken
// except the CR LF blank joints between encoded-words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/Multipart.h"

namespace {

const char* const kCharsets[] = {"UTF-8",   "GB2312", "Big5",        "ISO-2022-JP",
                                 "csEUCKR", "KOI8-R", "windows-1251"};

void Check(bool ok) {
  if (!ok) std::abort();
}

// Printable ASCII or tab (blanks are copied as they are), with CR only in a
// "\r\n " joint.
void CheckEncodedName(const std::string& encoded) {
  for (size_t i = 0; i < encoded.size(); ++i) {
    auto c = static_cast<unsigned char>(encoded[i]);
    if (c == '\r') {
      Check(encoded.compare(i, 3, "\r\n ") == 0);
      i += 2;
      continue;
    }
    Check((c == '\t' || (c >= 32 && c <= 126)) && c != '"');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* charset = kCharsets[data[0] % (sizeof kCharsets / sizeof kCharsets[0])];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  // Three texts separated by NUL bytes: field name, file name, media type.
  size_t a = rest.find('\0');
  std::string_view field = rest.substr(0, a);
  std::string_view file = a == std::string_view::npos ? std::string_view{} : rest.substr(a + 1);
  size_t b = file.find('\0');
  std::string_view type = b == std::string_view::npos ? std::string_view{} : file.substr(b + 1);
  file = file.substr(0, b);

  std::string encoded = velmora::EncodeHeaderName(field, charset);
  CheckEncodedName(encoded);

  velmora::PartContentType resolved = velmora::ResolvePartContentType(type, file);
  velmora::MultipartPartHeader part;
  part.fieldName = std::string(field);
  part.fileName = std::string(file);
  part.contentType = resolved.type;
  part.charset = resolved.charset;
  part.transferEncoding = "binary";
  part.headerCharset = charset;
  std::string header = velmora::FormatPartHeader("--------092612134501123", part);
  // Delimiter, Content-Disposition, Content-Type, Content-Transfer-Encoding,
  // empty line: five lines, each ending with CR LF not followed by a blank.
  size_t lines = 0;
  for (size_t i = header.find("\r\n"); i != std::string::npos; i = header.find("\r\n", i + 2)) {
    if (i + 2 < header.size() && header[i + 2] == ' ') continue;
    ++lines;
  }
  Check(lines == 5);
  Check(header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0);
  for (char ch : header) {
    auto c = static_cast<unsigned char>(ch);
    Check(c == '\r' || c == '\n' || c == '\t' || (c >= 32 && c != 127));
  }
  return 0;
}
