// Profile text: any bytes read without harm, a written value reads back by
// the reading rules, no other key changes, and writing again changes nothing.
//
// Input: section, key, value, a second section and key, separated by 0x1F,
// then the file text (the rest of the input, any bytes).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/Profile.h"

namespace {

using velmora::ProfileTextLookup;
using velmora::ProfileTextWrite;

// Stops the run at a broken promise, naming the line that caught it.
#define Check(ok) CheckAt((ok), __LINE__)
void CheckAt(bool ok, int line) {
  if (!ok) {
    std::fprintf(stderr, "profile_fuzz: check failed at line %d\n", line);
    std::abort();
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(std::string s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string FirstLine(const std::string& s) { return s.substr(0, s.find_first_of("\r\n")); }

size_t Utf16Units(const std::string& utf8) {
  size_t units = 0;
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    size_t len = velmora::DecodeUtf8At(utf8, i, cp);
    Check(len > 0);
    units += cp >= 0x10000 ? 2 : 1;
    i += len;
  }
  return units;
}

// What reading gives for a value stored as `stored` (UTF-8 as in the file).
std::string AsRead(const std::string& stored) {
  std::string v = Trim(stored);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  std::string out;
  size_t units = 0;
  for (size_t i = 0; i < v.size();) {
    char32_t cp = 0;
    size_t len = velmora::DecodeUtf8At(v, i, cp);
    Check(len > 0);
    units += cp >= 0x10000 ? 2 : 1;
    if (units > 2047) break;
    out.append(v, i, len);
    i += len;
  }
  return out;
}

// A name that a key line can hold and give back: no "=", and not read as a
// comment or a section header.
bool KeyFindable(const std::string& cleanKey) {
  if (cleanKey.find('=') != std::string::npos) return false;
  return cleanKey.empty() || (cleanKey.front() != ';' && cleanKey.front() != '[');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string fields[5];
  for (std::string& f : fields) {
    size_t sep = input.find('\x1F');
    if (sep == std::string_view::npos) return 0;
    f = std::string(input.substr(0, sep));
    input.remove_prefix(sep + 1);
  }
  const std::string text(input);
  const std::string& section = fields[0];
  const std::string& key = fields[1];
  const std::string& value = fields[2];
  const std::string kAbsent =
      "\x01"
      "absent";

  // Reading any bytes: valid UTF-8 of at most 2047 units, or the default.
  std::string before2 = ProfileTextLookup(text, fields[3], fields[4], kAbsent);
  Check(velmora::IsValidUtf8(before2) && Utf16Units(before2) <= 2047);

  std::string cleanSection = Trim(FirstLine(velmora::RepairUtf8(section)));
  std::string cleanKey = Trim(FirstLine(velmora::RepairUtf8(key)));
  std::string cleanValue = FirstLine(velmora::RepairUtf8(value));
  // A key no line can hold is refused, and nothing else is.
  std::string out;
  try {
    out = ProfileTextWrite(text, section, key, value);
  } catch (const velmora::EIniFileException&) {
    Check(!KeyFindable(cleanKey));
    return 0;
  }
  Check(KeyFindable(cleanKey));
  Check(ProfileTextWrite(out, section, key, value) == out);

  // The written value reads back, whatever the file's encoding.
  Check(ProfileTextLookup(out, section, key, kAbsent) == AsRead(cleanValue));

  // Any other key reads as before, unless it is the very key just written.
  std::string marked = ProfileTextWrite(text, section, key, "\x02mark");
  if (ProfileTextLookup(marked, fields[3], fields[4], kAbsent) != "\x02mark") {
    Check(ProfileTextLookup(out, fields[3], fields[4], kAbsent) == before2);
  }
  return 0;
}
