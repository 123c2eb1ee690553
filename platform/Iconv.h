// The owner of one iconv conversion descriptor (glibc's character set
// converter), the only place that opens and closes one.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace velmora {

class Iconv {
 public:
  // Opens the conversion `from` -> `to` (iconv names, e.g. "UTF-8",
  // "ISO-8859-1"). When iconv does not know the pair, Ok() is false and
  // every other member does nothing.
  Iconv(const std::string& to, const std::string& from);
  ~Iconv();
  Iconv(Iconv&& other) noexcept;
  Iconv& operator=(Iconv&& other) noexcept;
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool Ok() const noexcept { return cd_ != kClosed; }

  // Converts as much of `in` as it can, appending the result to `out`, and
  // removes what it converted from the front of `in`. Returns 0 when all of
  // `in` was converted, else the errno that stopped it with `in` starting at
  // the offending bytes: EILSEQ (a sequence invalid in `from`, or a character
  // `to` cannot hold) or EINVAL (a sequence cut off at the end of `in`).
  int Convert(std::string_view& in, std::string& out);

  // Appends the bytes that return a stateful encoding (ISO-2022-JP, ...) to
  // its initial state; nothing for the others. Call once after the last
  // Convert of a text.
  void Finish(std::string& out);

  // Forgets the shift state, as after an error, without writing anything.
  void Reset() noexcept;

 private:
  static inline const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
  iconv_t cd_;
};

}  // namespace velmora
