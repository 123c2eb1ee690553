// The user's locale, read from the environment (LC_ALL, LC_CTYPE, LANG).
#pragma once

#include <locale.h>

#include <string>
#include <string_view>

namespace velmora {

// A ctype locale (the casing rules of one language), move-only.
class CasingLocale {
 public:
  // The named locale; when it is not installed (or the name is empty), the
  // C.UTF-8 rules, else the plain C rules.
  explicit CasingLocale(const std::string& name);
  ~CasingLocale();
  CasingLocale(CasingLocale&& other) noexcept;
  CasingLocale& operator=(CasingLocale&& other) noexcept;
  CasingLocale(const CasingLocale&) = delete;
  CasingLocale& operator=(const CasingLocale&) = delete;

  // The environment's locale (EnvironmentLocaleName()), opened once for the
  // process on first use.
  static const CasingLocale& User();

  // nullptr only when not even the C locale could be made; FoldCase then
  // leaves every character as it is.
  locale_t Handle() const noexcept { return handle_; }

 private:
  locale_t handle_ = nullptr;
};

enum class LetterCase { Lower, Upper };

// How the ASCII letters fold: by the locale (Turkish lower-cases "I" to the
// dotless U+0131), or always within A-Z / a-z (names that must compare alike
// in every language).
enum class AsciiLetters { ByLocale, Plain };

// The one case fold of the program: UTF-8 text folded one character at a
// time (towlower_l / towupper_l) with the rules of `locale`. A character
// outside ASCII is never folded into ASCII (the Kelvin sign does not become
// "k"), so names of different scripts never meet; bytes that are not
// well-formed UTF-8 are copied unchanged.
std::string FoldCase(std::string_view text, const CasingLocale& locale, LetterCase to,
                     AsciiLetters ascii = AsciiLetters::ByLocale);

// Lower-cases UTF-8 text one character at a time with the casing rules of the
// environment's locale (falls back to the C.UTF-8 rules when that locale is
// not installed). Invalid UTF-8 bytes are copied unchanged.
std::string LowerCaseUser(std::string_view text);

// LowerCaseUser with the rules of the named locale instead of the
// environment's (same fallback when it is not installed).
std::string LowerCaseInLocale(std::string_view text, const std::string& localeName);

// The primary language of the locale, as used to pick a header charset.
enum class PrimaryLanguage {
  None,  // no locale set, or "C"/"POSIX"
  ChineseSimplified,
  ChineseTraditional,
  Japanese,
  Korean,
  Russian,
  Ukrainian,
  Other,
};

// Parses a locale name such as "zh_CN.UTF-8", "ru", "uk_UA@euro" (pure).
// Chinese is simplified for zh_CN/zh_SG and script Hans, traditional otherwise.
PrimaryLanguage PrimaryLanguageOf(std::string_view localeName);

// The locale name of the environment: the first non-empty of LC_ALL,
// LC_CTYPE, LANG; empty when none is set.
std::string EnvironmentLocaleName();

}  // namespace velmora
