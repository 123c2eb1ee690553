#include "archive/SQLText.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/Exceptions.h"
#include "tests/support/ExpectRaises.h"

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
    test::ExpectRaisesAnd<EIBClientError>([&] { ScanSQLParameters(c.sql); },
                                          std::string("SQL Parse Error:\r\n\r\n") + c.detail, nullptr,
                                          [](const EIBClientError& e) { EXPECT_EQ(e.SQLCode(), 55); });
  }
}

TEST(NormalizeFieldNameTest, TrimsUnquotesOrUpperCases) {
  struct Case {
    const char* name;
    int dialect;
    const char* normalized;
  } cases[] = {
      {"  nomefile ", 3, "NOMEFILE"},
      {"\"MixedCase\"", 3, "MixedCase"},
      {"\"a\"\"b\"", 3, "a\"b"},
      {" \"Spazi\" ", 3, "Spazi"},
      // Dialect 2 knows quoted names as dialect 3 does; only dialect 1
      // upper-cases every name, quotes included.
      {"\"MixedCase\"", 2, "MixedCase"},
      {"nomefile", 2, "NOMEFILE"},
      {"\"lower\"", 1, "\"LOWER\""},
      {"TitoloFoto", 1, "TITOLOFOTO"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " dialect " + std::to_string(c.dialect));
    EXPECT_EQ(NormalizeFieldName(c.name, c.dialect), c.normalized);
  }
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

TEST(SQLValuesTest, QuotedTexts) {
  struct Case {
    const char* in;
    const char* testo;
    const char* quoted;
    const char* doubleQuoted;
  } cases[] = {
      {"", "", "''", "\"\""},
      {"abc", "abc", "'abc'", "\"abc\""},
      {"l'album", "l''album", "'l''album'", "\"l'album\""},
      {"''", "''''", "''''''", "\"''\""},
      {"a\"b", "a\"b", "'a\"b'", "\"a\"\"b\""},
      {"x'; DROP TABLE T; --", "x''; DROP TABLE T; --", "'x''; DROP TABLE T; --'",
       "\"x'; DROP TABLE T; --\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(TestoSQL(c.in), c.testo);
    EXPECT_EQ(QuotedSQLText(c.in), c.quoted);
    EXPECT_EQ(DoubleQuotedSQLText(c.in), c.doubleQuoted);
  }
}

TEST(SQLValuesTest, RowIdentifiers) {
  struct Case {
    const char* text;
    std::optional<int64_t> id;
  } cases[] = {
      {"5", 5},
      {"007", 7},
      {"-12", -12},
      {"-0", 0},
      {"999999999999999999", 999999999999999999},
      {"-999999999999999999", -999999999999999999},
      {"1000000000000000000", std::nullopt},  // 19 digits
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5 OR 1=1", std::nullopt},
      {"1e3", std::nullopt},
      {"--5", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    EXPECT_EQ(IdentificativoRiga(c.text), c.id);
  }
}

TEST(SQLValuesTest, UserCodesAndGeneratorNames) {
  EXPECT_EQ(CodiceUtente("42"), "42");
  EXPECT_EQ(CodiceUtente("+007"), "7");
  EXPECT_EQ(CodiceUtente("-2147483648"), "-2147483648");
  for (const char* bad : {"", "-", "2147483648", "-2147483649", "1 OR 1=1", "4x", " 4"}) {
    SCOPED_TRACE(bad);
    test::ExpectRaises<EConvertError>([&] { CodiceUtente(bad); },
                                      std::string("'") + bad + "' is not a valid integer value");
  }
  for (const char* good : {"GEN_ID", "g$1", "\"Gen \"\"x\"\"\""}) {
    SCOPED_TRACE(good);
    EXPECT_NO_THROW(ControllaNomeGeneratore(good));
  }
  for (const char* bad : {"", "1GEN", "GEN-ID", "GEN ID", "\"\"", "\"a\"b\"", "\"a\nb\"", "\"GEN"}) {
    SCOPED_TRACE(bad);
    test::ExpectRaises<EDatabaseError>([&] { ControllaNomeGeneratore(bad); },
                                       std::string("'") + bad + "' is not a valid generator name");
  }
}

TEST(SQLValuesTest, RowUpdatesSpellTheirConditionAsGiven) {
  EXPECT_EQ(AggiornamentoRiga("KELALBUMPRISM", {{"TOKENPRISM", "t'k"}, {"IDUSERPRISM", "u1"}},
                              UgualeId::ConSpazi, int64_t{3}),
            (std::vector<std::string>{"UPDATE KELALBUMPRISM SET TOKENPRISM='t''k', IDUSERPRISM='u1'",
                                      "WHERE ID = 3"}));
  EXPECT_EQ(AggiornamentoRiga("KELTRANSFLOG", {{"IDPRISM", "p"}, {"HASHPRISM", ""}, {"DATAORATRANSF", "NOW"}},
                              UgualeId::Attaccato, int64_t{-42}),
            (std::vector<std::string>{
                "UPDATE KELTRANSFLOG SET IDPRISM='p', HASHPRISM='', DATAORATRANSF='NOW'", "WHERE ID=-42"}));
  EXPECT_EQ(AggiornamentoRiga("T", {{"A", "x"}}, UgualeId::Attaccato, int64_t{999999999999999999}),
            (std::vector<std::string>{"UPDATE T SET A='x'", "WHERE ID=999999999999999999"}));
}

}  // namespace
}  // namespace velmora
