#include "platform/Locale.h"

#include <locale.h>
#include <wctype.h>

#include <cstdlib>

#include "platform/CodePage.h"

namespace velmora {
namespace {

// A ctype locale by name, falling back to the C.UTF-8 rules, then to C.
locale_t OpenCtypeLocale(const std::string& name) {
  locale_t l = name.empty() ? nullptr : ::newlocale(LC_CTYPE_MASK, name.c_str(), nullptr);
  if (!l) l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (!l) l = ::newlocale(LC_CTYPE_MASK, "C", nullptr);
  return l;
}

std::string LowerCaseWith(std::string_view text, locale_t loc) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    size_t len = DecodeUtf8At(text, i, cp);
    if (len == 0) {
      out.push_back(text[i]);
      ++i;
      continue;
    }
    char32_t lower = loc ? static_cast<char32_t>(::towlower_l(static_cast<wint_t>(cp), loc)) : cp;
    if (lower < 0x80 && cp >= 0x80) lower = cp;  // never fold outside ASCII into ASCII
    AppendUtf8(out, lower);
    i += len;
  }
  return out;
}

// The environment's ctype locale, opened once for the process.
locale_t UserLocale() {
  static locale_t loc = OpenCtypeLocale(EnvironmentLocaleName());
  return loc;
}

}  // namespace

std::string EnvironmentLocaleName() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return {};
}

std::string LowerCaseUser(std::string_view text) { return LowerCaseWith(text, UserLocale()); }

std::string LowerCaseInLocale(std::string_view text, const std::string& localeName) {
  locale_t loc = OpenCtypeLocale(localeName);
  std::string out = LowerCaseWith(text, loc);
  if (loc) ::freelocale(loc);
  return out;
}

PrimaryLanguage PrimaryLanguageOf(std::string_view name) {
  // language[_territory][.codeset][@modifier]
  size_t end = name.find_first_of("_.@-");
  std::string_view lang = name.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view{} : name.substr(end);
  std::string l;
  for (char c : lang) l.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
  if (l.empty() || l == "c" || l == "posix") return PrimaryLanguage::None;
  if (l == "zh") {
    if (rest.starts_with("_CN") || rest.starts_with("_SG") || rest.starts_with("-CN") ||
        rest.starts_with("-SG") || rest.find("Hans") != std::string_view::npos)
      return PrimaryLanguage::ChineseSimplified;
    return PrimaryLanguage::ChineseTraditional;
  }
  if (l == "ja") return PrimaryLanguage::Japanese;
  if (l == "ko") return PrimaryLanguage::Korean;
  if (l == "ru") return PrimaryLanguage::Russian;
  if (l == "uk") return PrimaryLanguage::Ukrainian;
  return PrimaryLanguage::Other;
}

}  // namespace velmora
