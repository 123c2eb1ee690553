// Path lookup: FindValue and GetValue. The whole path is checked before the
// walk, so a malformed path raises whatever the tree holds.
#include <climits>
#include <utility>
#include <vector>

#include "platform/Exceptions.h"
#include "transport/Json.h"

namespace velmora {
namespace {

struct Segment {
  bool isIndex;
  std::string name;
  long long index;
};

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

[[noreturn]] void PathError(const std::string& message) { throw EJSONPathException(message); }

// The whole character (all bytes of its UTF-8 sequence) at `pos`, for messages.
std::string CharacterAt(std::string_view path, size_t pos) {
  size_t end = pos + 1;
  while (end < path.size() && (static_cast<unsigned char>(path[end]) & 0xC0) == 0x80) ++end;
  return std::string(path.substr(pos, end - pos));
}

class PathParser {
 public:
  explicit PathParser(std::string_view path) : path_(path) {}

  std::vector<Segment> Parse() {
    std::vector<Segment> segments;
    bool first = true;
    for (;;) {
      SkipBlanks();
      if (AtEnd()) return segments;
      const char c = path_[pos_];
      if (c == '.') {
        if (first) PathError("Unexpected char for root element: .");
        ++pos_;
        segments.push_back(BareName());
      } else if (c == '[') {
        ++pos_;
        segments.push_back(Indexer());
      } else if (first) {
        segments.push_back(BareName());
      } else {
        PathError("Unexpected character while parsing indexer: " + CharacterAt(path_, pos_));
      }
      first = false;
    }
  }

 private:
  bool AtEnd() const { return pos_ >= path_.size(); }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(path_[pos_])) ++pos_;
  }

  // A name up to the next "." or "[", without the blanks around it.
  Segment BareName() {
    SkipBlanks();
    const size_t start = pos_;
    while (!AtEnd() && path_[pos_] != '.' && path_[pos_] != '[') ++pos_;
    size_t end = pos_;
    while (end > start && IsBlank(path_[end - 1])) --end;
    if (end == start) PathError("Empty name not allowed in dot notation, use ['']");
    return Segment{false, std::string(path_.substr(start, end - start)), 0};
  }

  // What follows "[": a quoted name or an index, then "]".
  Segment Indexer() {
    SkipBlanks();
    if (AtEnd()) PathError("Path ended with an open bracket");
    const char quote = path_[pos_];
    if (quote == '\'' || quote == '"') {
      ++pos_;
      std::string name;
      for (;;) {
        if (AtEnd()) PathError("Path ended with an open string");
        const char c = path_[pos_];
        if (c == quote) break;
        if (c == '\\' && pos_ + 1 < path_.size() && path_[pos_ + 1] == quote) ++pos_;
        name.push_back(path_[pos_]);
        ++pos_;
      }
      ++pos_;  // the closing quote
      SkipBlanks();
      if (AtEnd()) PathError("Path ended with an open bracket");
      if (path_[pos_] != ']') {
        PathError("Unexpected character while parsing indexer: " + CharacterAt(path_, pos_));
      }
      ++pos_;
      return Segment{false, std::move(name), 0};
    }
    const size_t start = pos_;
    while (!AtEnd() && path_[pos_] != ']') ++pos_;
    if (AtEnd()) PathError("Path ended with an open bracket");
    size_t end = pos_;
    while (end > start && IsBlank(path_[end - 1])) --end;
    ++pos_;  // "]"
    const std::string text(path_.substr(start, end - start));
    long long index = 0;
    if (!ParseIndex(text, index)) PathError("Invalid index for array: " + text);
    return Segment{true, std::string(), index};
  }

  // A decimal integer with an optional sign that fits in 32 bits.
  static bool ParseIndex(const std::string& text, long long& index) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
      if (value > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return false;
    index = value;
    return true;
  }

  std::string_view path_;
  size_t pos_ = 0;
};

}  // namespace

const TJSONValue* TJSONValue::FindValue(std::string_view path) const {
  const std::vector<Segment> segments = PathParser(path).Parse();
  const TJSONValue* current = this;
  for (const Segment& segment : segments) {
    if (segment.isIndex) {
      if (current->Kind() != JSONKind::Array) return nullptr;
      const auto& array = static_cast<const TJSONArray&>(*current);
      if (segment.index < 0 || static_cast<unsigned long long>(segment.index) >= array.Count())
        return nullptr;
      current = &array.Items(static_cast<size_t>(segment.index));
    } else {
      if (current->Kind() != JSONKind::Object) return nullptr;
      current = static_cast<const TJSONObject&>(*current).Get(segment.name);
      if (current == nullptr) return nullptr;
    }
  }
  return current;
}

TJSONValue* TJSONValue::FindValue(std::string_view path) {
  return const_cast<TJSONValue*>(std::as_const(*this).FindValue(path));
}

const TJSONValue& TJSONValue::GetValue(std::string_view path) const {
  const TJSONValue* value = FindValue(path);
  if (value == nullptr) throw EJSONException("Value '" + std::string(path) + "' not found");
  return *value;
}

}  // namespace velmora
