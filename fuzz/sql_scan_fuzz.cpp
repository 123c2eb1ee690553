// The statement text scan and the field-name lookup form on arbitrary bytes:
// either a result whose text has no parameter marker left, or the documented
// parse error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "archive/SQLText.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    velmora::ScannedSQL s = velmora::ScanSQLParameters(text);
    // Each parameter became exactly one "?"; the text never grows.
    if (s.text.size() > text.size()) std::abort();
  } catch (const velmora::EIBClientError& e) {
    if (e.SQLCode() != 55) std::abort();
  }
  velmora::NormalizeFieldName(text, 3);
  velmora::NormalizeFieldName(text, 1);
  return 0;
}
