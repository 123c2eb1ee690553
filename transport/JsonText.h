// Byte-level helpers shared by the JSON parser and writer (not part of the
// public interface). Well-formed UTF-8 is recognised by the platform's
// decoder (Utf8SequenceLength in platform/CodePage.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/CodePage.h"

namespace velmora {

// 3 when the bytes at `p` are the three-byte form of a surrogate code unit
// (ED A0..BF 80..BF), the way the tree keeps a lone surrogate; else 0.
inline size_t SurrogateSequenceLength(const char* p, const char* end) {
  if (end - p < 3) return 0;
  const auto b0 = static_cast<unsigned char>(p[0]);
  const auto b1 = static_cast<unsigned char>(p[1]);
  const auto b2 = static_cast<unsigned char>(p[2]);
  return b0 == 0xED && b1 >= 0xA0 && b1 <= 0xBF && b2 >= 0x80 && b2 <= 0xBF ? 3 : 0;
}

// The code unit of the surrogate whose three-byte form starts at `p`.
inline unsigned SurrogateUnit(const char* p) {
  return ((static_cast<unsigned char>(p[0]) & 0x0Fu) << 12) |
         ((static_cast<unsigned char>(p[1]) & 0x3Fu) << 6) | (static_cast<unsigned char>(p[2]) & 0x3Fu);
}

class JSONNodeBlocks;

// While one of these exists, the values created on this thread (by the
// parser) come from one new set of shared blocks instead of the heap.
class JSONNodeBlocksScope {
 public:
  JSONNodeBlocksScope();
  ~JSONNodeBlocksScope();
  JSONNodeBlocksScope(const JSONNodeBlocksScope&) = delete;
  JSONNodeBlocksScope& operator=(const JSONNodeBlocksScope&) = delete;

 private:
  JSONNodeBlocks* blocks_;
  JSONNodeBlocks* previous_;
};

}  // namespace velmora
