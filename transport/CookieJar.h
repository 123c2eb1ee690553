// The client's cookie store with the storage and matching rules of RFC 6265.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/HttpWire.h"

namespace velmora {

struct Cookie {
  std::string name;
  std::string value;
  std::string domain;  // lower case, without leading "."
  std::string path;
  int64_t expiry = INT64_MAX;  // seconds since the epoch; INT64_MAX: session cookie
  bool persistent = false;
  bool hostOnly = true;
  bool secure = false;
  bool httpOnly = false;
  uint64_t creation = 0;  // order of first storage (kept on replacement)
};

// A cookie date (RFC 6265 section 5.1.1) as seconds since the epoch; false
// when the text is not a valid date.
bool ParseCookieDate(std::string_view text, int64_t& secondsSinceEpoch);

class CookieJar {
 public:
  // Stores the cookie of one "Set-Cookie" value received for `url` at time
  // `now` (seconds since the epoch). A malformed value, or a Domain
  // attribute that does not cover the URL's host, is ignored; an expired
  // cookie removes a stored one of the same name, domain and path.
  void Store(std::string_view setCookie, const Url& url, int64_t now);
  // The "Cookie" value for a request to `url` at `now`: name=value pairs of
  // the matching cookies joined by "; ", longer paths first, then older
  // first; secure cookies only for https. Empty when none match.
  std::string HeaderFor(const Url& url, int64_t now) const;
  const std::vector<Cookie>& Cookies() const { return cookies_; }

 private:
  // Drops what has expired at `now`, then stores `cookie` in place of the one
  // of the same name, domain and path (keeping that one's creation order),
  // or as the newest; a cookie expired already only removes its namesake.
  void Keep(Cookie cookie, int64_t now);

  std::vector<Cookie> cookies_;
  uint64_t nextCreation_ = 0;
};

}  // namespace velmora
