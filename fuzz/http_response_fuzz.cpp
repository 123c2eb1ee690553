// Feeds arbitrary bytes to the answer reader as a server's answer: status
// line, headers, framing and charset decoding must end in a result or one of
// the documented exceptions, within bounded memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/Exceptions.h"
#include "transport/HttpWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the piece size the stream hands out and whether the
  // body is read as a failure answer's.
  size_t piece = 1 + (data[0] & 0x3F);
  bool tolerate = (data[0] & 0x40) != 0;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  velmora::MemoryHttpStream stream(input, piece);
  velmora::ReaderLimits limits;
  limits.maxBodyBytes = 1 << 20;
  velmora::ResponseReader reader(stream, limits);
  try {
    velmora::HttpResponseHead head = reader.ReadFinalHead([](const velmora::HttpResponseHead&) {});
    std::string body = reader.ReadBody(head, tolerate);
    std::string text = velmora::DecodeBody(body, head);
    // Taking the bytes must give the same text as copying them.
    if (velmora::DecodeBody(std::move(body), head) != text) __builtin_trap();
  } catch (const velmora::Exception&) {
    // Every documented failure is an Exception.
  }
  return 0;
}
