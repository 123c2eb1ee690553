// The attach and transaction parameter blocks from arbitrary lines: either a
// block that starts with its version byte, or a client error of the layer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/ParameterBlocks.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      lines.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  lines.push_back(current);
  try {
    std::string dpb = velmora::BuildDPB(lines);
    if (dpb.empty() || dpb[0] != 1) std::abort();
  } catch (const velmora::EIBClientError&) {
  }
  try {
    std::string tpb = velmora::BuildTPB(lines);
    if (!tpb.empty() && tpb[0] != 3) std::abort();
  } catch (const velmora::EIBClientError&) {
  }
  velmora::CreateDatabaseStatement(current, lines);
  return 0;
}
