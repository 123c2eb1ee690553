#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "prism/JsonHelpers.h"
#include "tests/support/ExpectRaises.h"

namespace velmora {
namespace {

const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz1234567890";

TEST(RispostaJSON, AnswerAsObjectOrArray) {
  struct Case {
    std::string answer;
    const char* asObject;  // "object", "none" or "cast"
    const char* asArray;
  };
  const std::vector<Case> cases = {
      {"{\"message\":\"ok\"}", "object", "cast"},
      {"{}\r\n", "object", "cast"},
      {"[]", "cast", "array"},
      {"[{\"UID\":\"x\"}]", "cast", "array"},
      {"\"text\"", "cast", "cast"},
      {"12", "cast", "cast"},
      {"null", "cast", "cast"},
      {"<html><body>502 Bad Gateway</body></html>", "none", "none"},
      {"", "none", "none"},
      {"{\"a\":1,}", "none", "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    auto check = [](auto take, const char* expected, const char* kind) {
      try {
        auto value = take();
        EXPECT_EQ(value ? kind : "none", std::string(expected));
      } catch (const EInvalidCast& e) {
        EXPECT_EQ("cast", std::string(expected));
        EXPECT_EQ(e.Message(), "Invalid class typecast");
      }
    };
    check([&] { return RispostaOggettoJSON(c.answer); }, c.asObject, "object");
    check([&] { return RispostaArrayJSON(c.answer); }, c.asArray, "array");
  }
  std::unique_ptr<TJSONObject> object = RispostaOggettoJSON("{\"message\":\"ok\"}");
  ASSERT_TRUE(object);
  EXPECT_EQ(object->ToString(), "{\"message\":\"ok\"}");
}

struct LookupCase {
  std::string answer;
  std::string name;
  bool found;
  std::string text;
};

TEST(LeggiTestoJSON, Table) {
  const std::vector<LookupCase> cases = {
      {"{\"message\":\"Upload completato\"}", "message", true, "Upload completato"},
      {"{\"message\":null}", "message", true, ""},
      {"{\"message\":\"\"}", "message", true, ""},
      {"{\"message\":{}}", "message", false, ""},
      {"{\"message\":[\"a\"]}", "message", false, ""},
      {"{\"access_token\":12345}", "access_token", true, "12345"},
      {"{\"access_token\":1.50}", "access_token", true, "1.50"},
      {"{\"x\":true,\"y\":false}", "x", true, "true"},
      {"{\"x\":true,\"y\":false}", "y", true, "false"},
      {"{\"UID\":\"A\"}", "uid", false, ""},
      {"{\"UID\":\"A\",\"UID\":\"B\"}", "UID", true, "A"},
      {"{}", "message", false, ""},
      {"{\"a\\/b\":\"\\u00e8\"}", "a/b", true, "\xC3\xA8"},
      {"{\"a\":1}", "[", false, ""},  // malformed path: nothing found, no exception
      {"[\"x\"]", "message", false, ""},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.answer + " / " + c.name);
    std::unique_ptr<TJSONValue> value = ParseJSONValue(c.answer);
    ASSERT_TRUE(value);
    std::string text = "held a value before";
    EXPECT_EQ(LeggiTestoJSON(value.get(), c.name, text), c.found);
    EXPECT_EQ(text, c.text);
  }
  std::string text = "before";
  EXPECT_FALSE(LeggiTestoJSON(nullptr, "message", text));
  EXPECT_EQ(text, "");
}

TEST(LeggiOggettoJSON, Table) {
  struct Case {
    std::string answer;
    std::string name;
    std::string found;  // the found object written back, or "" for false
  };
  const std::vector<Case> cases = {
      {"{\"user\":{\"UID\":\"u1\"}}", "user", "{\"UID\":\"u1\"}"},
      {"{\"user\":{}}", "user", "{}"},
      {"{\"user\":{\"a\":1},\"user\":{\"b\":2}}", "user", "{\"a\":1}"},
      {"{\"user\":\"text\"}", "user", ""},
      {"{\"user\":[{}]}", "user", ""},
      {"{\"user\":null}", "user", ""},
      {"{\"user\":7}", "user", ""},
      {"{\"User\":{}}", "user", ""},
      {"{}", "user", ""},
      {"{\"user\":{}}", "user[", ""},
  };
  const TJSONObject sentinel;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer + " / " + c.name);
    std::unique_ptr<TJSONValue> value = ParseJSONValue(c.answer);
    ASSERT_TRUE(value);
    const TJSONObject* object = &sentinel;
    const bool found = LeggiOggettoJSON(value.get(), c.name, object);
    EXPECT_EQ(found, !c.found.empty());
    if (found) {
      EXPECT_EQ(object, value->FindValue(c.name));  // part of the tree, not a copy
      EXPECT_EQ(object->ToString(), c.found);
    } else {
      EXPECT_EQ(object, &sentinel);
    }
  }
  const TJSONObject* object = &sentinel;
  EXPECT_FALSE(LeggiOggettoJSON(nullptr, "user", object));
  EXPECT_EQ(object, &sentinel);
}

TEST(ValoreTestoJSON, Table) {
  struct Case {
    std::string answer;
    std::string name;
    std::string text;     // on success
    std::string failure;  // else the EJSONException message
  };
  const std::vector<Case> cases = {
      {"{\"FileName\":\"2024/IMG_1.jpg\",\"UID\":\"pq1\",\"Hash\":\"ab\"}", "FileName", "2024/IMG_1.jpg", ""},
      {"{\"Hash\":null}", "Hash", "", ""},
      {"{\"UID\":42}", "UID", "42", ""},
      {"{\"UID\":false}", "UID", "false", ""},
      {"{\"UID\":\"a\"}", "Hash", "", "Value 'Hash' not found"},
      {"{\"hash\":\"a\"}", "Hash", "", "Value 'Hash' not found"},
      {"{\"FileName\":{}}", "FileName", "", "Conversion from TJSONObject to string is not supported"},
      {"{\"FileName\":[]}", "FileName", "", "Conversion from TJSONArray to string is not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer + " / " + c.name);
    std::unique_ptr<TJSONValue> value = ParseJSONValue(c.answer);
    ASSERT_TRUE(value);
    if (c.failure.empty()) {
      EXPECT_EQ(ValoreTestoJSON(value.get(), c.name), c.text);
      continue;
    }
    test::ExpectRaises<EJSONException>([&] { ValoreTestoJSON(value.get(), c.name); }, c.failure,
                                       "EJSONException");
  }
  test::ExpectRaises<EJSONException>([] { ValoreTestoJSON(nullptr, "UID"); }, "Value 'UID' not found");
  const std::unique_ptr<TJSONValue> value = ParseJSONValue("{}");
  EXPECT_THROW(ValoreTestoJSON(value.get(), "a["), EJSONPathException);
}

TEST(GeneraToken, LengthAndAlphabet) {
  const std::string alphabet = kAlphabet;
  for (int length : {0, 1, 6, 100}) {
    SCOPED_TRACE(length);
    const std::string token = GeneraToken(length, alphabet);
    EXPECT_EQ(token.size(), static_cast<size_t>(length));
    EXPECT_EQ(token.find_first_not_of(alphabet), std::string::npos) << token;
  }
  EXPECT_EQ(GeneraToken(-3, alphabet), "");
  EXPECT_EQ(GeneraToken(5, ""), "");
  EXPECT_EQ(GeneraToken(4, "z"), "zzzz");
}

TEST(GeneraToken, MultiByteCharactersStayWhole) {
  const std::set<std::string> characters = {"\xC3\xA0", "b", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  const std::string token = GeneraToken(400,
                                        "\xC3\xA0"
                                        "b\xE2\x82\xAC\xF0\x9F\x98\x80");
  std::map<std::string, int> seen;
  for (size_t i = 0; i < token.size();) {
    size_t end = i + 1;
    while (end < token.size() && (static_cast<unsigned char>(token[end]) & 0xC0) == 0x80) ++end;
    const std::string character = token.substr(i, end - i);
    EXPECT_TRUE(characters.count(character)) << testing::PrintToString(character);
    ++seen[character];
    i = end;
  }
  int count = 0;
  for (const auto& entry : seen) count += entry.second;
  EXPECT_EQ(count, 400);
  EXPECT_EQ(seen.size(), 4u);  // each has chance 1/4 per draw: (3/4)^400 to miss one
}

TEST(GeneraToken, UniformOverTheAlphabet) {
  // 2000 tokens of the run's shape: 12 000 draws, 333 expected per character.
  const std::string alphabet = kAlphabet;
  std::map<char, int> counts;
  std::set<std::string> tokens;
  for (int i = 0; i < 2000; ++i) {
    const std::string token = GeneraToken(6, alphabet);
    tokens.insert(token);
    for (char c : token) ++counts[c];
  }
  // Both ends of the alphabet and every character between are drawn.
  EXPECT_EQ(counts.size(), alphabet.size());
  EXPECT_GT(counts['a'], 0);
  EXPECT_GT(counts['0'], 0);
  // Chi-square with 35 degrees of freedom: 100 is exceeded by chance with
  // probability below 1e-7, while a skewed draw (say one character never or
  // twice as often drawn) lands far above it.
  const double expected = 12000.0 / alphabet.size();
  double chiSquare = 0;
  for (char c : alphabet) {
    const double d = counts[c] - expected;
    chiSquare += d * d / expected;
  }
  EXPECT_LT(chiSquare, 100.0);
  // Each call is seeded anew, so tokens differ (equal ones only by chance).
  EXPECT_GT(tokens.size(), 1990u);
}

}  // namespace
}  // namespace velmora
