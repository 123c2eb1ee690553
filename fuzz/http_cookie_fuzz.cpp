// Feeds arbitrary text to the URL reader, the request-line and header
// writers and the cookie jar: input split at LF into a URL followed by
// "Set-Cookie" values. Nothing may crash, and what goes on the wire must stay
// one line each.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "transport/CookieJar.h"
#include "transport/HttpWire.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool OneLine(std::string_view text) {
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t lf = input.find('\n');
  std::string_view urlText = input.substr(0, lf);
  velmora::Url url = velmora::ParseUrl(urlText);
  try {
    int port = velmora::RequestPort(url);
    Check(OneLine(velmora::RequestTarget(url)));
    Check(velmora::RequestTarget(url).find(' ') == std::string::npos);
    Check(OneLine(velmora::HostHeaderValue(url, port)));
  } catch (const velmora::Exception&) {
  }
  velmora::CookieJar jar;
  int64_t now = 1700000000;
  while (lf != std::string_view::npos) {
    input.remove_prefix(lf + 1);
    lf = input.find('\n');
    std::string_view line = input.substr(0, lf);
    jar.Store(line, url, now);
    int64_t when;
    velmora::ParseCookieDate(line, when);
    Check(OneLine(velmora::SevenBitHeaderText(line)));
    now += 7;
  }
  Check(OneLine(velmora::SevenBitHeaderText(jar.HeaderFor(url, now))));
  return 0;
}
