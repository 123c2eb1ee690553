// The per-user settings text: INI text kept in the user table, one section per
// company. SettingsText parses it into sections and entries, answers lookups,
// applies writes and renders the whole text back. Pure: no files, no
// database; every member works on UTF-8 text in memory.
//
// Parsing rules: a line ends at CR, at LF, or at CR LF (one break), so LF CR
// leaves an empty line behind. Each line loses every character of code 32 or
// below at both ends; empty lines and lines beginning with ";" are skipped.
// "[name]" opens a section (name trimmed likewise); a header whose name was
// seen before makes the lines up to the next header ignored. Lines before the
// first header are ignored. Any other line is an entry: the key is the text
// before the first "=" (blanks at its end dropped), the value the text after
// it (blanks at its start dropped); a line without "=" is a bare key, which
// reads as absent. Section and key names match without regard to letter case
// (upper-casing by the user's locale); a key's first entry in its section is
// the one that reads and writes see.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct SettingsEntry {
  std::string key;
  std::string value;
  bool hasValue = true;  // false for a bare key (a line without "=")

  bool operator==(const SettingsEntry&) const = default;
};

struct SettingsSection {
  std::string name;  // as first spelled
  std::vector<SettingsEntry> entries;

  bool operator==(const SettingsSection&) const = default;
};

class SettingsText {
 public:
  SettingsText() = default;

  // Parses `text` by the rules above. Never fails: any text gives some result.
  static SettingsText Parse(std::string_view text);

  // The whole text: for each section "[" name "]", its entries ("key=value",
  // or the bare key), then an empty line; every line ends with CR LF, the
  // last one too. No sections render as the empty text.
  std::string Render() const;

  // The sections in the order of their first appearance.
  const std::vector<SettingsSection>& Sections() const { return sections_; }
  // Their names, in that order, each as first spelled.
  std::vector<std::string> SectionNames() const;

  // The value of the first entry `key` (with "=") in `section`; nullopt when
  // the section or the key is absent.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // Find, or `defaultValue` when absent.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue = "") const;

  // Sets `key` in `section` to `value`: the first entry of that key is
  // replaced by its stored key + "=" + value; a missing key is appended to
  // its section; a missing section is appended after the others.
  // A key or value that the text cannot hold so that it reads back the same
  // (see CheckWritable) raises EIniFileException and changes nothing.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  // Empty when `key` = `value` can be stored in `section` and read back the
  // same; otherwise the reason it cannot: a line break in any of the three,
  // an empty key, a key with "=" or with blanks (code 32 or below) at either
  // end, a key beginning with ";" or "[", a section name with blanks at
  // either end. Blanks at the ends of a value are allowed but do not survive
  // a read (the line is trimmed).
  static std::string CheckWritable(std::string_view section, std::string_view key, std::string_view value);

 private:
  SettingsSection* FindSection(std::string_view name);
  const SettingsSection* FindSection(std::string_view name) const;

  std::vector<SettingsSection> sections_;
};

// True when `a` and `b` are the same name by the settings text's rules
// (upper-cased by the user's locale, character by character).
bool SameSettingsName(std::string_view a, std::string_view b);

}  // namespace velmora
