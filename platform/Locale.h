// The user's locale, read from the environment (LC_ALL, LC_CTYPE, LANG).
#pragma once

#include <string>
#include <string_view>

namespace velmora {

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
