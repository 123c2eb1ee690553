// ParseJSONValue: a single pass over the bytes with an explicit stack of open
// containers, so deep input cannot exhaust the call stack.
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/CodePage.h"
#include "transport/Json.h"
#include "transport/JsonText.h"

namespace velmora {

// Fills the containers the parser builds (its access to their storage).
class JSONTreeBuilder {
 public:
  static void Reserve(TJSONObject& object, size_t count) { object.pairs_.reserve(count); }
  static void Reserve(TJSONArray& array, size_t count) { array.items_.reserve(count); }
  static void Append(TJSONObject& object, std::string& name, std::unique_ptr<TJSONValue> value) {
    object.pairs_.emplace_back(std::move(name), std::move(value));
  }
  static void Append(TJSONArray& array, std::unique_ptr<TJSONValue> value) {
    array.items_.push_back(std::move(value));
  }
  // The number of members / elements, after giving back room reserved in
  // vain when more than an eighth of it stayed unused.
  template <typename Items>
  static size_t Trim(Items& items) {
    if (items.capacity() - items.size() > items.size() / 8) items.shrink_to_fit();
    return items.size();
  }
  static size_t Finish(TJSONObject& object) { return Trim(object.pairs_); }
  static size_t Finish(TJSONArray& array) { return Trim(array.items_); }
};

namespace {

// Bytes that a string copies without a closer look: everything but the
// quotation mark, the backslash and the bytes of multi-byte characters.
struct PlainStringBytes {
  bool plain[256];
  constexpr PlainStringBytes() : plain() {
    for (int c = 0; c < 256; ++c) plain[c] = c != '"' && c != '\\' && c < 0x80;
  }
};
constexpr PlainStringBytes kPlain;

// The first byte at or after `p` that a string cannot copy without a closer
// look (see kPlain), or `end`. Eight bytes are tested at a time: a word with
// no quotation mark, backslash or byte >= 0x80 is skipped whole.
inline const char* SkipPlainBytes(const char* p, const char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  // The high bit of every zero byte of `v` is set in the result, and bits
  // above the lowest zero byte may be set too; below it none is.
  auto zeroBytes = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    const uint64_t stop =
        (word & kHighs) | zeroBytes(word ^ (kOnes * '"')) | zeroBytes(word ^ (kOnes * '\\'));
    if (stop != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return p + (std::countr_zero(stop) >> 3);
      } else {
        break;  // the byte loop below finds it
      }
    }
    p += 8;
  }
  while (p < end && kPlain.plain[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

inline bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(const char* begin, const char* end) : p_(begin), end_(end) {}

  std::unique_ptr<TJSONValue> Run();

 private:
  // An open object or array. Members and elements go straight into their
  // container; its room is reserved for as many as the container closed last
  // at the same depth had, which fits exactly for the lists of like objects
  // answers consist of.
  struct Frame {
    TJSONValue* container;  // owned by its parent, or by root_
    bool isObject;
    std::string name;  // the member name waiting for its value
  };

  void SkipWhitespace() {
    while (p_ < end_ && IsWhitespace(*p_)) ++p_;
  }
  bool Consume(char c) {
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool ReadMemberName(Frame& frame);
  bool ReadString(std::string& out);
  bool ReadEscape(std::string& out);
  bool ReadHex4(unsigned& unit);
  bool ReadNumber(std::string& out);
  bool ReadWord(const char* word, size_t length);
  void Attach(std::unique_ptr<TJSONValue> value);

  const char* p_;
  const char* const end_;
  void Close();

  std::unique_ptr<TJSONValue> root_;
  std::vector<Frame> stack_;
  // Per depth, the size of the object / array that closed last there.
  std::vector<size_t> objectSizes_ = std::vector<size_t>(kJSONMaxDepth, 0);
  std::vector<size_t> arraySizes_ = std::vector<size_t>(kJSONMaxDepth, 0);
};

// Reads `"name"` `:` of the next member into frame.name (p_ at the quote).
bool Parser::ReadMemberName(Frame& frame) {
  if (!Consume('"')) return false;
  frame.name.clear();
  if (!ReadString(frame.name)) return false;
  SkipWhitespace();
  if (!Consume(':')) return false;
  SkipWhitespace();
  return true;
}

// Reads the rest of a string (p_ just after the opening quote) into `out`.
bool Parser::ReadString(std::string& out) {
  const char* run = p_;
  for (;;) {
    p_ = SkipPlainBytes(p_, end_);
    if (p_ == end_) return false;
    const char c = *p_;
    if (static_cast<unsigned char>(c) >= 0x80) {
      const size_t length = Utf8SequenceLength(p_, end_);
      if (length == 0) return false;
      p_ += length;
      continue;
    }
    out.append(run, p_ - run);
    ++p_;
    if (c == '"') return true;
    if (!ReadEscape(out)) return false;
    run = p_;
  }
}

bool Parser::ReadHex4(unsigned& unit) {
  if (end_ - p_ < 4) return false;
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexValue(p_[i]);
    if (digit < 0) return false;
    unit = (unit << 4) | static_cast<unsigned>(digit);
  }
  p_ += 4;
  return true;
}

// Reads one escape (p_ just after the backslash) and appends what it means.
bool Parser::ReadEscape(std::string& out) {
  if (p_ == end_) return false;
  switch (*p_++) {
    case '"':
      out.push_back('"');
      return true;
    case '\\':
      out.push_back('\\');
      return true;
    case '/':
      out.push_back('/');
      return true;
    case 'b':
      out.push_back('\b');
      return true;
    case 'f':
      out.push_back('\f');
      return true;
    case 'n':
      out.push_back('\n');
      return true;
    case 'r':
      out.push_back('\r');
      return true;
    case 't':
      out.push_back('\t');
      return true;
    case 'u':
      break;
    default:
      return false;
  }
  unsigned unit;
  if (!ReadHex4(unit)) return false;
  if (unit >= 0xD800 && unit <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
    // A high surrogate directly followed by a low one is one character.
    const char* const resume = p_;
    p_ += 2;
    unsigned low;
    if (ReadHex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
      AppendUtf8(out, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
      return true;
    }
    p_ = resume;  // the next escape is read on its own
  }
  // Any other unit, a lone surrogate included (in its three-byte form).
  AppendUtf8(out, static_cast<char32_t>(unit));
  return true;
}

// Reads a number (p_ at '-' or a digit) and keeps its characters as written.
bool Parser::ReadNumber(std::string& out) {
  const char* const start = p_;
  Consume('-');
  if (p_ == end_) return false;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && IsDigit(*p_)) return false;
  } else if (IsDigit(*p_)) {
    while (p_ < end_ && IsDigit(*p_)) ++p_;
  } else {
    return false;
  }
  if (Consume('.')) {
    if (p_ == end_ || !IsDigit(*p_)) return false;
    while (p_ < end_ && IsDigit(*p_)) ++p_;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (!Consume('+')) Consume('-');
    if (p_ == end_ || !IsDigit(*p_)) return false;
    while (p_ < end_ && IsDigit(*p_)) ++p_;
  }
  out.assign(start, p_ - start);
  return true;
}

bool Parser::ReadWord(const char* word, size_t length) {
  if (static_cast<size_t>(end_ - p_) < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (p_[i] != word[i]) return false;
  }
  p_ += length;
  return true;
}

// Hands a finished value to the innermost open container, or makes it the root.
void Parser::Attach(std::unique_ptr<TJSONValue> value) {
  if (stack_.empty()) {
    root_ = std::move(value);
    return;
  }
  Frame& top = stack_.back();
  if (top.isObject) {
    JSONTreeBuilder::Append(static_cast<TJSONObject&>(*top.container), top.name, std::move(value));
  } else {
    JSONTreeBuilder::Append(static_cast<TJSONArray&>(*top.container), std::move(value));
  }
}

// Closes the innermost open container.
void Parser::Close() {
  Frame& top = stack_.back();
  const size_t depth = stack_.size() - 1;
  if (top.isObject) {
    objectSizes_[depth] = JSONTreeBuilder::Finish(static_cast<TJSONObject&>(*top.container));
  } else {
    arraySizes_[depth] = JSONTreeBuilder::Finish(static_cast<TJSONArray&>(*top.container));
  }
  stack_.pop_back();
}

std::unique_ptr<TJSONValue> Parser::Run() {
  if (end_ - p_ >= 3 && p_[0] == '\xEF' && p_[1] == '\xBB' && p_[2] == '\xBF') p_ += 3;
  SkipWhitespace();
  for (;;) {
    // A value is expected at p_ (whitespace before it already skipped).
    if (p_ == end_) return nullptr;
    bool closedContainer = false;
    switch (*p_) {
      case '{':
      case '[': {
        if (stack_.size() >= static_cast<size_t>(kJSONMaxDepth)) return nullptr;
        const bool isObject = *p_ == '{';
        ++p_;
        std::unique_ptr<TJSONValue> container;
        if (isObject) {
          container = std::make_unique<TJSONObject>();
        } else {
          container = std::make_unique<TJSONArray>();
        }
        TJSONValue* const raw = container.get();
        Attach(std::move(container));
        const size_t depth = stack_.size();
        stack_.push_back(Frame{raw, isObject, std::string()});
        SkipWhitespace();
        if (Consume(isObject ? '}' : ']')) {
          stack_.pop_back();
          closedContainer = true;
          break;
        }
        if (isObject) {
          JSONTreeBuilder::Reserve(static_cast<TJSONObject&>(*raw), objectSizes_[depth]);
          if (!ReadMemberName(stack_.back())) return nullptr;
        } else {
          JSONTreeBuilder::Reserve(static_cast<TJSONArray&>(*raw), arraySizes_[depth]);
        }
        continue;  // the first member's value or the first element
      }
      case '"': {
        ++p_;
        std::string text;
        if (!ReadString(text)) return nullptr;
        Attach(std::make_unique<TJSONString>(std::move(text)));
        break;
      }
      case 't':
        if (!ReadWord("true", 4)) return nullptr;
        Attach(std::make_unique<TJSONTrue>());
        break;
      case 'f':
        if (!ReadWord("false", 5)) return nullptr;
        Attach(std::make_unique<TJSONFalse>());
        break;
      case 'n':
        if (!ReadWord("null", 4)) return nullptr;
        Attach(std::make_unique<TJSONNull>());
        break;
      default: {
        if (*p_ != '-' && !IsDigit(*p_)) return nullptr;
        std::string text;
        if (!ReadNumber(text)) return nullptr;
        Attach(std::make_unique<TJSONNumber>(std::move(text)));
        break;
      }
    }

    // A value is complete: close containers or move on to the next value.
    for (;;) {
      if (stack_.empty()) {
        // Only a closed object or array may be followed by whitespace.
        if (closedContainer) SkipWhitespace();
        if (p_ != end_) return nullptr;
        return std::move(root_);
      }
      SkipWhitespace();
      Frame& top = stack_.back();
      if (Consume(',')) {
        SkipWhitespace();
        if (top.isObject && !ReadMemberName(top)) return nullptr;
        break;
      }
      if (!Consume(top.isObject ? '}' : ']')) return nullptr;
      Close();
      closedContainer = true;
    }
  }
}

}  // namespace

std::unique_ptr<TJSONValue> ParseJSONValue(std::string_view text) {
  JSONNodeBlocksScope blocks;  // the values of this tree share blocks
  Parser parser(text.data(), text.data() + text.size());
  return parser.Run();
}

}  // namespace velmora
