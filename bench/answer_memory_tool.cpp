// Reads one answer with the run's HTTP client (default bounds) and prints the
// process's peak resident memory before and after it, from /proc:
//   answer_memory_tool URL
// prints "before_kb after_kb outcome", the outcome being "ok <bytes>" or the
// exception's class name and message.
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/Exceptions.h"
#include "transport/HttpClient.h"

namespace {

long PeakKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: answer_memory_tool URL\n");
    return 2;
  }
  long before = PeakKb();
  std::string outcome;
  {
    velmora::HttpClient http;
    http.SetConnectTimeout(10000);
    http.SetReadTimeout(60000);
    try {
      outcome = "ok " + std::to_string(http.Get(argv[1]).size());
    } catch (const velmora::Exception& e) {
      outcome = std::string(e.ClassName()) + ": " + e.Message();
    }
  }
  std::printf("%ld %ld %s\n", before, PeakKb(), outcome.c_str());
  return 0;
}
