// Byte-level helpers shared by the JSON parser and writer (not part of the
// public interface).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// The length (2, 3 or 4) of the well-formed UTF-8 sequence starting at `p`,
// or 0 when the bytes there are not one (an overlong form, an encoded
// surrogate, a value above U+10FFFF, a stray or missing continuation byte, or
// a sequence cut off by `end`). `p` < `end` and *p >= 0x80.
inline size_t Utf8SequenceLength(const char* p, const char* end) {
  const auto b0 = static_cast<unsigned char>(p[0]);
  const size_t available = static_cast<size_t>(end - p);
  auto continuation = [p](size_t i, unsigned char low, unsigned char high) {
    const auto b = static_cast<unsigned char>(p[i]);
    return b >= low && b <= high;
  };
  if (b0 < 0xC2) return 0;
  if (b0 < 0xE0) return available >= 2 && continuation(1, 0x80, 0xBF) ? 2 : 0;
  if (b0 < 0xF0) {
    const unsigned char low = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = b0 == 0xED ? 0x9F : 0xBF;
    return available >= 3 && continuation(1, low, high) && continuation(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b0 < 0xF5) {
    const unsigned char low = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = b0 == 0xF4 ? 0x8F : 0xBF;
    return available >= 4 && continuation(1, low, high) && continuation(2, 0x80, 0xBF) &&
                   continuation(3, 0x80, 0xBF)
               ? 4
               : 0;
  }
  return 0;
}

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
