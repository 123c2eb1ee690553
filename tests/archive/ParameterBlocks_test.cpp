#include "archive/ParameterBlocks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ExpectRaises.h"

namespace velmora {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

struct BlockCase {
  const char* name;
  std::vector<std::string> params;
  std::string expected;
};

TEST(BuildDPBTest, EncodesLinesByteForByte) {
  const BlockCase cases[] = {
      {"no lines", {}, Bytes({1})},
      {"program's credentials",
       {"user_name=SYSDBA", "password=quietlamp"},
       Bytes({1, 28, 6}) + "SYSDBA" + Bytes({29, 9}) + "quietlamp"},
      {"one-character password",
       {"user_name=SYSDBA", "password=x"},
       Bytes({1, 28, 6}) + "SYSDBA" + Bytes({29, 1, 'x'})},
      {"empty password", {"user_name=SYSDBA", "password="}, Bytes({1, 28, 6}) + "SYSDBA" + Bytes({29, 0})},
      {"prefix, case and blanks", {"  ISC_DPB_User_Name=SYSDBA  ", "", "   "}, Bytes({1, 28, 6}) + "SYSDBA"},
      {"value keeps '=' after the first", {"password=a=b"}, Bytes({1, 29, 3}) + "a=b"},
      {"Windows-1252 value", {"password=\xC3\xA8\xE2\x82\xAC"}, Bytes({1, 29, 2, 0xE8, 0x80})},
      {"character set", {"lc_ctype=NONE"}, Bytes({1, 48, 4}) + "NONE"},
      {"integer value", {"num_buffers=300"}, Bytes({1, 5, 4, 0x2C, 0x01, 0, 0})},
      {"flag without value", {"no_garbage_collect"}, Bytes({1, 16, 1, 0})},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BuildDPB(c.params), c.expected);
  }
}

struct ErrorCase {
  const char* name;
  std::vector<std::string> params;
  int32_t number;
  std::string message;
};

TEST(BuildDPBTest, RejectsUnknownUnsupportedAndOversizedParameters) {
  const ErrorCase cases[] = {
      {"create line used for an attach", {"USER 'SYSDBA'"}, 114, "DPB Constant (USER 'SYSDBA') is unknown"},
      {"unknown name keeps its spelling",
       {"Isc_Dpb_Nonsense=1"},
       114,
       "DPB Constant (Isc_Dpb_Nonsense) is unknown"},
      {"known but not encoded",
       {"isc_dpb_cdd_pathname=x"},
       11,
       "DPB Constant (isc_dpb_cdd_pathname) is unsupported"},
      {"value over 255 bytes",
       {"password=" + std::string(256, 'p')},
       121,
       "Parameter value too long (more than 255 bytes): isc_dpb_password"},
      {"value outside Windows-1252",
       {"password=\xE6\x97\xA5"},
       120,
       "Text cannot be sent to the database: value of isc_dpb_password has a character outside Windows-1252"},
      {"integer that is not a number",
       {"num_buffers=many"},
       120,
       "Text cannot be sent to the database: value of num_buffers is not a number"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::ExpectRaisesAnd<EIBClientError>([&] { BuildDPB(c.params); }, c.message, "EIBClientError",
                                          [&](const EIBClientError& e) { EXPECT_EQ(e.SQLCode(), c.number); });
  }
  // 255 bytes is the longest value a one-byte length can carry.
  EXPECT_EQ(BuildDPB({"password=" + std::string(255, 'p')}).size(), 1u + 2u + 255u);
}

TEST(DPBConstantNumberTest, PublishedNamesAndNumbers) {
  EXPECT_EQ(DPBConstantNumber("cdd_pathname"), 1);
  EXPECT_EQ(DPBConstantNumber("USER_NAME"), 28);
  EXPECT_EQ(DPBConstantNumber("password"), 29);
  EXPECT_EQ(DPBConstantNumber("sql_role_name"), 60);
  EXPECT_EQ(DPBConstantNumber("nolinger"), 88);
  EXPECT_EQ(DPBConstantNumber("isc_dpb_user_name"), 0);  // the prefix is removed before lookup
  EXPECT_EQ(DPBConstantNumber(""), 0);
}

TEST(BuildTPBTest, EncodesOptionsByteForByte) {
  const BlockCase cases[] = {
      {"no lines: empty block", {}, ""},
      {"only blank lines: empty block", {"", "  "}, ""},
      {"no wait preset", {"isc_tpb_concurrency", "isc_tpb_nowait"}, Bytes({3, 2, 7})},
      {"read committed preset", {"isc_tpb_read_committed", "isc_tpb_rec_version"}, Bytes({3, 15, 17})},
      {"case and prefix", {"ISC_TPB_Write", "wait"}, Bytes({3, 9, 6})},
      {"table reservation", {"isc_tpb_lock_write=KELTRANSFLOG"}, Bytes({3, 11, 12}) + "KELTRANSFLOG"},
      {"reservation without table", {"isc_tpb_lock_read"}, Bytes({3, 10, 0})},
      {"wait time", {"isc_tpb_wait", "isc_tpb_wait_time=258"}, Bytes({3, 6, 23, 4, 2, 1, 0, 0})},
      {"every single-byte option",
       {"consistency", "shared", "protected", "exclusive", "read", "ignore_limbo", "no_rec_version",
        "restart_requests", "no_auto_undo", "no_savepoint", "exclusivity"},
       Bytes({3, 1, 3, 4, 5, 8, 14, 18, 19, 20, 21, 22})},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BuildTPB(c.params), c.expected);
  }
}

TEST(BuildTPBTest, RejectsUnsupportedAndUnknownOptions) {
  const ErrorCase cases[] = {
      {"verb_time", {"isc_tpb_verb_time"}, 13, "TPB Constant (isc_tpb_verb_time) is unsupported"},
      {"commit_time", {"isc_tpb_commit_time"}, 13, "TPB Constant (isc_tpb_commit_time) is unsupported"},
      {"autocommit", {"ISC_TPB_AUTOCOMMIT"}, 13, "TPB Constant (isc_tpb_autocommit) is unsupported"},
      {"unknown", {"isc_tpb_sometimes"}, 12, "TPB Constant (isc_tpb_sometimes) is unknown"},
      {"wait time not a number",
       {"isc_tpb_wait_time=soon"},
       120,
       "Text cannot be sent to the database: value of isc_tpb_wait_time is not a number"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::ExpectRaisesAnd<EIBClientError>([&] { BuildTPB(c.params); }, c.message, nullptr,
                                          [&](const EIBClientError& e) { EXPECT_EQ(e.SQLCode(), c.number); });
  }
}

TEST(TransactionOptionTest, TableOfTwentyThreeOptions) {
  EXPECT_EQ(TransactionOptionName(1), "consistency");
  EXPECT_EQ(TransactionOptionName(7), "nowait");
  EXPECT_EQ(TransactionOptionName(17), "rec_version");
  EXPECT_EQ(TransactionOptionName(23), "wait_time");
  EXPECT_EQ(TransactionOptionName(0), "");
  EXPECT_EQ(TransactionOptionName(24), "");
  for (int n = 1; n <= 23; ++n) EXPECT_EQ(TransactionOptionNumber(TransactionOptionName(n)), n);
}

TEST(CreateDatabaseStatementTest, JoinsLinesWithBlanks) {
  EXPECT_EQ(CreateDatabaseStatement("/data/archivio.fdb",
                                    {"USER 'SYSDBA'", "PASSWORD 'quietlamp'", "PAGE_SIZE 4096"}),
            "CREATE DATABASE '/data/archivio.fdb' USER 'SYSDBA' PASSWORD 'quietlamp' PAGE_SIZE 4096 ");
  EXPECT_EQ(CreateDatabaseStatement("srv:C:\\Dati\\a.fdb", {}), "CREATE DATABASE 'srv:C:\\Dati\\a.fdb' ");
  // A line break inside a line is one blank as well; a quote in the name is doubled.
  EXPECT_EQ(CreateDatabaseStatement("/d/l'archivio.fdb", {"A\r\nB", "C\nD"}),
            "CREATE DATABASE '/d/l''archivio.fdb' A B C D ");
  EXPECT_FALSE(ParamsHaveUserName({"USER 'SYSDBA'", "PASSWORD 'x'"}));
  EXPECT_FALSE(ParamsHaveUserName({"user_name="}));
  EXPECT_TRUE(ParamsHaveUserName({"PAGE_SIZE 4096", " ISC_DPB_User_Name=SYSDBA "}));
  EXPECT_FALSE(ParamsHaveUserName({"user_name =SYSDBA"}));  // the attach request would not know it either
}

TEST(JoinErrorLinesTest, JoinsWithCrLfAndDropsTheFinalPeriod) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::string expected;
  } cases[] = {
      {"two lines", {"first line.", "second line."}, "first line.\r\nsecond line"},
      {"one line", {"lock conflict on no wait transaction"}, "lock conflict on no wait transaction"},
      {"line ending with LF", {"a\n", "b"}, "a\nb"},
      {"only the last period", {"a.."}, "a."},
      {"none", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JoinErrorLines(c.lines), c.expected);
  }
}

TEST(RaiseIBErrorTest, RoleErrorForSqlCode551) {
  try {
    RaiseIBError("no permission", -551, 335544352);
  } catch (const EIBInterBaseRoleError& e) {
    EXPECT_EQ(e.SQLCode(), -551);
    EXPECT_EQ(e.IBErrorCode(), 335544352);
    EXPECT_STREQ(e.ClassName(), "EIBInterBaseRoleError");
  }
  EXPECT_THROW(RaiseIBError("x", -204, 1), EIBInterBaseError);
}

TEST(ToClientTextTest, ConvertsOrRefuses) {
  EXPECT_EQ(ToClientText("caff\xC3\xA8 \xE2\x82\xAC", "t"), "caff\xE8 \x80");
  EXPECT_THROW(ToClientText(std::string("a\0b", 3), "statement"), EIBClientError);
  EXPECT_THROW(ToClientText("\xFF", "statement"), EIBClientError);
  EXPECT_EQ(ClientTextLength(std::string(65535, 'a')), 65535);
  EXPECT_EQ(ClientTextLength(std::string(65536, 'a')), 0);
}

}  // namespace
}  // namespace velmora
