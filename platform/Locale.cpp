#include "platform/Locale.h"

#include <wctype.h>

#include <cstdlib>

#include "platform/CodePage.h"

namespace velmora {
namespace {

locale_t OpenCtypeLocale(const std::string& name) {
  locale_t l = name.empty() ? nullptr : ::newlocale(LC_CTYPE_MASK, name.c_str(), nullptr);
  if (!l) l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (!l) l = ::newlocale(LC_CTYPE_MASK, "C", nullptr);
  return l;
}

char32_t FoldCharacter(char32_t cp, locale_t loc, LetterCase to, AsciiLetters ascii) {
  if (cp < 0x80 && ascii == AsciiLetters::Plain) {
    if (to == LetterCase::Lower && cp >= 'A' && cp <= 'Z') return cp + ('a' - 'A');
    if (to == LetterCase::Upper && cp >= 'a' && cp <= 'z') return cp - ('a' - 'A');
    return cp;
  }
  if (!loc) return cp;
  auto c = static_cast<wint_t>(cp);
  auto folded = static_cast<char32_t>(to == LetterCase::Lower ? ::towlower_l(c, loc) : ::towupper_l(c, loc));
  if (folded < 0x80 && cp >= 0x80) return cp;  // never fold outside ASCII into ASCII
  return folded;
}

}  // namespace

CasingLocale::CasingLocale(const std::string& name) : handle_(OpenCtypeLocale(name)) {}

CasingLocale::~CasingLocale() {
  if (handle_) ::freelocale(handle_);
}

CasingLocale::CasingLocale(CasingLocale&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

CasingLocale& CasingLocale::operator=(CasingLocale&& other) noexcept {
  if (this != &other) {
    if (handle_) ::freelocale(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

const CasingLocale& CasingLocale::User() {
  static const CasingLocale user(EnvironmentLocaleName());
  return user;
}

std::string FoldCase(std::string_view text, const CasingLocale& locale, LetterCase to, AsciiLetters ascii) {
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
    AppendUtf8(out, FoldCharacter(cp, locale.Handle(), to, ascii));
    i += len;
  }
  return out;
}

std::string EnvironmentLocaleName() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return {};
}

std::string LowerCaseUser(std::string_view text) {
  return FoldCase(text, CasingLocale::User(), LetterCase::Lower);
}

std::string LowerCaseInLocale(std::string_view text, const std::string& localeName) {
  return FoldCase(text, CasingLocale(localeName), LetterCase::Lower);
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
