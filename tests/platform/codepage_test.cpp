#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

// Windows-1252 bytes 0x80..0x9F as Windows maps them (the five unassigned
// bytes become the C1 control characters of the same number).
const char* const kHighBytes[32] = {
    "\u20AC",   "\xC2\x81", "\u201A", "\u0192", "\u201E", "\u2026",   "\u2020", "\u2021",
    "\u02C6",   "\u2030",   "\u0160", "\u2039", "\u0152", "\xC2\x8D", "\u017D", "\xC2\x8F",
    "\xC2\x90", "\u2018",   "\u2019", "\u201C", "\u201D", "\u2022",   "\u2013", "\u2014",
    "\u02DC",   "\u2122",   "\u0161", "\u203A", "\u0153", "\xC2\x9D", "\u017E", "\u0178"};

// The UTF-8 form of a code point below 0x800, written out by hand.
std::string Utf8Of(unsigned cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  return {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
}

TEST(CodePage, AllBytesBothWays) {
  for (unsigned b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    std::string byte(1, static_cast<char>(b));
    std::string expected = (b >= 0x80 && b <= 0x9F) ? kHighBytes[b - 0x80] : Utf8Of(b);
    EXPECT_EQ(Cp1252ToUtf8(byte), expected);
    EXPECT_EQ(Utf8ToCp1252(expected), byte);
  }
}

TEST(CodePage, Utf8WithoutWindows1252Form) {
  const struct {
    const char* name;
    std::string utf8;
    std::string cp1252;
  } cases[] = {
      {"CJK", "a\u4E2Db", "a?b"},
      {"emoji", "\U0001F600", "?"},
      {"truncated sequence", "\xC3", "?"},
      {"stray continuation", "x\x80y", "x?y"},
      {"overlong", "\xC0\xAF", "??"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"mixed", "caf\u00E9 \u20AC5",
       "caf\xE9 \x80"
       "5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToCp1252(c.utf8), c.cp1252);
  }
}

TEST(CodePage, Validity) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain", true},
      {"\u00E9\u20AC\U0010FFFF", true},
      {"\xC3", false},
      {"\xC0\x80", false},          // overlong NUL
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", false},
      {"\xFF", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
  }
}

TEST(CodePage, RepairKeepsValidAndReadsTheRestAsWindows1252) {
  EXPECT_EQ(RepairUtf8("caf\u00E9"), "caf\u00E9");
  EXPECT_EQ(RepairUtf8("caf\xE9"), "caf\u00E9");
  EXPECT_EQ(RepairUtf8("\x80\xC3\xA8\xC3"), "\u20AC\u00E8\u00C3");
  EXPECT_TRUE(IsValidUtf8(RepairUtf8("\xFF\xFE\xED\xA0\x80")));
}

}  // namespace
}  // namespace velmora
