// Parses arbitrary bytes as a settings text and checks that rendering keeps
// every section and entry (parse -> render -> parse gives the same result, and
// the rendering is a fixed point). Input after the first NUL byte is a write:
// section, key and value separated by NUL bytes; when the write is allowed,
// the value must read back (trimmed of blanks, as the text stores it) and the
// other sections must stay as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/SettingsText.h"
#include "platform/Exceptions.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

std::string_view NextPart(std::string_view& rest) {
  size_t nul = rest.find('\0');
  std::string_view part = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view text = NextPart(input);
  bool hasWrite = !input.empty();
  std::string_view section = NextPart(input);
  std::string_view key = NextPart(input);
  std::string_view value = NextPart(input);

  velmora::SettingsText parsed = velmora::SettingsText::Parse(text);
  std::string rendered = parsed.Render();
  velmora::SettingsText again = velmora::SettingsText::Parse(rendered);
  Check(again.Sections() == parsed.Sections());
  Check(again.Render() == rendered);
  Check(parsed.Sections().empty() == rendered.empty());

  if (!hasWrite) return 0;
  bool allowed = velmora::SettingsText::CheckWritable(section, key, value).empty();
  try {
    parsed.WriteString(section, key, value);
    Check(allowed);
  } catch (const velmora::EIniFileException&) {
    Check(!allowed);
    Check(parsed.Render() == rendered);
    return 0;
  }
  velmora::SettingsText written = velmora::SettingsText::Parse(parsed.Render());
  Check(written.Render() == velmora::SettingsText::Parse(written.Render()).Render());
  auto found = written.Find(section, key);
  Check(found.has_value() && *found == Trim(value));
  // No section other than the one written changed, and none was lost.
  Check(written.Sections().size() >= again.Sections().size());
  for (size_t i = 0; i < again.Sections().size(); ++i) {
    if (velmora::SameSettingsName(again.Sections()[i].name, section)) continue;
    Check(written.Sections()[i] == again.Sections()[i]);
  }
  return 0;
}
