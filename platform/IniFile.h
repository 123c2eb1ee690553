// An INI-file object bound to one path (TIniFile): every read and write goes
// to the file at once through the profile functions of Profile.h, so it
// holds no state besides its path and may be kept or released freely.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const noexcept { return fileName_; }

  // The value of `key` in `section` by the profile rules; `defaultValue`
  // when the file, section or key is absent. Never raises.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // The value read as an integer (decimal, or hexadecimal after "0x");
  // `defaultValue` when absent or not an integer. Never raises.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t defaultValue) const;
  // The key=value lines of `section` in file order. Never raises.
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(const std::string& section) const;

  // Sets `key` in `section` (file and section created when missing). Raises
  // EIniFileException "Unable to write to %s" when the file cannot be written.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);

 private:
  std::string fileName_;
};

// Reads `text` as an integer the way the INI reader does: an optional sign
// and decimal digits, or "0x"/"0X" followed by up to 8 hexadecimal digits
// (the 32 bits taken as a signed value), with nothing else around. False
// when it is not such a text or the decimal value does not fit in 32 bits.
bool ParseIniInteger(const std::string& text, int32_t& value);

}  // namespace velmora
