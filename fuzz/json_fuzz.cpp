// Parser fuzz target. Whatever parses must write back to text that parses
// again to an equal tree and is written the same way; any bytes escaped as
// string content must read back as a string; path lookups on the parsed tree
// either find something, find nothing or raise the path error.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "transport/Json.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::unique_ptr<TJSONValue> value = ParseJSONValue(text);
  if (value) {
    const std::string written = value->ToString();
    std::unique_ptr<TJSONValue> again = ParseJSONValue(written);
    Check(again != nullptr);
    Check(value->Equals(*again));
    Check(again->ToString() == written);

    // The input's first line as a path.
    const std::string_view path = text.substr(0, std::min<size_t>(text.find('\n'), 64));
    try {
      const TJSONValue* found = value->FindValue(path);
      if (found != nullptr && found->Kind() != JSONKind::Object && found->Kind() != JSONKind::Array) {
        found->AsText();
      }
    } catch (const EJSONPathException&) {
    }
  }

  // Escaping any bytes gives valid string content.
  const std::string quoted = "\"" + EscapeJSONText(text) + "\"";
  std::unique_ptr<TJSONValue> string = ParseJSONValue(quoted);
  Check(string != nullptr && string->Kind() == JSONKind::String);
  Check(EscapeJSONText(string->AsText()) == quoted.substr(1, quoted.size() - 2));
  return 0;
}
