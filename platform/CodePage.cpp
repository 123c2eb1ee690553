#include "platform/CodePage.h"

#include <array>

namespace velmora {
namespace {

// Code points of bytes 0x80..0x9F; the rest of Windows-1252 equals Latin-1.
constexpr std::array<char16_t, 32> kHigh = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t Cp1252CodePoint(unsigned char b) {
  if (b >= 0x80 && b <= 0x9F) return kHigh[b - 0x80];
  return b;
}

}  // namespace

size_t DecodeUtf8At(std::string_view text, size_t i, char32_t& cp) {
  if (i >= text.size()) return 0;
  const char* p = text.data() + i;
  auto b0 = static_cast<unsigned char>(p[0]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len = Utf8SequenceLength(p, text.data() + text.size());
  if (len == 0) return 0;
  static constexpr unsigned char kLeadBits[5] = {0, 0, 0x1F, 0x0F, 0x07};
  cp = b0 & kLeadBits[len];
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(p[k]) & 0x3F);
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) AppendUtf8(out, Cp1252CodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    size_t len = DecodeUtf8At(text, i, cp);
    if (len == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    i += len;
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    char mapped = '?';
    for (size_t k = 0; k < kHigh.size(); ++k) {
      if (kHigh[k] == cp) {
        mapped = static_cast<char>(0x80 + k);
        break;
      }
    }
    out.push_back(mapped);
  }
  return out;
}

std::string RepairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    size_t len = DecodeUtf8At(bytes, i, cp);
    if (len == 0) {
      AppendUtf8(out, Cp1252CodePoint(static_cast<unsigned char>(bytes[i])));
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp;
    size_t len = DecodeUtf8At(bytes, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace velmora
