// The choice of the uploaded photo by its content hash among the elements of
// the album's photo listing, and the lookup that reads the listing page by
// page with it, against scripted listings of the test Prism server.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "publish/SceltaPerHash.h"
#include "tests/peers/PrismPeer.h"
#include "transport/HttpClient.h"
#include "transport/Json.h"
#include "transport/Sha1.h"

namespace velmora {
namespace {

using test::PrismPeer;

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
    SceltaPerHash choice(c.sha1);
    EXPECT_EQ(choice.Scegli(*listing), chosen);
    if (!c.uid) {
      EXPECT_EQ(chosen, nullptr);
    } else {
      ASSERT_NE(chosen, nullptr);
      EXPECT_EQ(chosen->GetValue("UID").AsText(), c.uid);
    }
  }
}

TEST(FormaSha1, FortyHexDigitsInEitherCase) {
  struct Case {
    std::string hash;
    bool sha1;
  } cases[] = {{"0a1b2c3d4e5f60718293a4b5c6d7e8f901234567", true},
               {"0A1B2C3D4E5F60718293A4B5C6D7E8F901234567", true},
               {"0a1b2c3d4e5f60718293a4b5c6d7e8f90123456", false},    // 39
               {"0a1b2c3d4e5f60718293a4b5c6d7e8f9012345678", false},  // 41
               {"0a1b2c3d4e5f60718293a4b5c6d7e8f90123456g", false},
               {" a1b2c3d4e5f60718293a4b5c6d7e8f901234567", false},
               {"h1", false},
               {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hash);
    EXPECT_EQ(FormaSha1(c.hash), c.sha1);
  }
}

// ---- The lookup, page by page ----

const std::string kOwn = Sha1Hex("the bytes this run sent");

// A SHA-1-shaped hash of somebody else's photo.
std::string Foreign(int n) { return Sha1Hex("foreign photo " + std::to_string(n)); }

// One listing element.
std::string Element(const std::string& uid, const std::string& fileName, const std::string& hash) {
  return R"({"UID":")" + uid + R"(","FileName":")" + fileName + R"(","Hash":")" + hash + R"("})";
}

// `count` foreign .jpg photos, numbered from `first`; `hashOf` gives each hash.
std::vector<std::string> Photos(int first, int count, std::string (*hashOf)(int) = Foreign) {
  std::vector<std::string> out;
  for (int i = first; i < first + count; ++i)
    out.push_back(Element("p" + std::to_string(i), "2024/01/f" + std::to_string(i) + ".jpg", hashOf(i)));
  return out;
}

std::string Join(const std::vector<std::string>& elements) {
  std::string out = "[";
  for (const std::string& e : elements) out += (out.size() > 1 ? "," : "") + e;
  return out + "]";
}

// An answer rule for the listing page at `offset` (-1: every page).
std::string PageRule(int offset, const std::string& answer, int status = 200) {
  const std::string path = offset < 0 ? "^api/v1/photos" : "offset=" + std::to_string(offset) + "&";
  return R"({"method":"GET","path":")" + path + R"(","status":)" + std::to_string(status) + R"(,"body":)" +
         answer + "}";
}

std::string PageUrl(int offset) {
  return "GET /api/v1/photos?count=120&offset=" + std::to_string(offset) + "&order=newest&s=A1";
}

std::string NonSha1(int n) { return "h" + std::to_string(n); }

TEST(LookupByHash, ReadsOnWhileThePagesAreFullAndNeverTakesAnotherPhoto) {
  std::vector<std::string> ownOnPage2 = Photos(120, 30);
  ownOnPage2.insert(ownOnPage2.begin() + 7, Element("mine", "2019/05/sposi.jpg", kOwn));
  std::vector<std::string> video{Element("v1", "2024/01/film.mp4.jpg", Foreign(999)),
                                 Element("v1", "2024/01/film.mp4", kOwn)};
  std::vector<std::string> mixed = Photos(120, 5);
  std::string upper = kOwn;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    std::vector<std::string> rules;
    std::string ext = "jpg";
    const char* uid;           // of the result, nullptr for none
    std::string hash = kOwn;   // of the result
    std::vector<int> offsets;  // of the pages asked for
    std::vector<std::string> lines = {};
  } cases[] = {
      {.name = "small album: the one documented request",
       .rules = {PageRule(0, Join({Photos(0, 3)[0], Element("mine", "a.jpg", kOwn), Photos(3, 1)[0]}))},
       .uid = "mine",
       .offsets = {0}},
      {.name = "own photo on the second page",
       .rules = {PageRule(0, Join(Photos(0, 120))), PageRule(120, Join(ownOnPage2))},
       .uid = "mine",
       .offsets = {0, 120}},
      {.name = "upper-case hash on the listing",
       .rules = {PageRule(0, Join({Element("mine", "a.jpg", upper)}))},
       .uid = "mine",
       .hash = upper,
       .offsets = {0}},
      {.name = "a video: the element with the upload's hash, not its preview",
       .rules = {PageRule(0, Join({Photos(0, 1)[0], video[0], video[1]}))},
       .ext = "mp4",
       .uid = "v1",
       .offsets = {0}},
      {.name = "SHA-1 hashes without ours on a short page: none",
       .rules = {PageRule(0, Join(Photos(0, 5)))},
       .uid = nullptr,
       .offsets = {0}},
      {.name = "SHA-1 hashes without ours on every page read: none",
       .rules = {PageRule(0, Join(Photos(0, 120))), PageRule(120, Join(Photos(120, 120))),
                 PageRule(240, Join(Photos(240, 2)))},
       .uid = nullptr,
       .offsets = {0, 120, 240}},
      {.name = "full pages without end: 100 pages at most",
       .rules = {PageRule(-1, Join(Photos(0, 120)))},
       .uid = nullptr,
       .offsets = {}},
      {.name = "a server hashing otherwise keeps the file-name rule",
       .rules = {PageRule(0, Join({Element("m1", "a.mp4", "h0"), Element("j1", "b.jpg", "h1")}))},
       .uid = "j1",
       .hash = "h1",
       .offsets = {0}},
      {.name = "a server hashing otherwise: the rule on the first page after reading on",
       .rules = {PageRule(0, Join(Photos(0, 120, NonSha1))), PageRule(120, Join(Photos(120, 3, NonSha1)))},
       .uid = "p0",
       .hash = "h0",
       .offsets = {0, 120}},
      {.name = "SHA-1 hashes on a later page only: none",
       .rules = {PageRule(0, Join(Photos(0, 120, NonSha1))), PageRule(120, Join(mixed))},
       .uid = nullptr,
       .offsets = {0, 120}},
      {.name = "a later page not JSON ends the reading",
       .rules = {PageRule(0, Join(Photos(0, 120))), PageRule(120, R"("<html>")")},
       .uid = nullptr,
       .offsets = {0, 120}},
      {.name = "a later page refused",
       .rules = {PageRule(0, Join(Photos(0, 120))), PageRule(120, R"({"error":"x"})", 500)},
       .uid = nullptr,
       .offsets = {0, 120},
       .lines = {"Error: HTTP/1.1 500 Internal Server Error"}},
      {.name = "the documented failures of the first page stay",
       .rules = {PageRule(0, R"([{"UID":"p"},{"FileName":"a.jpg","UID":"p","Hash":"h"}])")},
       .uid = nullptr,
       .offsets = {0},
       .lines = {"Error: Value 'FileName' not found"}},
      {.name = "first page not JSON", .rules = {PageRule(0, R"("<html>")")}, .uid = nullptr, .offsets = {0}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.offsets.empty())
      for (int i = 0; i < 100; ++i) c.offsets.push_back(120 * i);
    std::string script = "[";
    for (const std::string& r : c.rules) script += (script.size() > 1 ? "," : "") + r;
    PrismPeer peer(test::WithScript(script + "]"));
    HttpClient http;
    http.SetReadTimeout(60000);
    StatoPrism stato;
    stato.TokenPrism = "tk";
    std::vector<std::string> lines;
    ConsoleRedirect console([&](std::string_view line) { lines.emplace_back(line); });
    SceltaPerHash choice(kOwn);
    RicercaFoto ricerca = CercaFotoCaricata(http, stato, peer.BaseUrl(), "A1", c.ext, &choice);
    // Nothing is written; the failure comes back as the run's "Error: " line.
    if (!ricerca.errore.empty()) lines.push_back("Error: " + ricerca.errore);
    const std::unique_ptr<TJSONObject>& result = ricerca.foto;
    if (c.uid == nullptr) {
      EXPECT_FALSE(result) << result->ToString();
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ(result->ToString(), R"({"UID":")" + std::string(c.uid) + R"(","Hash":")" + c.hash + R"("})");
    }
    EXPECT_EQ(lines, c.lines);
    std::vector<std::string> expected;
    for (int offset : c.offsets) expected.push_back(PageUrl(offset));
    EXPECT_EQ(peer.RequestLines(), expected);
    for (const auto& request : peer.Requests()) EXPECT_EQ(PrismPeer::Header(*request, "X-Auth-Token"), "tk");
  }
}

}  // namespace
}  // namespace velmora
