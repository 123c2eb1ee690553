#include "platform/Locale.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace velmora {
namespace {

bool LocaleInstalled(const char* name) {
  locale_t l = ::newlocale(LC_CTYPE_MASK, name, nullptr);
  if (l) ::freelocale(l);
  return l != nullptr;
}

TEST(Locale, LowerCasePerCharacter) {
  const struct {
    const char* locale;
    std::string text, lower;
  } cases[] = {
      {"C.UTF-8", "ABC xyz 123", "abc xyz 123"},
      {"C.UTF-8", "\u00C0\u00C9\u00CE\u00D5\u00DC \u0152", "\u00E0\u00E9\u00EE\u00F5\u00FC \u0153"},
      {"C.UTF-8", "\u03A9\u03A3\u0391 \u0416\u0418\u0412", "\u03C9\u03C3\u03B1 \u0436\u0438\u0432"},
      {"C.UTF-8", "\u212A", "\u212A"},  // Kelvin sign never becomes ASCII "k"
      {"C.UTF-8",
       "A\xFF\xC3"
       "B",
       "a\xFF\xC3"
       "b"},  // invalid bytes copied
      {"C.UTF-8", "IMG_0001.JPG", "img_0001.jpg"},
      {"it_IT.UTF-8", "FOTO \u00C8 PERCH\u00C9", "foto \u00E8 perch\u00E9"},
      {"tr_TR.UTF-8", "I", "\u0131"},
      {"no_SUCH.UTF-8", "\u00C9", "\u00E9"},  // falls back to the C.UTF-8 rules
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    if (std::string(c.locale) != "no_SUCH.UTF-8" && !LocaleInstalled(c.locale)) continue;
    EXPECT_EQ(LowerCaseInLocale(c.text, c.locale), c.lower);
  }
}

// LowerCaseUser opens the environment's locale once per process, so each
// environment is tried in a child process of its own.
std::optional<std::string> LowerInChild(const char* lcAll, const std::string& text) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::setenv("LC_ALL", lcAll, 1);
    std::string out = LowerCaseUser(text);
    ssize_t n = ::write(fds[1], out.data(), out.size());
    ::_exit(n == static_cast<ssize_t>(out.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

TEST(Locale, LowerCaseUserFollowsTheEnvironment) {
  EXPECT_EQ(LowerInChild("C.UTF-8", "\u00C9T\u00C9"), "\u00E9t\u00E9");
  // The plain C locale knows no letters beyond ASCII.
  EXPECT_EQ(LowerInChild("C", "\u00C9T\u00C9"), "\u00C9t\u00C9");
}

TEST(Locale, PrimaryLanguageOf) {
  const struct {
    const char* name;
    PrimaryLanguage language;
  } cases[] = {
      {"", PrimaryLanguage::None},
      {"C", PrimaryLanguage::None},
      {"C.UTF-8", PrimaryLanguage::None},
      {"POSIX", PrimaryLanguage::None},
      {"zh_CN.UTF-8", PrimaryLanguage::ChineseSimplified},
      {"zh_SG", PrimaryLanguage::ChineseSimplified},
      {"zh-Hans", PrimaryLanguage::ChineseSimplified},
      {"zh_TW.Big5", PrimaryLanguage::ChineseTraditional},
      {"zh_HK", PrimaryLanguage::ChineseTraditional},
      {"zh", PrimaryLanguage::ChineseTraditional},
      {"ja_JP.eucJP", PrimaryLanguage::Japanese},
      {"ko_KR", PrimaryLanguage::Korean},
      {"ru", PrimaryLanguage::Russian},
      {"RU_ru.KOI8-R", PrimaryLanguage::Russian},
      {"uk_UA@euro", PrimaryLanguage::Ukrainian},
      {"it_IT.UTF-8", PrimaryLanguage::Other},
      {"en_US", PrimaryLanguage::Other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PrimaryLanguageOf(c.name), c.language);
  }
}

// Sets or clears the locale variables for one test and restores them after.
class LocaleEnvironment {
 public:
  LocaleEnvironment() {
    for (const char* v : kVars) {
      const char* value = std::getenv(v);
      saved_.emplace_back(v, value ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(v);
    }
  }
  ~LocaleEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  static constexpr const char* kVars[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Locale, EnvironmentLocaleNameOrder) {
  LocaleEnvironment env;
  EXPECT_EQ(EnvironmentLocaleName(), "");
  ::setenv("LANG", "ru_RU.UTF-8", 1);
  EXPECT_EQ(EnvironmentLocaleName(), "ru_RU.UTF-8");
  ::setenv("LC_CTYPE", "ja_JP", 1);
  EXPECT_EQ(EnvironmentLocaleName(), "ja_JP");
  ::setenv("LC_ALL", "", 1);  // empty counts as unset
  EXPECT_EQ(EnvironmentLocaleName(), "ja_JP");
  ::setenv("LC_ALL", "zh_CN", 1);
  EXPECT_EQ(EnvironmentLocaleName(), "zh_CN");
}

}  // namespace
}  // namespace velmora
