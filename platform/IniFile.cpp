#include "platform/IniFile.h"

#include "platform/Profile.h"

namespace velmora {

bool ParseIniInteger(const std::string& text, int32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return false;
    uint32_t hex = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      char c = text[i];
      uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      hex = (hex << 4) | digit;
    }
    value = static_cast<int32_t>(hex);
    return true;
  }
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > int64_t{1} << 31) return false;
  }
  int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT32_MAX) return false;
  value = static_cast<int32_t>(signedValue);
  return true;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  return ReadProfileString(fileName_, section, key, defaultValue);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
  int32_t value = 0;
  return ParseIniInteger(ReadString(section, key, ""), value) ? value : defaultValue;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(
    const std::string& section) const {
  return ReadProfileSection(fileName_, section);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  WriteProfileString(fileName_, section, key, value);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

}  // namespace velmora
