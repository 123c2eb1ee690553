// Console lines, time and run-time libraries.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/DynamicLibrary.h"
#include "platform/Exceptions.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

TEST(Console, WriteLineBytes) {
  std::string bytes = test::CaptureFd(1, [] {
    WriteLine("Manca parametro");
    WriteLine("");
    WriteLine("EIdSocketError: Socket Error # 10061\r\nConnection refused.");
    WriteLine("caff\u00E8 \xFF");
  });
  EXPECT_EQ(bytes,
            "Manca parametro\r\n\r\nEIdSocketError: Socket Error # 10061\r\nConnection refused.\r\n"
            "caff\u00E8 \xFF\r\n");
}

TEST(Console, RedirectNestsAndRestores) {
  std::vector<std::string> outer, inner;
  std::string bytes = test::CaptureFd(1, [&] {
    ConsoleRedirect a([&](std::string_view l) { outer.emplace_back(l); });
    WriteLine("one");
    {
      ConsoleRedirect b([&](std::string_view l) { inner.emplace_back(l); });
      WriteLine("two");
    }
    WriteLine("three");
  });
  EXPECT_EQ(outer, (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(inner, (std::vector<std::string>{"two"}));
  EXPECT_EQ(bytes, "");
}

TEST(Console, OutsideTextStaysOnOneLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string oneLine;
    std::string keepingCrLf;
  };
  const Case cases[] = {
      {"plain text", "1 files uploaded", "1 files uploaded", "1 files uploaded"},
      {"CR LF, NUL", std::string("ok\0after\r\nINJ", 13), "ok after  INJ", "ok after\r\nINJ"},
      {"lone CR and lone LF", "a\rb\nc", "a b c", "a b c"},
      {"LF CR is no pair", "a\n\rb", "a  b", "a  b"},
      {"TAB stays", "a\tb", "a\tb", "a\tb"},
      {"other C0 controls and DEL", "\x01\x1b[2J\x7f", "  [2J ", "  [2J "},
      {"NEL and other C1 controls", "a\u0085b\u009bc", "a b c", "a b c"},
      {"line and paragraph separators", "a\u2028b\u2029c", "a b c", "a b c"},
      {"other characters stay", "caff\u00E8 \u20AC \u2027", "caff\u00E8 \u20AC \u2027",
       "caff\u00E8 \u20AC \u2027"},
      {"invalid UTF-8 stays", "\xFF\xC2", "\xFF\xC2", "\xFF\xC2"},
      {"CR at the end", "a\r", "a ", "a "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(OneLineText(c.text), c.oneLine);
    EXPECT_EQ(OneLineTextKeepingCrLf(c.text), c.keepingCrLf);
  }
}

TEST(Console, ReportMessageKeepsOnlyDocumentedLineBreaks) {
  // Documented to span lines: database, socket and TLS errors.
  EXPECT_EQ(ReportMessage(EIdSocketError("Socket Error # 10061\r\nConnection refused.", 10061)),
            "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(ReportMessage(EIBInterBaseError(std::string("Dynamic SQL Error\r\nToken unknown\n\0x", 35))),
            "Dynamic SQL Error\r\nToken unknown  x");
  EXPECT_EQ(ReportMessage(EIdOSSLConnectError("Error connecting with SSL.\r\nEOF")),
            "Error connecting with SSL.\r\nEOF");
  // A status line or any other message from outside: one line.
  EXPECT_EQ(ReportMessage(EIdHTTPProtocolException("HTTP/1.1 500 x\rTORNAVELO terminato", 500, "")),
            "HTTP/1.1 500 x TORNAVELO terminato");
  EXPECT_EQ(ReportMessage(EFOpenError("Cannot open file \"a\r\nb\".")), "Cannot open file \"a  b\".");
}

TEST(Clock, SleepLastsAtLeastTheTime) {
  uint64_t start = MonotonicNanoseconds();
  SleepMs(30);
  EXPECT_GE(MonotonicNanoseconds() - start, 30u * 1000000u);
  SleepMs(0);
}

TEST(Clock, LocalTimeFieldsInRange) {
  LocalDateTime t = NowLocal();
  EXPECT_GE(t.year, 2000);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
  EXPECT_TRUE(t.minute >= 0 && t.minute <= 59);
  EXPECT_TRUE(t.second >= 0 && t.second <= 60);
  EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
}

TEST(DynamicLibrary, MissingLibraryNamesTheFiles) {
  std::string error;
  DynamicLibrary lib = DynamicLibrary::Open({"libvelmora-none.so.9", "libvelmora-other.so"}, error);
  EXPECT_FALSE(lib.Loaded());
  EXPECT_NE(error.find("libvelmora-none.so.9"), std::string::npos) << error;
  EXPECT_NE(error.find("libvelmora-other.so"), std::string::npos) << error;
  EXPECT_EQ(lib.Symbol("anything"), nullptr);
}

TEST(DynamicLibrary, FirstThatOpensAndItsSymbols) {
  std::string error = "stale";
  DynamicLibrary lib = DynamicLibrary::Open({"libvelmora-none.so.9", "libm.so.6"}, error);
  ASSERT_TRUE(lib.Loaded()) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(lib.FileName(), "libm.so.6");
  auto cosine = reinterpret_cast<double (*)(double)>(lib.Symbol("cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(lib.Symbol("velmora_no_such_symbol"), nullptr);

  DynamicLibrary moved = std::move(lib);
  EXPECT_FALSE(lib.Loaded());
  EXPECT_TRUE(moved.Loaded());
  EXPECT_NE(moved.Symbol("cos"), nullptr);
}

}  // namespace
}  // namespace velmora
