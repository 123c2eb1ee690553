// The choice of the uploaded photo by its content hash among the elements of
// the album's photo listing.
#include <gtest/gtest.h>

#include <memory>

#include "publish/FotoCaricata.h"
#include "transport/Json.h"

namespace velmora {
namespace {

std::unique_ptr<TJSONArray> Listing(const std::string& json) {
  std::unique_ptr<TJSONValue> value = ParseJSONValue(json);
  EXPECT_TRUE(value && value->Kind() == JSONKind::Array) << json;
  return std::unique_ptr<TJSONArray>(static_cast<TJSONArray*>(value.release()));
}

TEST(ElementoConHash, ChoosesTheElementWhoseHashIsTheDigest) {
  const std::string digest = "0a1b2c3d4e5f60718293a4b5c6d7e8f901234567";
  struct Case {
    const char* name;
    std::string listing;
    std::string sha1;
    const char* uid;  // of the chosen element; nullptr: none
  } cases[] = {
      {.name = "own photo not the newest",
       .listing = R"([{"UID":"p2","Hash":"ffff"},{"UID":"p1","Hash":")" + digest + R"("}])",
       .sha1 = digest,
       .uid = "p1"},
      {.name = "hash in upper case",
       .listing = R"([{"UID":"p1","Hash":"0A1B2C3D4E5F60718293A4B5C6D7E8F901234567"}])",
       .sha1 = digest,
       .uid = "p1"},
      {.name = "first of two equal",
       .listing = R"([{"UID":"a","Hash":")" + digest + R"("},{"UID":"b","Hash":")" + digest + R"("}])",
       .sha1 = digest,
       .uid = "a"},
      {.name = "other kinds and missing hashes passed over",
       .listing =
           R"([3,"x",null,{"UID":"n"},{"UID":"h","Hash":null},{"UID":"p","Hash":")" + digest + R"("}])",
       .sha1 = digest,
       .uid = "p"},
      {.name = "no element carries it",
       .listing = R"([{"UID":"p","Hash":"abc"}])",
       .sha1 = digest,
       .uid = nullptr},
      {.name = "a prefix is not the digest",
       .listing = R"([{"UID":"p","Hash":"0a1b2c3d"}])",
       .sha1 = digest,
       .uid = nullptr},
      {.name = "empty listing", .listing = "[]", .sha1 = digest, .uid = nullptr},
      {.name = "no digest never chooses",
       .listing = R"([{"UID":"p","Hash":""}])",
       .sha1 = "",
       .uid = nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto listing = Listing(c.listing);
    const TJSONObject* chosen = ElementoConHash(*listing, c.sha1);
    const TJSONObject* viaChoice = SceltaPerHash(c.sha1)(*listing);
    EXPECT_EQ(chosen, viaChoice);
    if (!c.uid) {
      EXPECT_EQ(chosen, nullptr);
    } else {
      ASSERT_NE(chosen, nullptr);
      EXPECT_EQ(chosen->GetValue("UID").AsText(), c.uid);
    }
  }
}

}  // namespace
}  // namespace velmora
