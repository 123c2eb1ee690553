#include "transport/CookieJar.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace velmora {

namespace {

// Bound on stored cookies; the oldest goes first when a server sends more.
constexpr size_t kMaxCookies = 3000;

bool IsDelimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads 1..max digits at the start of `s` followed by nothing or a
// non-digit; returns the count of digits read (0 on failure).
size_t LeadingNumber(std::string_view s, size_t minDigits, size_t maxDigits, int& value) {
  size_t n = 0;
  value = 0;
  while (n < s.size() && IsDigit(s[n])) {
    if (n == maxDigits) return 0;
    value = value * 10 + (s[n] - '0');
    ++n;
  }
  return n >= minDigits ? n : 0;
}

bool ParseTime(std::string_view token, int& h, int& m, int& s) {
  size_t a = LeadingNumber(token, 1, 2, h);
  if (a == 0 || a >= token.size() || token[a] != ':') return false;
  token.remove_prefix(a + 1);
  size_t b = LeadingNumber(token, 1, 2, m);
  if (b == 0 || b >= token.size() || token[b] != ':') return false;
  token.remove_prefix(b + 1);
  return LeadingNumber(token, 1, 2, s) != 0;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsIpAddress(const std::string& host) {
  unsigned char buf[16];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

bool DomainMatches(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  if (domain.empty() || host.size() <= domain.size() || IsIpAddress(host)) return false;
  return host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

bool PathMatches(const std::string& requestPath, const std::string& cookiePath) {
  if (requestPath == cookiePath) return true;
  if (requestPath.compare(0, cookiePath.size(), cookiePath) != 0) return false;
  return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string RequestPath(const Url& url) { return url.path + url.document; }

std::string DefaultPath(const Url& url) {
  std::string path = RequestPath(url);
  if (path.empty() || path.front() != '/') return "/";
  size_t last = path.rfind('/');
  return last == 0 ? "/" : path.substr(0, last);
}

}  // namespace

bool ParseCookieDate(std::string_view text, int64_t& secondsSinceEpoch) {
  bool haveTime = false, haveDay = false, haveMonth = false, haveYear = false;
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  static const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                  "jul", "aug", "sep", "oct", "nov", "dec"};
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsDelimiter(static_cast<unsigned char>(text[i]))) ++i;
    size_t start = i;
    while (i < text.size() && !IsDelimiter(static_cast<unsigned char>(text[i]))) ++i;
    std::string_view token = text.substr(start, i - start);
    if (token.empty()) continue;
    int h, m, s, v;
    if (!haveTime && ParseTime(token, h, m, s)) {
      haveTime = true;
      hour = h;
      minute = m;
      second = s;
    } else if (!haveDay && LeadingNumber(token, 1, 2, v) != 0) {
      haveDay = true;
      day = v;
    } else if (!haveMonth && token.size() >= 3) {
      std::string prefix = LowerAscii(token.substr(0, 3));
      for (int k = 0; k < 12; ++k) {
        if (prefix == kMonths[k]) {
          haveMonth = true;
          month = k + 1;
        }
      }
      if (!haveMonth && !haveYear && LeadingNumber(token, 2, 4, v) != 0) {
        haveYear = true;
        year = v;
      }
    } else if (!haveYear && LeadingNumber(token, 2, 4, v) != 0) {
      haveYear = true;
      year = v;
    }
  }
  if (!haveTime || !haveDay || !haveMonth || !haveYear) return false;
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59) return false;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return false;
  secondsSinceEpoch = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                      hour * 3600 + minute * 60 + second;
  return true;
}

namespace {

// The expiry a Max-Age value gives at `now`: a value of zero or below has
// expired already (INT64_MIN), a very large one never comes (INT64_MAX - 1).
// False, `expiry` unchanged, when the value is not an optionally negative
// string of digits (the attribute is then ignored).
bool MaxAgeExpiry(std::string_view value, int64_t now, int64_t& expiry) {
  bool negative = !value.empty() && value.front() == '-';
  std::string_view digits = negative ? value.substr(1) : value;
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) return false;
  if (negative || digits.find_first_not_of('0') == std::string_view::npos) {
    expiry = INT64_MIN;
  } else if (digits.size() > 12) {
    expiry = INT64_MAX - 1;
  } else {
    expiry = now + std::stoll(std::string(digits));
  }
  return true;
}

}  // namespace

void CookieJar::Store(std::string_view setCookie, const Url& url, int64_t now) {
  size_t semi = setCookie.find(';');
  std::string_view pair = setCookie.substr(0, semi);
  size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return;
  Cookie cookie;
  cookie.name = std::string(Trim(pair.substr(0, eq), kSpaceTab));
  cookie.value = std::string(Trim(pair.substr(eq + 1), kSpaceTab));
  if (cookie.name.empty()) return;

  bool haveMaxAge = false, haveExpires = false;
  int64_t maxAgeExpiry = 0, expiresExpiry = 0;
  std::string domainAttr, pathAttr;
  while (semi != std::string_view::npos) {
    std::string_view rest = setCookie.substr(semi + 1);
    size_t next = rest.find(';');
    std::string_view attr = rest.substr(0, next);
    semi = next == std::string_view::npos ? next : semi + 1 + next;
    size_t aeq = attr.find('=');
    std::string name = LowerAscii(Trim(attr.substr(0, aeq), kSpaceTab));
    std::string_view value =
        aeq == std::string_view::npos ? std::string_view() : Trim(attr.substr(aeq + 1), kSpaceTab);
    if (name == "expires") {
      int64_t t;
      if (ParseCookieDate(value, t)) {
        haveExpires = true;
        expiresExpiry = t;
      }
    } else if (name == "max-age") {
      if (MaxAgeExpiry(value, now, maxAgeExpiry)) haveMaxAge = true;
    } else if (name == "domain") {
      std::string_view d = value;
      if (!d.empty() && d.front() == '.') d.remove_prefix(1);
      if (!d.empty()) domainAttr = LowerAscii(d);
    } else if (name == "path") {
      pathAttr = (!value.empty() && value.front() == '/') ? std::string(value) : std::string();
    } else if (name == "secure") {
      cookie.secure = true;
    } else if (name == "httponly") {
      cookie.httpOnly = true;
    }
  }
  if (haveMaxAge) {
    cookie.persistent = true;
    cookie.expiry = maxAgeExpiry;
  } else if (haveExpires) {
    cookie.persistent = true;
    cookie.expiry = expiresExpiry;
  }
  std::string host = LowerAscii(url.host);
  if (!domainAttr.empty()) {
    if (!DomainMatches(host, domainAttr)) return;
    cookie.hostOnly = false;
    cookie.domain = domainAttr;
  } else {
    cookie.hostOnly = true;
    cookie.domain = host;
  }
  cookie.path = pathAttr.empty() ? DefaultPath(url) : pathAttr;

  Keep(std::move(cookie), now);
}

void CookieJar::Keep(Cookie cookie, int64_t now) {
  cookies_.erase(
      std::remove_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) { return c.expiry <= now; }),
      cookies_.end());
  auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
    return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
  });
  if (same != cookies_.end()) {
    // Replaced in place: the stored order stays the order of creation.
    if (cookie.expiry <= now) {
      cookies_.erase(same);
    } else {
      cookie.creation = same->creation;
      *same = std::move(cookie);
    }
    return;
  }
  if (cookie.expiry <= now) return;
  cookie.creation = nextCreation_++;
  if (cookies_.size() >= kMaxCookies) cookies_.erase(cookies_.begin());
  cookies_.push_back(std::move(cookie));
}

std::string CookieJar::HeaderFor(const Url& url, int64_t now) const {
  std::string host = LowerAscii(url.host);
  std::string path = RequestPath(url);
  bool secureScheme = LowerAscii(url.scheme) == "https";
  std::vector<const Cookie*> matching;
  for (const Cookie& c : cookies_) {
    if (c.expiry <= now) continue;
    if (c.hostOnly ? host != c.domain : !DomainMatches(host, c.domain)) continue;
    if (!PathMatches(path, c.path)) continue;
    if (c.secure && !secureScheme) continue;
    matching.push_back(&c);
  }
  std::stable_sort(matching.begin(), matching.end(), [](const Cookie* a, const Cookie* b) {
    if (a->path.size() != b->path.size()) return a->path.size() > b->path.size();
    return a->creation < b->creation;
  });
  std::string header;
  for (const Cookie* c : matching) {
    if (!header.empty()) header += "; ";
    header += c->name + "=" + c->value;
  }
  return header;
}

}  // namespace velmora
