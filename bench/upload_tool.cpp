// Uploads one file as a multipart form-data POST with the program's own HTTP
// client and multipart body, exactly as the media upload does, for the upload
// benchmark (bench/upload.sh).
//
// Usage: upload_tool URL FILE [MEDIA_TYPE]
// Prints "seconds=<wall time of the POST> bytes=<body size>" and the answer
// text on standard output; exits 1 with the exception's class and message
// when the upload fails.
#include <cstdio>
#include <string>

#include "platform/Clock.h"
#include "platform/Exceptions.h"
#include "transport/HttpClient.h"
#include "transport/Multipart.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s URL FILE [MEDIA_TYPE]\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const std::string file = argv[2];
  const std::string mediaType = argc == 4 ? argv[3] : "video/mp4";
  try {
    velmora::HttpClient client;
    client.SetConnectTimeout(600000);
    client.SetReadTimeout(600000);
    client.SetUserAgent("Mozilla/5.0 (upload benchmark)");
    client.ResetRequestHeaders();
    client.SetContentType("multipart/form-data");
    velmora::MultipartFormData body;
    body.AddFile("files", file, mediaType);
    uint64_t start = velmora::MonotonicNanoseconds();
    std::string answer = client.Post(url, body, body.RequestContentType());
    uint64_t end = velmora::MonotonicNanoseconds();
    std::printf("seconds=%.6f bytes=%llu\n%s\n", static_cast<double>(end - start) / 1e9,
                static_cast<unsigned long long>(body.Size()), answer.c_str());
    return 0;
  } catch (const velmora::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
    return 1;
  }
}
