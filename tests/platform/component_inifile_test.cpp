#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "platform/IniFile.h"
#include "tests/support/TestSupport.h"

namespace velmora {
namespace {

// Records its own release in a shared log.
class Tracked : public TComponent {
 public:
  Tracked(TComponent* owner, std::string name, std::vector<std::string>& log)
      : TComponent(owner), name_(std::move(name)), log_(log) {}
  ~Tracked() override { log_.push_back(name_); }

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

TEST(ComponentTest, OwnerReleasesItsComponentsLastFirst) {
  std::vector<std::string> log;
  {
    Tracked owner(nullptr, "owner", log);
    auto* a = new Tracked(&owner, "a", log);
    new Tracked(a, "a.child", log);
    new Tracked(&owner, "b", log);
    EXPECT_EQ(owner.Components().size(), 2u);
    EXPECT_EQ(a->Owner(), &owner);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"owner", "b", "a", "a.child"}));
}

TEST(ComponentTest, ComponentReleasedFirstLeavesItsOwner) {
  std::vector<std::string> log;
  {
    Tracked owner(nullptr, "owner", log);
    auto* a = new Tracked(&owner, "a", log);
    delete a;
    EXPECT_TRUE(owner.Components().empty());
  }
  EXPECT_EQ(log, (std::vector<std::string>{"a", "owner"}));
}

struct IntegerCase {
  const char* text;
  bool ok;
  int32_t value;
};

TEST(IniFileTest, ParseIniInteger) {
  const IntegerCase cases[] = {
      {"0", true, 0},
      {"12", true, 12},
      {"-12", true, -12},
      {"+7", true, 7},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"0xFFFFFFFF", true, -1},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"0x", false, 0},
      {"0x123456789", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"12a", false, 0},
      {" 12", false, 0},
      {"1 2", false, 0},
      {"0xG", false, 0},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t value = 0;
    EXPECT_EQ(ParseIniInteger(c.text, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(IniFileTest, ReadsAndWritesThroughTheFile) {
  test::TempDir dir;
  TIniFile ini(dir / "p.ini");
  EXPECT_EQ(ini.ReadString("CONFIG", "Utente", "0"), "0");
  EXPECT_EQ(ini.ReadInteger("CONFIG", "Utente", 9), 9);
  ini.WriteString("CONFIG", "Utente", "0x10");
  ini.WriteInteger("CONFIG", "Altro", -3);
  EXPECT_EQ(ini.ReadString("config", "UTENTE", ""), "0x10");
  EXPECT_EQ(ini.ReadInteger("CONFIG", "Utente", 9), 16);
  EXPECT_EQ(ini.ReadInteger("CONFIG", "Altro", 9), -3);
  EXPECT_EQ(ini.ReadSectionValues("CONFIG").size(), 2u);
  // A second object on the same path sees the writes at once.
  EXPECT_EQ(TIniFile(dir / "p.ini").ReadString("CONFIG", "Altro", ""), "-3");

  TIniFile blocked(dir / "missing-dir/p.ini");
  EXPECT_THROW(blocked.WriteString("CONFIG", "k", "v"), EIniFileException);
}

}  // namespace
}  // namespace velmora
