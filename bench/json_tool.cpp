// Writes the JSON benchmark document to a file, so that other JSON
// implementations can be measured on exactly the same bytes.
#include <cstdio>
#include <cstring>

#include "bench/JsonBenchDocument.h"

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: json_tool OUTPUT_FILE\n");
    return 2;
  }
  const std::string document = velmora::bench::PhotoListDocument();
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(document.data(), 1, document.size(), file) == document.size();
  if (std::fclose(file) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
