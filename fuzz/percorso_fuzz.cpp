// UNC directories turned into server paths: any text is handled without harm,
// the warning is due exactly when a share named by more than one character
// has no server path, and the server path given is used as it stands.
//
// Input: the directory, then 0x1F, then the "Percorso Nel Server" value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/QorDB.h"

namespace {

// Stops the run at a broken promise, naming the line that caught it.
#define Check(ok) CheckAt((ok), __LINE__)
void CheckAt(bool ok, int line) {
  if (!ok) {
    std::fprintf(stderr, "percorso_fuzz: check failed at line %d\n", line);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\x1f');
  std::string dir = input.substr(0, split);
  std::string pathOnServer = split == std::string::npos ? std::string() : input.substr(split + 1);

  std::string prefix = "unchanged", share;
  bool sharedByName = false;
  bool warned = velmora::PercorsoDiReteText(dir, pathOnServer, prefix, sharedByName, share);

  Check(warned == !share.empty());
  Check(!warned || (sharedByName && share.size() > 1));
  Check(prefix != "unchanged" || dir.find("unchanged") != std::string::npos);
  if (sharedByName && !warned) {
    // The server path is appended after the server name unchanged.
    Check(prefix.size() >= pathOnServer.size() + 1);
    Check(prefix.compare(prefix.size() - pathOnServer.size(), pathOnServer.size(), pathOnServer) == 0);
  }
  // A share that is a drive letter keeps the rest of the directory after "server:D:".
  if (!sharedByName) Check(prefix.find(':') != std::string::npos);
  // Without a path on the server, the result is built from the directory's own text.
  if (pathOnServer.empty()) Check(prefix.size() <= dir.size() + 2);
  return 0;
}
