// The value tree, its conversions and the compact writer.
#include "transport/Json.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "transport/JsonText.h"

namespace velmora {

// --- containers -------------------------------------------------------------

TJSONObject::~TJSONObject() = default;
TJSONArray::~TJSONArray() = default;

// --- building -------------------------------------------------------------

TJSONObject& TJSONObject::AddPair(std::string_view name, std::string_view text) {
  if (!name.empty()) pairs_.emplace_back(std::string(name), std::make_unique<TJSONString>(std::string(text)));
  return *this;
}

TJSONObject& TJSONObject::AddPair(std::string_view name, bool value) {
  if (!name.empty()) pairs_.emplace_back(std::string(name), std::make_unique<TJSONBool>(value));
  return *this;
}

TJSONObject& TJSONObject::AddPair(std::string_view name, std::unique_ptr<TJSONValue> value) {
  if (!name.empty() && value) pairs_.emplace_back(std::string(name), std::move(value));
  return *this;
}

TJSONObject& TJSONObject::AddNumberText(std::string_view name, std::string text) {
  if (!name.empty()) pairs_.emplace_back(std::string(name), std::make_unique<TJSONNumber>(std::move(text)));
  return *this;
}

const TJSONValue* TJSONObject::Get(std::string_view name) const noexcept {
  for (const TJSONPair& pair : pairs_) {
    if (pair.Name() == name) return &pair.Value();
  }
  return nullptr;
}

TJSONValue* TJSONObject::Get(std::string_view name) noexcept {
  return const_cast<TJSONValue*>(std::as_const(*this).Get(name));
}

TJSONArray& TJSONArray::Add(std::string_view text) {
  items_.push_back(std::make_unique<TJSONString>(std::string(text)));
  return *this;
}

TJSONArray& TJSONArray::Add(std::unique_ptr<TJSONValue> value) {
  if (value) items_.push_back(std::move(value));
  return *this;
}

// --- conversions ----------------------------------------------------------

std::string TJSONValue::AsText() const {
  switch (kind_) {
    case JSONKind::String:
      return static_cast<const TJSONString&>(*this).Value();
    case JSONKind::Number:
      return static_cast<const TJSONNumber&>(*this).Text();
    case JSONKind::Bool:
      return static_cast<const TJSONBool&>(*this).AsBoolean() ? "true" : "false";
    case JSONKind::Null:
      return std::string();
    case JSONKind::Object:
    case JSONKind::Array:
      break;
  }
  throw EJSONException(std::string("Conversion from ") + ClassName() + " to string is not supported");
}

const TJSONObject& TJSONValue::AsObject() const {
  if (kind_ != JSONKind::Object) throw EInvalidCast("Invalid class typecast");
  return static_cast<const TJSONObject&>(*this);
}

TJSONObject& TJSONValue::AsObject() { return const_cast<TJSONObject&>(std::as_const(*this).AsObject()); }

const TJSONArray& TJSONValue::AsArray() const {
  if (kind_ != JSONKind::Array) throw EInvalidCast("Invalid class typecast");
  return static_cast<const TJSONArray&>(*this);
}

TJSONArray& TJSONValue::AsArray() { return const_cast<TJSONArray&>(std::as_const(*this).AsArray()); }

bool TJSONValue::Equals(const TJSONValue& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case JSONKind::String: {
      const auto& a = static_cast<const TJSONString&>(*this);
      const auto& b = static_cast<const TJSONString&>(other);
      return a.IsNull() == b.IsNull() && a.Value() == b.Value();
    }
    case JSONKind::Number:
      return static_cast<const TJSONNumber&>(*this).Text() == static_cast<const TJSONNumber&>(other).Text();
    case JSONKind::Bool:
      return static_cast<const TJSONBool&>(*this).AsBoolean() ==
             static_cast<const TJSONBool&>(other).AsBoolean();
    case JSONKind::Null:
      return true;
    case JSONKind::Object: {
      const auto& a = static_cast<const TJSONObject&>(*this);
      const auto& b = static_cast<const TJSONObject&>(other);
      if (a.Count() != b.Count()) return false;
      for (size_t i = 0; i < a.Count(); ++i) {
        if (a.Pairs(i).Name() != b.Pairs(i).Name() || !a.Pairs(i).Value().Equals(b.Pairs(i).Value())) {
          return false;
        }
      }
      return true;
    }
    case JSONKind::Array: {
      const auto& a = static_cast<const TJSONArray&>(*this);
      const auto& b = static_cast<const TJSONArray&>(other);
      if (a.Count() != b.Count()) return false;
      for (size_t i = 0; i < a.Count(); ++i) {
        if (!a.Items(i).Equals(b.Items(i))) return false;
      }
      return true;
    }
  }
  return false;
}

// --- writing ----------------------------------------------------------------

std::string TJSONValue::ToString() const {
  std::string out;
  WriteTo(out);
  return out;
}

void TJSONValue::WriteTo(std::string& out) const {
  switch (kind_) {
    case JSONKind::Object: {
      const auto& object = static_cast<const TJSONObject&>(*this);
      out.push_back('{');
      bool first = true;
      for (const TJSONPair& pair : object.Members()) {
        if (!first) out.push_back(',');
        first = false;
        out.push_back('"');
        AppendEscapedJSONText(out, pair.Name());
        out.append("\":", 2);
        pair.Value().WriteTo(out);
      }
      out.push_back('}');
      return;
    }
    case JSONKind::Array: {
      const auto& array = static_cast<const TJSONArray&>(*this);
      out.push_back('[');
      for (size_t i = 0; i < array.Count(); ++i) {
        if (i != 0) out.push_back(',');
        array.Items(i).WriteTo(out);
      }
      out.push_back(']');
      return;
    }
    case JSONKind::String: {
      const auto& string = static_cast<const TJSONString&>(*this);
      if (string.IsNull()) {
        out.append("null", 4);
      } else {
        out.push_back('"');
        AppendEscapedJSONText(out, string.Value());
        out.push_back('"');
      }
      return;
    }
    case JSONKind::Number:
      out.append(static_cast<const TJSONNumber&>(*this).Text());
      return;
    case JSONKind::Bool:
      if (static_cast<const TJSONBool&>(*this).AsBoolean()) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      return;
    case JSONKind::Null:
      out.append("null", 4);
      return;
  }
}

std::string EscapeJSONText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapedJSONText(out, text);
  return out;
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Writes the bytes at `p` that are not well-formed UTF-8 and returns where
// the next character starts: a surrogate pair in its three-byte forms as the
// one character it stands for, a lone surrogate as its backslash-u escape (so the
// text keeps it), any other byte as U+FFFD.
const char* AppendIllFormed(std::string& out, const char* p, const char* end) {
  const size_t length = SurrogateSequenceLength(p, end);
  if (length != 0) {
    const unsigned unit = SurrogateUnit(p);
    if (unit < 0xDC00 && SurrogateSequenceLength(p + 3, end) != 0 && SurrogateUnit(p + 3) >= 0xDC00) {
      // A high and a low surrogate side by side are one character.
      AppendUtf8(out,
                 static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (SurrogateUnit(p + 3) - 0xDC00)));
      p += 6;
    } else {
      // A lone surrogate cannot be written as UTF-8; its escape keeps it.
      const char escape[6] = {
          '\\', 'u', kHex[unit >> 12], kHex[(unit >> 8) & 0xF], kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
      out.append(escape, 6);
      p += 3;
    }
  } else {
    out.append("\xEF\xBF\xBD", 3);  // U+FFFD for a byte outside any character
    ++p;
  }
  return p;
}

}  // namespace

void AppendEscapedJSONText(std::string& out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run = p;  // start of the bytes not yet copied
  while (p < end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != '/') {
      ++p;
      continue;
    }
    if (c >= 0x80) {
      size_t length = Utf8SequenceLength(p, end);
      if (length != 0) {
        p += length;
        continue;
      }
      out.append(run, p - run);
      p = AppendIllFormed(out, p, end);
      run = p;
      continue;
    }
    out.append(run, p - run);
    switch (c) {
      case '"':
        out.append("\\\"", 2);
        break;
      case '\\':
        out.append("\\\\", 2);
        break;
      case '/':
        out.append("\\/", 2);
        break;
      case '\b':
        out.append("\\b", 2);
        break;
      case '\t':
        out.append("\\t", 2);
        break;
      case '\n':
        out.append("\\n", 2);
        break;
      case '\f':
        out.append("\\f", 2);
        break;
      case '\r':
        out.append("\\r", 2);
        break;
      default: {
        // Other control characters are not allowed raw inside a JSON string.
        const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, 6);
      }
    }
    ++p;
    run = p;
  }
  out.append(run, p - run);
}

}  // namespace velmora
