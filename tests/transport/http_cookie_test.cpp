// The cookie jar: RFC 6265 storage, matching and ordering.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/CookieJar.h"

namespace velmora {
namespace {

constexpr int64_t kNow = 1700000000;  // 2023-11-14

TEST(CookieDate, ParsesTheFormsServersSend) {
  struct Case {
    const char* text;
    bool ok;
    int64_t seconds;
  };
  const Case cases[] = {
      {"Wed, 09 Jun 2021 10:18:14 GMT", true, 1623233894},
      {"Wednesday, 09-Jun-21 10:18:14 GMT", true, 1623233894},
      {"Wed Jun  9 10:18:14 2021", true, 1623233894},
      {"09 jun 2021 10:18:14", true, 1623233894},
      {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
      {"Sat, 29 Feb 2020 00:00:00 GMT", true, 1582934400},
      {"Fri, 29 Feb 2019 00:00:00 GMT", false, 0},
      {"Wed, 09 Jun 2021 25:18:14 GMT", false, 0},
      {"Wed, 09 Foo 2021 10:18:14 GMT", false, 0},
      {"Wed, 09 Jun 1500 10:18:14 GMT", false, 0},
      {"tomorrow", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t t = -1;
    EXPECT_EQ(ParseCookieDate(c.text, t), c.ok);
    if (c.ok) {
      EXPECT_EQ(t, c.seconds);
    }
  }
}

TEST(CookieJarTest, StoresAndMatchesByDomainPathSecureAndExpiry) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> stored;  // Set-Cookie, URL it came from
    const char* requestUrl;
    const char* header;
  };
  const Case cases[] = {
      {"host-only", {{"a=1", "http://example.com/x"}}, "http://example.com/y", "a=1"},
      {"host-only not for subdomain", {{"a=1", "http://example.com/"}}, "http://www.example.com/", ""},
      {"domain covers subdomains",
       {{"a=1; Domain=.Example.com", "http://example.com/"}},
       "http://www.example.com/",
       "a=1"},
      {"foreign domain ignored", {{"a=1; Domain=other.com", "http://example.com/"}}, "http://other.com/", ""},
      {"domain on IP host must be exact",
       {{"a=1; Domain=0.0.1", "http://127.0.0.1/"}},
       "http://127.0.0.1/",
       ""},
      {"default path is the directory",
       {{"a=1", "http://h/api/v1/session"}},
       "http://h/api/v1/photos",
       "a=1"},
      {"default path not above", {{"a=1", "http://h/api/v1/session"}}, "http://h/api/other", ""},
      {"path prefix needs a boundary", {{"a=1; Path=/api", "http://h/"}}, "http://h/apix", ""},
      {"path prefix at a boundary", {{"a=1; Path=/api", "http://h/"}}, "http://h/api/v1/x", "a=1"},
      {"secure only over https", {{"s=1; Secure", "https://h/"}, {"p=2", "https://h/"}}, "http://h/", "p=2"},
      {"secure over https", {{"s=1; Secure", "https://h/"}, {"p=2", "https://h/"}}, "https://h/", "s=1; p=2"},
      {"longer path first, then older",
       {{"b=1; Path=/", "http://h/"}, {"c=2; Path=/api", "http://h/"}, {"a=3; Path=/", "http://h/"}},
       "http://h/api/x",
       "c=2; b=1; a=3"},
      {"replacement keeps its place",
       {{"a=1", "http://h/"}, {"b=2", "http://h/"}, {"a=9", "http://h/"}},
       "http://h/",
       "a=9; b=2"},
      {"max-age zero deletes", {{"a=1", "http://h/"}, {"a=x; Max-Age=0", "http://h/"}}, "http://h/", ""},
      {"past expires deletes",
       {{"a=1", "http://h/"}, {"a=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT", "http://h/"}},
       "http://h/",
       ""},
      {"max-age beats expires",
       {{"a=1; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=100", "http://h/"}},
       "http://h/",
       "a=1"},
      {"no equals sign ignored", {{"novalue", "http://h/"}}, "http://h/", ""},
      {"empty name ignored", {{"=v", "http://h/"}}, "http://h/", ""},
      {"blanks trimmed", {{"  a  =  1  ; Path = / ", "http://h/x/y"}}, "http://h/", "a=1"},
      {"host compared without case", {{"a=1", "http://EXAMPLE.com/"}}, "http://example.COM/", "a=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CookieJar jar;
    for (const auto& [setCookie, url] : c.stored) jar.Store(setCookie, ParseUrl(url), kNow);
    EXPECT_EQ(jar.HeaderFor(ParseUrl(c.requestUrl), kNow), c.header);
  }
}

TEST(CookieJarTest, ExpiresWithTimeAndStaysBounded) {
  CookieJar jar;
  jar.Store("a=1; Max-Age=10", ParseUrl("http://h/"), kNow);
  EXPECT_EQ(jar.HeaderFor(ParseUrl("http://h/"), kNow + 9), "a=1");
  EXPECT_EQ(jar.HeaderFor(ParseUrl("http://h/"), kNow + 10), "");
  for (int i = 0; i < 3100; ++i) {
    std::string cookie = std::to_string(i);
    cookie.insert(cookie.begin(), 'c');
    cookie.append("=v");
    jar.Store(cookie, ParseUrl("http://h/"), kNow);
  }
  EXPECT_LE(jar.Cookies().size(), 3000u);
  // The newest survive.
  EXPECT_NE(jar.HeaderFor(ParseUrl("http://h/"), kNow).find("c3099=v"), std::string::npos);
}

}  // namespace
}  // namespace velmora
