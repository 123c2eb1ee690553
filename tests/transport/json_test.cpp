#include "transport/Json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"

namespace velmora {
namespace {

const char kNone[] = "<none>";

std::string ParsedText(std::string_view text) {
  std::unique_ptr<TJSONValue> value = ParseJSONValue(text);
  return value ? value->ToString() : kNone;
}

std::string Nested(int depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

// --- parsing ----------------------------------------------------------------

struct ParseCase {
  std::string in;
  std::string out;  // the parsed tree written back, or kNone
};

TEST(JsonParse, AcceptedTextsGiveTheirTree) {
  const std::vector<ParseCase> cases = {
      {"{}", "{}"},
      {"[]", "[]"},
      {"{ }", "{}"},
      {"[\r\n]", "[]"},
      {" \t\r\n{ \"a\" : 1 , \"b\":[ true ,false,null ] } \r\n", "{\"a\":1,\"b\":[true,false,null]}"},
      {"{\"UID\":\"x\",\"UID\":\"y\"}", "{\"UID\":\"x\",\"UID\":\"y\"}"},
      {"[\"a\",{\"b\":{}},[[]]]", "[\"a\",{\"b\":{}},[[]]]"},
      {"{\"\":0}", "{\"\":0}"},
      // Root scalars, blanks before them allowed.
      {"\"abc\"", "\"abc\""},
      {" \n\"\"", "\"\""},
      {"true", "true"},
      {"false", "false"},
      {"null", "null"},
      // Numbers keep their text.
      {"12", "12"},
      {"0", "0"},
      {"-0", "-0"},
      {"1.50", "1.50"},
      {"-3e2", "-3e2"},
      {"1E+05", "1E+05"},
      {"0.5e-3", "0.5e-3"},
      {"[-12.0E-0]", "[-12.0E-0]"},
      // Byte-order mark.
      {"\xEF\xBB\xBF{}", "{}"},
      {"\xEF\xBB\xBF"
       "7",
       "7"},
      {"\xEF\xBB\xBF \"x\"", "\"x\""},
      // Trailing whitespace after a closing bracket or brace.
      {"{\"a\":1}\r\n", "{\"a\":1}"},
      {"[1,2] \t", "[1,2]"},
      // Escapes.
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""},
      {"\"\\u0041\\u00e9\\u20AC\"", "\"A\xC3\xA9\xE2\x82\xAC\""},
      {"\"\\uD83D\\uDE00\"", "\"\xF0\x9F\x98\x80\""},
      {"\"\\ud83d\\ude00x\"", "\"\xF0\x9F\x98\x80x\""},
      {"\"\\u0000\"", "\"\\u0000\""},
      {"\"\\u001F\\u007f\"", "\"\\u001f\x7F\""},
      // Lone surrogates survive and leave their neighbours intact.
      {"\"a\\uD800b\"", "\"a\\ud800b\""},
      {"\"\\uDC00\"", "\"\\udc00\""},
      {"\"\\uD800\\u0041\"", "\"\\ud800A\""},
      {"\"\\uD800\\uD800\\uDC00\"", "\"\\ud800\xF0\x90\x80\x80\""},
      {"\"\\uDE00\\uD83D\"", "\"\\ude00\\ud83d\""},
      {"\"\\uDBFF\\n\"", "\"\\udbff\\n\""},
      // Raw characters, control characters included, are taken as they are.
      {"\"a\tb\"", "\"a\\tb\""},
      {"\"\x01\x7F\"", "\"\\u0001\x7F\""},
      {"\"\xC3\xA8\xE2\x82\xAC\xF0\x9F\x98\x80\"", "\"\xC3\xA8\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"\"\xF4\x8F\xBF\xBF\xEF\xBF\xBD\"", "\"\xF4\x8F\xBF\xBF\xEF\xBF\xBD\""},
      // Long strings with the quotation mark, an escape or a multi-byte
      // character at every place within a group of eight bytes.
      {"\"1234567\"", "\"1234567\""},
      {"\"12345678\"", "\"12345678\""},
      {"\"123456789abcdefgh\"", "\"123456789abcdefgh\""},
      {"\"1234567\\n9abcdefg\\t\"", "\"1234567\\n9abcdefg\\t\""},
      {"\"12345678\\\"abcdefghijklmn\\\\\"", "\"12345678\\\"abcdefghijklmn\\\\\""},
      {"\"abcdefghi\xC3\xA9jklmnop\xE2\x82\xACqrstuvwxyz\xF0\x9F\x98\x80\"",
       "\"abcdefghi\xC3\xA9jklmnop\xE2\x82\xACqrstuvwxyz\xF0\x9F\x98\x80\""},
      {"{\"a long member name\":\"and its long value\"}", "{\"a long member name\":\"and its long value\"}"},
      // Siblings of different sizes at the same depth.
      {"[{\"a\":1,\"b\":2,\"c\":3},{\"d\":4},{},{\"e\":5,\"f\":6,\"g\":7,\"h\":8,\"i\":9},{\"j\":0}]",
       "[{\"a\":1,\"b\":2,\"c\":3},{\"d\":4},{},{\"e\":5,\"f\":6,\"g\":7,\"h\":8,\"i\":9},{\"j\":0}]"},
      {"[[1,2,3,4],[5],[6,7,8,9,10,11],[],[[12],[13,14,15]],[16]]",
       "[[1,2,3,4],[5],[6,7,8,9,10,11],[],[[12],[13,14,15]],[16]]"},
      {"{\"x\":[{\"a\":[1,2]},{\"b\":[3]}],\"y\":[{\"c\":[4,5,6],\"d\":7}]}",
       "{\"x\":[{\"a\":[1,2]},{\"b\":[3]}],\"y\":[{\"c\":[4,5,6],\"d\":7}]}"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ParsedText(c.in), c.out);
  }
}

TEST(JsonParse, RejectedTextsGiveNoValue) {
  const std::vector<std::string> cases = {
      "",
      " ",
      "\r\n",
      "\xEF\xBB\xBF",
      "\xEF\xBB",
      // Long strings: not closed, or a bad byte past the first group of eight.
      "\"abcdefghijklmnopqrstuvwxyz",
      "\"abcdefghijklmnopqrstuvwxyz\\",
      "\"abcdefghijk\xFFlmnop\"",
      "\"abcdefghijk\xC3",
      "\"abcdefghijk\\x12345678\"",
      // Trailing characters.
      "\"abc\" ",
      "1 ",
      "true\n",
      "null\r\n",
      "{} {}",
      "[] x",
      "[1]]",
      "1 2",
      "{}\f",
      // Commas and separators.
      "{\"a\":1,}",
      "[1,]",
      "[,1]",
      "{,}",
      "[1 2]",
      "{\"a\" 1}",
      "{\"a\":1 \"b\":2}",
      "[1,,2]",
      // Members.
      "{\"a\"}",
      "{\"a\":}",
      "{a:1}",
      "{'a':1}",
      "{1:1}",
      "{\"a\":1",
      "{",
      "[",
      "[1",
      "{\"a\":[}",
      // Numbers.
      "01",
      "[01]",
      "-01",
      "-",
      "1.",
      ".5",
      "1e",
      "1e+",
      "1E-",
      "+1",
      "0x10",
      "1.e3",
      "--1",
      "[-]",
      "NaN",
      "Infinity",
      // Words.
      "tru",
      "True",
      "NULL",
      "nul",
      "nulls",
      "falsey",
      "t",
      // Strings.
      "\"abc",
      "\"\\x\"",
      "\"\\u12\"",
      "\"\\u12G4\"",
      "\"\\",
      "\"\\u",
      "\"\\uD800\\u",
      "\"\\U0041\"",
      "\"\\'\"",
      "'a'",
      // Invalid UTF-8.
      "\"\xC3\"",
      "\"\xFF\"",
      "\"\xC0\xAF\"",
      "\"\xE0\x80\xAF\"",
      "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"",
      "\"\x80\"",
      "\"\xE2\x82\"",
      "\"\xF0\x9F\x98\"",
      "\xC3\xA9",
      // Whitespace is only space, tab, LF and CR.
      "\f1",
      "\v1",
      "\xC2\xA0"
      "1",
      "[\f]",
      // Nothing but a closer.
      "]",
      "}",
      ",",
      ":",
  };
  for (const std::string& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c));
    EXPECT_EQ(ParsedText(c), kNone);
  }
}

TEST(JsonParse, EmbeddedNulBytesAreData) {
  // A NUL inside a string is a character; outside one it is an error.
  EXPECT_EQ(ParsedText(std::string("\"a\0b\"", 5)), "\"a\\u0000b\"");
  EXPECT_EQ(ParsedText(std::string("[1]\0", 4)), kNone);
  EXPECT_EQ(ParsedText(std::string("\0", 1)), kNone);
}

TEST(JsonParse, SeedCorpus) {
  // The fuzzer's seed files: pass_* must parse and round-trip, fail_* must not parse.
  const std::filesystem::path folder = std::filesystem::path(VELMORA_SOURCE_DIR) / "fuzz/corpus/json";
  int passing = 0, failing = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::unique_ptr<TJSONValue> value = ParseJSONValue(text);
    if (name.rfind("pass_", 0) == 0) {
      ++passing;
      ASSERT_TRUE(value);
      std::unique_ptr<TJSONValue> again = ParseJSONValue(value->ToString());
      ASSERT_TRUE(again);
      EXPECT_TRUE(value->Equals(*again));
    } else {
      ++failing;
      EXPECT_EQ(name.rfind("fail_", 0), 0u);
      EXPECT_FALSE(value);
    }
  }
  EXPECT_GT(passing, 0);
  EXPECT_GT(failing, 0);
}

TEST(JsonParse, KindsOfParsedValues) {
  std::unique_ptr<TJSONValue> root = ParseJSONValue("[true,false,null,\"s\",1,{},[]]");
  ASSERT_TRUE(root);
  const TJSONArray& array = root->AsArray();
  const std::vector<std::string> names = {"TJSONTrue",   "TJSONFalse",  "TJSONNull", "TJSONString",
                                          "TJSONNumber", "TJSONObject", "TJSONArray"};
  ASSERT_EQ(array.Count(), names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(array.Items(i).ClassName(), names[i]);
  EXPECT_FALSE(static_cast<const TJSONString&>(array.Items(3)).IsNull());
}

TEST(JsonParse, NestingLimitIs512) {
  EXPECT_NE(ParsedText(Nested(512, "[", "", "]")), kNone);
  EXPECT_EQ(ParsedText(Nested(513, "[", "", "]")), kNone);
  EXPECT_NE(ParsedText(Nested(512, "{\"a\":", "1", "}")), kNone);
  EXPECT_EQ(ParsedText(Nested(513, "{\"a\":", "1", "}")), kNone);
  EXPECT_NE(ParsedText(Nested(256, "[{\"a\":", "1", "}]")), kNone);
  EXPECT_EQ(ParsedText(Nested(256, "[{\"a\":", "[]", "}]")), kNone);
  // The limit counts containers open at once, not containers in total.
  std::string wide = "[";
  for (int i = 0; i < 2000; ++i) wide += i == 0 ? "[[]]" : ",[[]]";
  wide += "]";
  EXPECT_NE(ParsedText(wide), kNone);
}

TEST(JsonParse, HostileInputFailsCleanly) {
  EXPECT_EQ(ParsedText(std::string(100000, '[')), kNone);
  EXPECT_EQ(ParsedText(Nested(100000, "[", "", "]")), kNone);
  EXPECT_EQ(ParsedText(Nested(100000, "{\"a\":", "1", "}")), kNone);
  std::string alternating;
  for (int i = 0; i < 50000; ++i) alternating += "[{\"k\":";
  EXPECT_EQ(ParsedText(alternating), kNone);
}

TEST(JsonParse, HugeValues) {
  const size_t size = 64u << 20;
  std::string text = "\"";
  text.append(size, 'x');
  text += "\\u00e9\"";
  std::unique_ptr<TJSONValue> value = ParseJSONValue(text);
  ASSERT_TRUE(value);
  const std::string& parsed = static_cast<const TJSONString&>(*value).Value();
  EXPECT_EQ(parsed.size(), size + 2);
  EXPECT_EQ(parsed.substr(size), "\xC3\xA9");
  text.pop_back();  // no closing quotation mark
  EXPECT_FALSE(ParseJSONValue(text));

  std::string digits = "-1";
  digits.append(1000000, '7');
  digits += ".5e-999999";
  value = ParseJSONValue(digits);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->AsText(), digits);
  EXPECT_FALSE(ParseJSONValue("0" + std::string(1000000, '0')));
}

// Trees large enough to use the biggest value blocks, alive at the same
// time, released on another thread and parsed again from reused blocks.
TEST(JsonParse, LargeTreesSideBySide) {
  std::string text = "[";
  for (int i = 0; i < 400000; ++i) {
    if (i != 0) text += ',';
    text += i % 3 == 0 ? std::to_string(i) : i % 3 == 1 ? "\"s" + std::to_string(i) + "\"" : "[true,{}]";
  }
  text += ']';
  std::unique_ptr<TJSONValue> first = ParseJSONValue(text);
  std::unique_ptr<TJSONValue> second = ParseJSONValue(text);
  ASSERT_TRUE(first && second);
  std::thread([&first] { first.reset(); }).join();
  std::unique_ptr<TJSONValue> third = ParseJSONValue(text);
  ASSERT_TRUE(third);
  second.reset();
  std::unique_ptr<TJSONValue> fourth = ParseJSONValue(text);
  ASSERT_TRUE(fourth);
  EXPECT_EQ(third->ToString(), text);
  EXPECT_TRUE(third->Equals(*fourth));
}

TEST(JsonParse, RoundTripKeepsTheTree) {
  const std::vector<std::string> texts = {
      "{\"a\":[1,-2.5e+3,\"x\\\"y\",null,true,false,{}],\"a\":{\"b\":\"\\ud800\\u0000\\/\"}}",
      "\"\\uDFFF\\uD800\\uDBFF\\uDFFF\"",
      "[\"\xE2\x82\xAC\\t\x1F\"]",
      "{\"\\u0001\":\"\\udc00a\\ud800\"}",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    std::unique_ptr<TJSONValue> first = ParseJSONValue(text);
    ASSERT_TRUE(first);
    const std::string written = first->ToString();
    std::unique_ptr<TJSONValue> second = ParseJSONValue(written);
    ASSERT_TRUE(second) << written;
    EXPECT_TRUE(first->Equals(*second));
    EXPECT_EQ(second->ToString(), written);
  }
}

TEST(JsonValue, EqualsComparesKindTextAndOrder) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {"{\"a\":1,\"b\":2}", "{\"a\":1,\"b\":2}", true},
      {"{\"a\":1,\"b\":2}", "{\"b\":2,\"a\":1}", false},
      {"[1.0]", "[1]", false},
      {"[\"1\"]", "[1]", false},
      {"{\"a\":null}", "{\"a\":\"\"}", false},
      {"[true]", "[false]", false},
      {"[[]]", "[{}]", false},
      {"[1,2]", "[1]", false},
      {"{\"a\":{\"b\":[null]}}", "{\"a\":{\"b\":[null]}}", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    EXPECT_EQ(ParseJSONValue(c.a)->Equals(*ParseJSONValue(c.b)), c.equal);
  }
  EXPECT_TRUE(TJSONBool(true).Equals(TJSONTrue()));
  EXPECT_FALSE(TJSONString().Equals(TJSONString("")));
}

TEST(JsonValue, ParsedAndBuiltValuesMix) {
  // Parsed values come from shared blocks, built ones from the heap; a tree
  // holding both releases each correctly, also on another thread.
  std::unique_ptr<TJSONValue> parsed = ParseJSONValue("{\"a\":[1,{\"b\":\"x\"}],\"c\":null}");
  ASSERT_TRUE(parsed);
  auto built = std::make_unique<TJSONObject>();
  built->AddPair("parsed", std::move(parsed)).AddPair("n", 5);
  std::unique_ptr<TJSONValue> second = ParseJSONValue("[true]");
  ASSERT_TRUE(second);
  second->AsArray().Add("added").Add(std::move(built));
  EXPECT_EQ(second->ToString(), "[true,\"added\",{\"parsed\":{\"a\":[1,{\"b\":\"x\"}],\"c\":null},\"n\":5}]");
  std::thread([tree = std::move(second)]() mutable { tree.reset(); }).join();
}

// --- writing ----------------------------------------------------------------

TEST(JsonWrite, EscapingTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  std::vector<Case> cases = {
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"/", "\\/"},
      {"\b", "\\b"},
      {"\t", "\\t"},
      {"\n", "\\n"},
      {"\f", "\\f"},
      {"\r", "\\r"},
      {std::string(1, '\0'), "\\u0000"},
      {"\x01", "\\u0001"},
      {"\x07", "\\u0007"},
      {"\x0B", "\\u000b"},
      {"\x0E", "\\u000e"},
      {"\x1A", "\\u001a"},
      {"\x1F", "\\u001f"},
      {"\x7F", "\x7F"},
      {"a/b", "a\\/b"},
      {"pass\"word\\", "pass\\\"word\\\\"},
      {"\xC3\xA8 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA8 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"plain text, no escapes: 0123 ~!@#$%^&*()", "plain text, no escapes: 0123 ~!@#$%^&*()"},
      {"", ""},
      // Lone surrogates (three-byte form) come out as escapes.
      {"a\xED\xA0\x80z", "a\\ud800z"},
      {"\xED\xBF\xBF", "\\udfff"},
      {"\xED\xA0\x80\xED\xB0\x80", "\xF0\x90\x80\x80"},
      {"\xED\xB0\x80\xED\xA0\x80", "\\udc00\\ud800"},
      {"\xED\xA0\x80\xED\xA0\x80\xED\xB0\x80", "\\ud800\xF0\x90\x80\x80"},
      // Bytes outside any character become U+FFFD; the rest stays.
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"\xC3", "\xEF\xBF\xBD"},
      {"\xE2\x82"
       "x",
       "\xEF\xBF\xBD\xEF\xBF\xBD"
       "x"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  // Every other ASCII character is copied unchanged.
  for (int c = 0x20; c < 0x80; ++c) {
    if (c != '"' && c != '\\' && c != '/')
      cases.push_back({std::string(1, char(c)), std::string(1, char(c))});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(EscapeJSONText(c.in), c.out);
    EXPECT_EQ(TJSONString(c.in).ToString(), "\"" + c.out + "\"");
  }
}

TEST(JsonWrite, EveryControlCharacterIsEscaped) {
  // Whatever the writer produces must be valid JSON with the same content.
  for (int c = 0; c < 0x20; ++c) {
    SCOPED_TRACE(c);
    const std::string text = std::string("x") + char(c) + "y";
    const std::string written = TJSONString(text).ToString();
    for (char w : written) EXPECT_GE(static_cast<unsigned char>(w), 0x20);
    std::unique_ptr<TJSONValue> back = ParseJSONValue(written);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->AsText(), text);
  }
}

TEST(JsonWrite, BuiltDocuments) {
  struct Case {
    const char* name;
    std::unique_ptr<TJSONValue> value;
    std::string out;
  };
  std::vector<Case> cases;
  {
    auto o = std::make_unique<TJSONObject>();
    o->AddPair("username", "mario").AddPair("password", "a/b");
    cases.push_back({"login body", std::move(o), "{\"username\":\"mario\",\"password\":\"a\\/b\"}"});
  }
  {
    auto o = std::make_unique<TJSONObject>();
    auto albums = std::make_unique<TJSONArray>();
    albums->Add("");
    o->AddPair("albums", std::move(albums));
    cases.push_back({"array of one empty string", std::move(o), "{\"albums\":[\"\"]}"});
  }
  {
    auto link = std::make_unique<TJSONObject>();
    link->AddPair("CanComment", false).AddPair("Expires", 0).AddPair("Password", "").AddPair("Slug", "slug");
    auto o = std::make_unique<TJSONObject>();
    o->AddPair("uid", "x").AddPair("link", std::move(link));
    cases.push_back({"nested object", std::move(o),
                     "{\"uid\":\"x\",\"link\":{\"CanComment\":false,\"Expires\":0,\"Password\":\"\",\"Slug\":"
                     "\"slug\"}}"});
  }
  {
    auto o = std::make_unique<TJSONObject>();
    o->AddPair("a", -5).AddPair("b", int64_t{-9223372036854775807LL - 1}).AddPair("c", 4294967295u);
    o->AddPair("d", true)
        .AddPair("e", std::make_unique<TJSONString>())
        .AddPair("f", std::make_unique<TJSONNull>());
    cases.push_back(
        {"integers, booleans, null string, null", std::move(o),
         "{\"a\":-5,\"b\":-9223372036854775808,\"c\":4294967295,\"d\":true,\"e\":null,\"f\":null}"});
  }
  {
    auto o = std::make_unique<TJSONObject>();
    o->AddPair("UID", "1").AddPair("UID", "2");
    cases.push_back({"duplicate names", std::move(o), "{\"UID\":\"1\",\"UID\":\"2\"}"});
  }
  {
    auto o = std::make_unique<TJSONObject>();
    o->AddPair("", "x").AddPair("", 1).AddPair("", true).AddPair("", std::make_unique<TJSONNull>());
    o->AddPair("absent", std::unique_ptr<TJSONValue>());
    o->AddPair("a\"b", "\xC3\xA8");
    cases.push_back({"empty names and absent values add nothing", std::move(o), "{\"a\\\"b\":\"\xC3\xA8\"}"});
  }
  {
    auto a = std::make_unique<TJSONArray>();
    a->Add("x").Add(std::unique_ptr<TJSONValue>()).Add(std::make_unique<TJSONNumber>("1.50"));
    a->Add(std::make_unique<TJSONArray>()).Add(std::make_unique<TJSONObject>());
    cases.push_back({"array", std::move(a), "[\"x\",1.50,[],{}]"});
  }
  cases.push_back({"empty string", std::make_unique<TJSONString>(""), "\"\""});
  cases.push_back({"null string", std::make_unique<TJSONString>(), "null"});
  cases.push_back({"integer number", std::make_unique<TJSONNumber>(int64_t{-5}), "-5"});
  cases.push_back({"false", std::make_unique<TJSONBool>(false), "false"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value->ToString(), c.out);
    std::string appended = "prefix";
    c.value->WriteTo(appended);
    EXPECT_EQ(appended, "prefix" + c.out);
  }
}

// --- path lookup --------------------------------------------------------------

TEST(JsonPath, LookupTable) {
  const std::unique_ptr<TJSONValue> root = ParseJSONValue(
      "{\"UID\":\"first\",\"UID\":\"second\",\"user\":{\"UID\":\"u1\",\"a.b\":1,\"q'\":2},"
      "\"list\":[10,[20,21],{\"x\":\"y\"}],\"sp ace\":3,\"\":4,\"n\":null}");
  ASSERT_TRUE(root);
  struct Case {
    std::string path;
    std::string found;  // written value, or kNone
  };
  const std::vector<Case> cases = {
      {"", root->ToString()},
      {"   ", root->ToString()},
      {"UID", "\"first\""},
      {" UID \t", "\"first\""},
      {"uid", kNone},
      {"UID ", "\"first\""},
      {"missing", kNone},
      {"user.UID", "\"u1\""},
      {"user . UID", "\"u1\""},
      {"user.uid", kNone},
      {"user.UID.x", kNone},
      {"user['a.b']", "1"},
      {"user[\"a.b\"]", "1"},
      {"user[ 'q\\'' ]", "2"},
      {"['user'].UID", "\"u1\""},
      {"['']", "4"},
      {"sp ace", "3"},
      {"list[0]", "10"},
      {"list[ 1 ][1]", "21"},
      {"list[2].x", "\"y\""},
      {"list[3]", kNone},
      {"list[-1]", kNone},
      {"list.x", kNone},
      {"user[0]", kNone},
      {"list['0']", kNone},
      {"[0]", kNone},
      {"n", "null"},
      {"n.x", kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const TJSONValue* found = root->FindValue(c.path);
    EXPECT_EQ(found ? found->ToString() : kNone, c.found);
    if (found) {
      EXPECT_EQ(&root->GetValue(c.path), found);
    } else {
      test::ExpectRaises<EJSONException>([&] { root->GetValue(c.path); }, "Value '" + c.path + "' not found",
                                         "EJSONException");
    }
  }
  // A found value points into the tree: the first of two members wins.
  EXPECT_EQ(root->FindValue("UID"), &root->AsObject().Pairs(0).Value());
}

TEST(JsonPath, MalformedPaths) {
  const std::unique_ptr<TJSONValue> root = ParseJSONValue("{\"a\":[1,2]}");
  ASSERT_TRUE(root);
  struct Case {
    std::string path;
    std::string message;
  };
  const std::vector<Case> cases = {
      {".a", "Unexpected char for root element: ."},
      {" .a", "Unexpected char for root element: ."},
      {"a[", "Path ended with an open bracket"},
      {"a[ ", "Path ended with an open bracket"},
      {"a[1", "Path ended with an open bracket"},
      {"['a'", "Path ended with an open bracket"},
      {"['a", "Path ended with an open string"},
      {"[\"a\\\"", "Path ended with an open string"},
      {"['a'x]", "Unexpected character while parsing indexer: x"},
      {"a[0]x", "Unexpected character while parsing indexer: x"},
      {"a[0]\xC3\xA8", "Unexpected character while parsing indexer: \xC3\xA8"},
      {"a[x]", "Invalid index for array: x"},
      {"a[]", "Invalid index for array: "},
      {"a[1.5]", "Invalid index for array: 1.5"},
      {"a[99999999999]", "Invalid index for array: 99999999999"},
      {"a..b", "Empty name not allowed in dot notation, use ['']"},
      {"a.", "Empty name not allowed in dot notation, use ['']"},
      {"a. [0]", "Empty name not allowed in dot notation, use ['']"},
      // The whole path is checked, also past a segment that finds nothing.
      {"missing[", "Path ended with an open bracket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    test::ExpectRaises<EJSONPathException>([&] { root->FindValue(c.path); }, c.message, "EJSONPathException");
  }
}

// --- conversions ----------------------------------------------------------------

TEST(JsonConvert, ToText) {
  struct Case {
    std::string json;
    std::string text;     // when convertible
    std::string failure;  // else the message
  };
  const std::vector<Case> cases = {
      {"\"abc\"", "abc", ""},
      {"\"\"", "", ""},
      {"\"a\\/b\\u00e8\"", "a/b\xC3\xA8", ""},
      {"12", "12", ""},
      {"1.50", "1.50", ""},
      {"-3e2", "-3e2", ""},
      {"true", "true", ""},
      {"false", "false", ""},
      {"null", "", ""},
      {"{}", "", "Conversion from TJSONObject to string is not supported"},
      {"[1]", "", "Conversion from TJSONArray to string is not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::unique_ptr<TJSONValue> value = ParseJSONValue(c.json);
    ASSERT_TRUE(value);
    if (c.failure.empty()) {
      EXPECT_EQ(value->AsText(), c.text);
    } else {
      test::ExpectRaises<EJSONException>([&] { value->AsText(); }, c.failure, "EJSONException");
    }
  }
  EXPECT_EQ(TJSONString().AsText(), "");
  EXPECT_EQ(TJSONBool(true).AsText(), "true");
}

TEST(JsonConvert, ToObjectAndArray) {
  const std::vector<std::string> jsons = {"{}", "[]", "\"s\"", "1", "true", "null"};
  for (const std::string& json : jsons) {
    SCOPED_TRACE(json);
    std::unique_ptr<TJSONValue> value = ParseJSONValue(json);
    ASSERT_TRUE(value);
    if (json == "{}") {
      EXPECT_EQ(&value->AsObject(), value.get());
    } else {
      test::ExpectRaises<EInvalidCast>([&] { value->AsObject(); }, "Invalid class typecast", "EInvalidCast");
    }
    if (json == "[]") {
      EXPECT_EQ(&value->AsArray(), value.get());
    } else {
      EXPECT_THROW(value->AsArray(), EInvalidCast);
    }
  }
}

}  // namespace
}  // namespace velmora
