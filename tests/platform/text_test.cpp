#include "platform/Text.h"

#include <gtest/gtest.h>

#include "platform/CodePage.h"
#include "platform/Iconv.h"
#include "platform/Locale.h"

namespace velmora {
namespace {

TEST(Text, TrimWithTheCallersBlankSet) {
  const struct {
    const char* name;
    std::string text;
    std::string_view blanks;
    std::string trimmed, left, right;
  } cases[] = {
      {"space and tab", " \t a b \t ", kSpaceTab, "a b", "a b \t ", " \t a b"},
      {"vertical tab is no header blank", "\va\v", kSpaceTab, "\va\v", "\va\v", "\va\v"},
      {"profile blanks", "\v\f a \t\f", kSpaceTabVtFf, "a", "a \t\f", "\v\f a"},
      {"line ends are no profile blanks", "\ra\n", kSpaceTabVtFf, "\ra\n", "\ra\n", "\ra\n"},
      {"controls and NUL", std::string("\0\r\n a\x01", 6), kControlsAndSpace, "a", "a\x01",
       std::string("\0\r\n a", 5)},
      {"DEL and bytes above are kept", "\x7F a \xA0", kControlsAndSpace, "\x7F a \xA0", "\x7F a \xA0",
       "\x7F a \xA0"},
      {"all blank", " \t ", kSpaceTab, "", "", ""},
      {"empty", "", kSpaceTab, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Trim(c.text, c.blanks), c.trimmed);
    EXPECT_EQ(TrimLeft(c.text, c.blanks), c.left);
    EXPECT_EQ(TrimRight(c.text, c.blanks), c.right);
  }
}

TEST(Text, AsciiCaseInsensitiveComparison) {
  EXPECT_TRUE(EqualsNoCase("Keep-Alive", "keep-ALIVE"));
  EXPECT_TRUE(EqualsNoCase("", ""));
  EXPECT_FALSE(EqualsNoCase("close", "closed"));
  EXPECT_FALSE(EqualsNoCase("@", "`"));            // one apart from 'A' and 'a', not letters
  EXPECT_FALSE(EqualsNoCase("\u00C9", "\u00E9"));  // only ASCII letters fold
  EXPECT_TRUE(StartsWithNoCase("Text/HTML", "text"));
  EXPECT_TRUE(StartsWithNoCase("http/1.0 200", "HTTP/1.0"));
  EXPECT_FALSE(StartsWithNoCase("tex", "text"));
  EXPECT_EQ(LowerAscii("IMG_01.JPG \u00C9"), "img_01.jpg \u00C9");
}

// The decoder's table of well-formed and ill-formed sequences: its length
// and code point, or 0.
TEST(Text, OneStrictUtf8Decoder) {
  const struct {
    const char* name;
    std::string bytes;
    size_t length;
    char32_t cp;
  } cases[] = {
      {"ASCII", "A", 1, U'A'},
      {"two bytes", "\xC3\xA9", 2, U'\u00E9'},
      {"three bytes", "\xE2\x82\xAC", 3, U'\u20AC'},
      {"four bytes", "\xF0\x9F\x98\x80", 4, U'\U0001F600'},
      {"highest", "\xF4\x8F\xBF\xBF", 4, U'\U0010FFFF'},
      {"overlong two bytes", "\xC1\xBF", 0, 0},
      {"overlong three bytes", "\xE0\x9F\xBF", 0, 0},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", 0, 0},
      {"surrogate", "\xED\xA0\x80", 0, 0},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 0},
      {"lead F5", "\xF5\x80\x80\x80", 0, 0},
      {"stray continuation", "\x80", 0, 0},
      {"cut off", "\xE2\x82", 0, 0},
      {"bad continuation", "\xC3(", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char32_t cp = 0;
    EXPECT_EQ(DecodeUtf8At(c.bytes, 0, cp), c.length);
    if (c.length != 0) {
      EXPECT_EQ(cp, c.cp);
    }
    if (static_cast<unsigned char>(c.bytes[0]) >= 0x80) {
      EXPECT_EQ(Utf8SequenceLength(c.bytes.data(), c.bytes.data() + c.bytes.size()), c.length);
    }
  }
  char32_t cp = 0;
  EXPECT_EQ(DecodeUtf8At("ab", 2, cp), 0u);  // past the end
}

TEST(Text, CaseFoldRules) {
  const CasingLocale neutral("C.UTF-8");
  EXPECT_EQ(FoldCase("\u00C9t\u00E9 ABC", neutral, LetterCase::Upper), "\u00C9T\u00C9 ABC");
  EXPECT_EQ(FoldCase("\u00C9t\u00E9 ABC", neutral, LetterCase::Lower), "\u00E9t\u00E9 abc");
  // Nothing outside ASCII folds into ASCII, in either direction.
  EXPECT_EQ(FoldCase("\u212A", neutral, LetterCase::Lower), "\u212A");
  EXPECT_EQ(FoldCase("\u0131", neutral, LetterCase::Upper), "\u0131");
  // Bytes that are not UTF-8 stay as they are.
  EXPECT_EQ(FoldCase("a\xFF\xC3z", neutral, LetterCase::Upper), "A\xFF\xC3Z");
  CasingLocale turkish("tr_TR.UTF-8");
  locale_t probe = ::newlocale(LC_CTYPE_MASK, "tr_TR.UTF-8", nullptr);
  if (probe) {
    ::freelocale(probe);
    EXPECT_EQ(FoldCase("i", turkish, LetterCase::Upper), "\u0130");
    EXPECT_EQ(FoldCase("i", turkish, LetterCase::Upper, AsciiLetters::Plain), "I");
    EXPECT_EQ(FoldCase("\u00E7", turkish, LetterCase::Upper, AsciiLetters::Plain), "\u00C7");
  }
  CasingLocale moved = std::move(turkish);
  EXPECT_EQ(turkish.Handle(), nullptr);
  EXPECT_EQ(FoldCase("Ab", turkish, LetterCase::Lower), "Ab");  // no locale: unchanged
  EXPECT_NE(moved.Handle(), nullptr);
}

TEST(Iconv, ConvertsAndReportsWhereItStopped) {
  Iconv latin1("UTF-8", "ISO-8859-1");
  ASSERT_TRUE(latin1.Ok());
  std::string out;
  std::string_view in = "caf\xE9";
  EXPECT_EQ(latin1.Convert(in, out), 0);
  EXPECT_TRUE(in.empty());
  EXPECT_EQ(out, "caf\u00E9");

  Iconv toAscii("US-ASCII", "UTF-8");
  ASSERT_TRUE(toAscii.Ok());
  out.clear();
  in = "ab\u00E9cd";
  EXPECT_EQ(toAscii.Convert(in, out), EILSEQ);
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(in, "\u00E9cd");  // stopped at the character ASCII cannot hold

  Iconv fromUtf8("UTF-16LE", "UTF-8");
  out.clear();
  in = "x\xE2\x82";  // cut off after two of three bytes
  EXPECT_EQ(fromUtf8.Convert(in, out), EINVAL);
  EXPECT_EQ(out, std::string("x\0", 2));
  EXPECT_EQ(in, "\xE2\x82");

  // A long text goes through in several pieces of the internal buffer.
  std::string big(100000, 'a');
  out.clear();
  in = big;
  EXPECT_EQ(latin1.Convert(in, out), 0);
  EXPECT_EQ(out, big);
}

TEST(Iconv, StatefulEncodingIsFinished) {
  Iconv jis("ISO-2022-JP", "UTF-8");
  ASSERT_TRUE(jis.Ok());
  std::string out;
  std::string_view in = "\u65E5";
  EXPECT_EQ(jis.Convert(in, out), 0);
  jis.Finish(out);
  EXPECT_EQ(out, "\x1B$BF|\x1B(B");  // shift in, the character, shift back to ASCII
}

TEST(Iconv, UnknownCharsetIsNotOk) {
  Iconv none("UTF-8", "X-VELMORA-NONE");
  EXPECT_FALSE(none.Ok());
  std::string out;
  std::string_view in = "abc";
  EXPECT_NE(none.Convert(in, out), 0);
  EXPECT_EQ(in, "abc");
  Iconv moved = std::move(none);
  EXPECT_FALSE(moved.Ok());
  Iconv good("UTF-8", "UTF-8");
  moved = std::move(good);
  EXPECT_TRUE(moved.Ok());
  EXPECT_FALSE(good.Ok());
}

}  // namespace
}  // namespace velmora
