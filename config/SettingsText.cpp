#include "config/SettingsText.h"

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/Locale.h"
#include "platform/Text.h"

namespace velmora {
namespace {

// Settings text treats every control character as blank.
constexpr std::string_view kBlanks = kControlsAndSpace;

// Names are compared upper-cased by the user's locale, ASCII letters by
// their plain rules. "C" and "POSIX" case only ASCII; the texts are UTF-8, so
// they get the Unicode rules of C.UTF-8 instead.
const CasingLocale& NameLocale() {
  static const CasingLocale locale = [] {
    std::string name = EnvironmentLocaleName();
    bool plain = name.empty() || name == "C" || name == "POSIX";
    return CasingLocale(plain ? "C.UTF-8" : name);
  }();
  return locale;
}

std::string UpperCaseName(std::string_view text) {
  return FoldCase(text, NameLocale(), LetterCase::Upper, AsciiLetters::Plain);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

bool SameSettingsName(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return UpperCaseName(a) == UpperCaseName(b);
}

SettingsText SettingsText::Parse(std::string_view text) {
  SettingsText result;
  SettingsSection* current = nullptr;  // null before the first header and under a repeated one
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    size_t next;
    if (end == std::string_view::npos) {
      end = text.size();
      next = end;
    } else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
      next = end + 2;
    } else {
      next = end + 1;
    }
    std::string_view line = Trim(text.substr(pos, end - pos), kBlanks);
    pos = next;

    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      std::string_view name = Trim(line.substr(1, line.size() - 2), kBlanks);
      if (result.FindSection(name)) {
        current = nullptr;
      } else {
        result.sections_.push_back(SettingsSection{std::string(name), {}});
        current = &result.sections_.back();
      }
      continue;
    }
    if (!current) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->entries.push_back(SettingsEntry{std::string(line), std::string(), false});
    } else {
      current->entries.push_back(SettingsEntry{std::string(TrimRight(line.substr(0, eq), kBlanks)),
                                               std::string(TrimLeft(line.substr(eq + 1), kBlanks)), true});
    }
  }
  return result;
}

std::string SettingsText::Render() const {
  std::string out;
  for (const SettingsSection& section : sections_) {
    out += '[';
    out += section.name;
    out += "]\r\n";
    for (const SettingsEntry& entry : section.entries) {
      out += entry.key;
      if (entry.hasValue) {
        out += '=';
        out += entry.value;
      }
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

std::vector<std::string> SettingsText::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(sections_.size());
  for (const SettingsSection& section : sections_) names.push_back(section.name);
  return names;
}

SettingsSection* SettingsText::FindSection(std::string_view name) {
  for (SettingsSection& section : sections_)
    if (SameSettingsName(section.name, name)) return &section;
  return nullptr;
}

const SettingsSection* SettingsText::FindSection(std::string_view name) const {
  for (const SettingsSection& section : sections_)
    if (SameSettingsName(section.name, name)) return &section;
  return nullptr;
}

std::optional<std::string> SettingsText::Find(std::string_view section, std::string_view key) const {
  const SettingsSection* found = FindSection(section);
  if (!found) return std::nullopt;
  for (const SettingsEntry& entry : found->entries)
    if (entry.hasValue && SameSettingsName(entry.key, key)) return entry.value;
  return std::nullopt;
}

std::string SettingsText::ReadString(std::string_view section, std::string_view key,
                                     std::string_view defaultValue) const {
  std::optional<std::string> value = Find(section, key);
  return value ? *value : std::string(defaultValue);
}

std::string SettingsText::CheckWritable(std::string_view section, std::string_view key,
                                        std::string_view value) {
  if (HasLineBreak(section)) return "the section name holds a line break";
  if (Trim(section, kBlanks).size() != section.size()) return "the section name begins or ends with a blank";
  if (key.empty()) return "the key is empty";
  if (HasLineBreak(key)) return "the key holds a line break";
  if (Trim(key, kBlanks).size() != key.size()) return "the key begins or ends with a blank";
  if (key.find('=') != std::string_view::npos) return "the key holds \"=\"";
  if (key.front() == ';' || key.front() == '[') return "the key begins with \";\" or \"[\"";
  if (HasLineBreak(value)) return "the value holds a line break";
  return {};
}

void SettingsText::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  std::string problem = CheckWritable(section, key, value);
  if (!problem.empty())
    throw EIniFileException("Cannot store setting \"" + std::string(key) + "\" in section \"" +
                            std::string(section) + "\": " + problem);
  SettingsSection* target = FindSection(section);
  if (!target) {
    sections_.push_back(SettingsSection{std::string(section), {}});
    target = &sections_.back();
  }
  for (SettingsEntry& entry : target->entries) {
    if (entry.hasValue && SameSettingsName(entry.key, key)) {
      entry.value = std::string(value);
      return;
    }
  }
  target->entries.push_back(SettingsEntry{std::string(key), std::string(value), true});
}

}  // namespace velmora
