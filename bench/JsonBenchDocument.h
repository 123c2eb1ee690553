// The document of the JSON benchmarks: a photo list answer as the server
// sends it (an array of photo objects, newest first), about 10 MB.
#pragma once

#include <cstdio>
#include <string>

namespace velmora::bench {

inline std::string PhotoListDocument(int photos = 50000) {
  std::string text;
  text.reserve(static_cast<size_t>(photos) * 210);
  text += '[';
  char buffer[512];
  for (int i = 0; i < photos; ++i) {
    const unsigned hash = 2654435761u * static_cast<unsigned>(i + 1);
    const int length =
        std::snprintf(buffer, sizeof buffer,
                      "%s{\"ID\":%d,\"UID\":\"pr%08x%06d\",\"Title\":\"Ros\\u0073i \xE2\x80\x93 n\xC2\xB0 "
                      "%d\",\"Favorite\":%s,\"Lat\":45.%06d,\"Lng\":9.%06d,"
                      "\"FileName\":\"2024/%02d/IMG_%05d.%s\",\"Hash\":\"%08x%08x%08x%08x%08x\"}",
                      i == 0 ? "" : ",", i + 1, hash, i, i + 1, i % 3 == 0 ? "true" : "false",
                      (i * 37) % 1000000, (i * 91) % 1000000, 1 + i % 12, i, i % 10 == 0 ? "mp4" : "jpg",
                      hash, hash ^ 0x5bd1e995u, hash * 3u, hash + 17u, ~hash);
    text.append(buffer, static_cast<size_t>(length));
  }
  text += ']';
  return text;
}

}  // namespace velmora::bench
