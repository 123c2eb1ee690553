#include "archive/SQLText.h"

#include <gtest/gtest.h>

#include "platform/Exceptions.h"

namespace velmora {
namespace {

TEST(ScanSQLParametersTest, ReplacesParametersOutsideQuotesAndComments) {
  struct Case {
    const char* sql;
    const char* text;
    std::vector<std::string> params;
  } cases[] = {
      {"SELECT 1 FROM RDB$DATABASE", "SELECT 1 FROM RDB$DATABASE", {}},
      {"SELECT * FROM T WHERE ID=:ID AND N = :n_2$", "SELECT * FROM T WHERE ID=? AND N = ?", {"ID", "n_2$"}},
      {"SELECT * FROM T WHERE A=?abc", "SELECT * FROM T WHERE A=?", {"abc"}},
      {"SELECT ':x', \"?y\" FROM T", "SELECT ':x', \"?y\" FROM T", {}},
      {"SELECT 'it''s :x' FROM T WHERE B=:b", "SELECT 'it''s :x' FROM T WHERE B=?", {"b"}},
      {"SELECT /* :c ' */ 1 FROM T", "SELECT /* :c ' */ 1 FROM T", {}},
      {"UPDATE T SET A=:\"My \"\"Name\"\"\" WHERE 1=1", "UPDATE T SET A=? WHERE 1=1", {"My \"Name\""}},
      {"SELECT A FROM T WHERE B=:b)", "SELECT A FROM T WHERE B=?)", {"b"}},
      {"SELECT 1 FROM T WHERE A = 2 / 3 * 4", "SELECT 1 FROM T WHERE A = 2 / 3 * 4", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    ScannedSQL s = ScanSQLParameters(c.sql);
    EXPECT_EQ(s.text, c.text);
    EXPECT_EQ(s.params, c.params);
  }
}

TEST(ScanSQLParametersTest, ParseErrors) {
  struct Case {
    const char* sql;
    const char* detail;
  } cases[] = {
      {"SELECT * FROM T WHERE A = ?", "Parameter name expected"},
      {"SELECT * FROM T WHERE A = ? AND B = 1", "Parameter name expected"},
      {"SELECT * FROM T WHERE A = : B", "Parameter name expected"},
      {"SELECT 'open FROM T", "EOF in string detected"},
      {"SELECT \"open FROM T", "EOF in string detected"},
      {"SELECT 1 /* open", "EOF in comment detected"},
      {"SELECT :\"open", "EOF in string detected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    try {
      ScanSQLParameters(c.sql);
      ADD_FAILURE() << "no exception";
    } catch (const EIBClientError& e) {
      EXPECT_EQ(e.SQLCode(), 55);
      EXPECT_EQ(e.Message(), std::string("SQL Parse Error:\r\n\r\n") + c.detail);
    }
  }
}

TEST(NormalizeFieldNameTest, TrimsUnquotesOrUpperCases) {
  EXPECT_EQ(NormalizeFieldName("  nomefile ", 3), "NOMEFILE");
  EXPECT_EQ(NormalizeFieldName("\"MixedCase\"", 3), "MixedCase");
  EXPECT_EQ(NormalizeFieldName("\"a\"\"b\"", 3), "a\"b");
  EXPECT_EQ(NormalizeFieldName("\"lower\"", 1), "\"LOWER\"");
  EXPECT_EQ(NormalizeFieldName("TitoloFoto", 1), "TITOLOFOTO");
}

TEST(NameColumnsTest, NumbersTakenAndNamelessColumns) {
  EXPECT_EQ(NameColumns({"ID", "ID", "ID"}), (std::vector<std::string>{"ID", "ID1", "ID2"}));
  EXPECT_EQ(NameColumns({"ID1", "ID", "ID"}), (std::vector<std::string>{"ID1", "ID", "ID2"}));
  EXPECT_EQ(NameColumns({"", "F_1", ""}), (std::vector<std::string>{"F_1", "F_11", "F_2"}));
  EXPECT_EQ(NameColumns({"F_1", ""}), (std::vector<std::string>{"F_1", "F_2"}));
}

TEST(FormatTest, NumbersAsText) {
  struct Case {
    int64_t value;
    int scale;
    const char* text;
  } cases[] = {
      {0, 0, "0"},
      {-42, 0, "-42"},
      {1250, -2, "12.5"},
      {300, -2, "3"},
      {-1, -4, "-0.0001"},
      {-12345, -1, "-1234.5"},
      {123456, -6, "0.123456"},
      {INT64_MIN, 0, "-9223372036854775808"},
      {INT64_MIN, -4, "-922337203685477.5808"},
      {7, 2, "700"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatScaledInteger(c.value, c.scale), c.text);
  }
  EXPECT_EQ(FormatFloat(0.1), "0.1");
  EXPECT_EQ(FormatFloat(2.5), "2.5");
  EXPECT_EQ(FormatFloat(1e20), "1E20");
  EXPECT_EQ(FormatFloat(-1.5e-7), "-1.5E-7");
  EXPECT_EQ(FormatDate(2026, 3, 7), "2026-03-07");
  EXPECT_EQ(FormatTime(9, 5, 0), "09:05:00");
  int64_t v = 0;
  EXPECT_TRUE(ParseInt64(" +17 ", v));
  EXPECT_EQ(v, 17);
  EXPECT_FALSE(ParseInt64("+-1", v));
  EXPECT_FALSE(ParseInt64("12a", v));
  EXPECT_FALSE(ParseInt64("99999999999999999999", v));
}

}  // namespace
}  // namespace velmora
