// The configuration that lets several processes open one local database file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "archive/SharedEngine.h"
#include "tests/support/TestSupport.h"

namespace velmora::test {
namespace {

TEST(SharedEngine, WhichConfigurationsAlreadyShareDatabases) {
  struct Case {
    const char* conf;
    bool shares;
  } cases[] = {
      {.conf = "", .shares = false},
      {.conf = "#ServerMode = SuperClassic\n", .shares = false},
      {.conf = "ServerMode = Super\n", .shares = false},
      {.conf = "ServerMode = ThreadedDedicated\n", .shares = false},
      {.conf = "ServerMode = SuperClassic\n", .shares = true},
      {.conf = "  servermode=classic # one process per connection\r\n", .shares = true},
      {.conf = "ServerMode = ThreadedShared\n", .shares = true},
      {.conf = "ServerMode = MultiProcess\n", .shares = true},
      {.conf = "ServerMode = SuperClassic\nServerMode = Super\n", .shares = false},
      {.conf = "ServerModeX = SuperClassic\n", .shares = false},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigSharesDatabases(c.conf), c.shares) << c.conf;
}

TEST(SharedEngine, ConfigurationKeepsEverythingButTheServerMode) {
  EXPECT_EQ(
      SharedEngineConfig(
          "# comment\nRemoteBindAddress = localhost\nServerMode = Super\nDefaultDbCachePages = 2K"),
      "# comment\nRemoteBindAddress = localhost\nDefaultDbCachePages = 2K\nServerMode = SuperClassic\n");
  EXPECT_EQ(SharedEngineConfig(""), "ServerMode = SuperClassic\n");
  EXPECT_TRUE(ConfigSharesDatabases(SharedEngineConfig("ServerMode = Super\n")));
}

// FIREBIRD for one test, put back afterwards.
class FirebirdVariable {
 public:
  explicit FirebirdVariable(const std::string& value) {
    if (const char* old = std::getenv("FIREBIRD")) old_ = old, had_ = true;
    ::setenv("FIREBIRD", value.c_str(), 1);
  }
  ~FirebirdVariable() {
    if (had_)
      ::setenv("FIREBIRD", old_.c_str(), 1);
    else
      ::unsetenv("FIREBIRD");
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(SharedEngine, MirrorOfTheUsersDirectory) {
  TempDir source;
  WriteFileBytes(source / "firebird.conf", "ServerMode = Super\nTempCacheLimit = 64M\n");
  WriteFileBytes(source / "databases.conf", "archivio = /dati/archivio.fdb\n");
  FirebirdVariable variable(source.Path());
  std::string mirror = UseSharedEngine();
  ASSERT_FALSE(mirror.empty());
  EXPECT_NE(mirror + "/", source.Path());
  EXPECT_EQ(std::getenv("FIREBIRD"), mirror);
  EXPECT_EQ(ReadFileBytes(mirror + "/firebird.conf"), "TempCacheLimit = 64M\nServerMode = SuperClassic\n");
  EXPECT_EQ(ReadFileBytes(mirror + "/databases.conf"), "archivio = /dati/archivio.fdb\n");
  struct stat st {};
  ASSERT_EQ(::lstat((mirror + "/databases.conf").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(mirror.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);

  // The same source gives the same mirror; a mirror already shares.
  FirebirdVariable again(source.Path());
  EXPECT_EQ(UseSharedEngine(), mirror);
  EXPECT_EQ(UseSharedEngine(), mirror);
}

TEST(SharedEngine, SourceThatAlreadySharesIsLeftAlone) {
  TempDir source;
  WriteFileBytes(source / "firebird.conf", "ServerMode = Classic\n");
  FirebirdVariable variable(source.Path());
  EXPECT_EQ(UseSharedEngine(), source.Path());
}

}  // namespace
}  // namespace velmora::test
