// The JSON text form: a value tree, its compact writer, the parser, path
// lookup and the conversions through which the Prism client reads values.
//
// Texts. Every text in the tree is a std::string holding the UTF-8 form of
// the JSON string's UTF-16 code units. A lone surrogate (which only a \u
// escape can produce) is kept in its three-byte form (ED A0..BF xx, the
// "generalised UTF-8" also known as WTF-8), so that parsing and writing back
// give the same code units: the writer turns such a sequence into a \udxxx
// escape again. A surrogate pair given as two escapes is joined into the one
// four-byte UTF-8 character it stands for.
//
// Ownership. A container owns its members and elements; releasing the root
// releases the tree. Pointers and references handed out by lookups point
// into the tree and stay valid while the tree lives and the container they
// are in is not changed.
//
// Depth. Writing, comparing and releasing a tree go one call deeper per
// level of nesting: safe for every parsed tree (at most 512 levels) and for
// the shallow documents the program builds. The parser itself never recurses.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class TJSONObject;
class TJSONArray;

// The kinds a value can have (TJSONTrue, TJSONFalse and TJSONBool are all Bool).
enum class JSONKind : uint8_t { Object, Array, String, Number, Bool, Null };

// Common base of all value kinds. Not copyable: a value lives in one tree.
class TJSONValue {
 public:
  virtual ~TJSONValue() = default;
  TJSONValue(const TJSONValue&) = delete;
  TJSONValue& operator=(const TJSONValue&) = delete;

  JSONKind Kind() const noexcept { return kind_; }
  // The class name used in messages: "TJSONObject", "TJSONArray",
  // "TJSONString", "TJSONNumber", "TJSONBool", "TJSONTrue", "TJSONFalse",
  // "TJSONNull".
  virtual const char* ClassName() const noexcept = 0;

  // The compact JSON text of this value: no blank or line break anywhere,
  // members and elements in stored order, strings escaped as described at
  // EscapeJSONText. Never raises (apart from std::bad_alloc).
  std::string ToString() const;
  // Appends the same text to `out`.
  void WriteTo(std::string& out) const;

  // Path lookup. An empty path gives this value. Segments: a bare name (the
  // first one without a dot, later ones after "."), an index "[3]", or a
  // quoted name "['a.b']" / "[\"a\"]" (a backslash before the quoting
  // character stands for it). Blanks (characters up to U+0020) around
  // segments and inside brackets are skipped; a bare name loses trailing
  // blanks. A name needs an object and takes its first member of exactly that
  // name (case-sensitive); an index needs an array and 0 <= index < Count().
  // Gives nullptr when the path leads nowhere. A malformed path raises
  // EJSONPathException with one of the messages "Unexpected char for root
  // element: .", "Path ended with an open bracket", "Path ended with an open
  // string", "Unexpected character while parsing indexer: %s", "Invalid index
  // for array: %s", "Empty name not allowed in dot notation, use ['']".
  const TJSONValue* FindValue(std::string_view path) const;
  TJSONValue* FindValue(std::string_view path);
  // As FindValue, but a path leading nowhere raises EJSONException
  // "Value '<path>' not found".
  const TJSONValue& GetValue(std::string_view path) const;

  // Conversion to text: a string's text (empty for a null string), a number's
  // stored text verbatim, "true"/"false", the empty text for null. An object
  // or array raises EJSONException "Conversion from TJSONObject to string is
  // not supported" (TJSONArray likewise).
  std::string AsText() const;
  // Conversion to object / array: this value itself when it is of that kind,
  // else EInvalidCast "Invalid class typecast".
  const TJSONObject& AsObject() const;
  TJSONObject& AsObject();
  const TJSONArray& AsArray() const;
  TJSONArray& AsArray();

  // Every value, however it was made (parsed or built), is released with
  // `delete` (through its owner), on any thread, in any order relative to the
  // rest of its tree; the memory of a parsed tree is returned once its last
  // value is released (the parser's storage is in transport/JsonBlocks.cpp).
  static void* operator new(size_t size);
  static void operator delete(void* pointer) noexcept;

  // Deep equality: same kind, same texts (numbers compare by their stored
  // text, "1.0" differs from "1"), null flags, members in the same order with
  // the same names, elements in the same order. TJSONTrue equals
  // TJSONBool(true).
  bool Equals(const TJSONValue& other) const;

 protected:
  explicit TJSONValue(JSONKind kind, bool flag = false) noexcept : kind_(kind), flag_(flag) {}
  // One bit of the kinds that need it (a string's null flag, a boolean's
  // value), kept here so that small values stay small.
  bool Flag() const noexcept { return flag_; }

 private:
  JSONKind kind_;
  bool flag_;
};

// A string: a text, or null (created without text; written as null).
class TJSONString final : public TJSONValue {
 public:
  // A null string.
  TJSONString() noexcept : TJSONValue(JSONKind::String, true) {}
  // A string holding `text` (UTF-8, see the top of this header); an empty
  // text gives an empty, not a null, string.
  explicit TJSONString(std::string text) noexcept
      : TJSONValue(JSONKind::String, false), text_(std::move(text)) {}
  const char* ClassName() const noexcept override { return "TJSONString"; }
  bool IsNull() const noexcept { return Flag(); }
  // The text; empty for a null string.
  const std::string& Value() const noexcept { return text_; }

 private:
  std::string text_;
};

// A number kept as its text, never converted to a machine number.
class TJSONNumber final : public TJSONValue {
 public:
  // `text` is taken as it stands; the parser only creates valid JSON numbers.
  explicit TJSONNumber(std::string text) noexcept : TJSONValue(JSONKind::Number), text_(std::move(text)) {}
  // The decimal form of an integer ("-5").
  explicit TJSONNumber(int64_t value) : TJSONNumber(std::to_string(value)) {}
  const char* ClassName() const noexcept override { return "TJSONNumber"; }
  const std::string& Text() const noexcept { return text_; }

 private:
  std::string text_;
};

// A boolean. The parser produces the fixed forms TJSONTrue and TJSONFalse.
class TJSONBool : public TJSONValue {
 public:
  explicit TJSONBool(bool value) noexcept : TJSONValue(JSONKind::Bool, value) {}
  const char* ClassName() const noexcept override { return "TJSONBool"; }
  bool AsBoolean() const noexcept { return Flag(); }
};

class TJSONTrue final : public TJSONBool {
 public:
  TJSONTrue() noexcept : TJSONBool(true) {}
  const char* ClassName() const noexcept override { return "TJSONTrue"; }
};

class TJSONFalse final : public TJSONBool {
 public:
  TJSONFalse() noexcept : TJSONBool(false) {}
  const char* ClassName() const noexcept override { return "TJSONFalse"; }
};

class TJSONNull final : public TJSONValue {
 public:
  TJSONNull() noexcept : TJSONValue(JSONKind::Null) {}
  const char* ClassName() const noexcept override { return "TJSONNull"; }
};

// One member of an object: a name and the value it owns.
class TJSONPair {
 public:
  TJSONPair(std::string name, std::unique_ptr<TJSONValue> value) noexcept
      : name_(std::move(name)), value_(std::move(value)) {}
  TJSONPair(TJSONPair&&) noexcept = default;
  TJSONPair& operator=(TJSONPair&&) noexcept = default;

  const std::string& Name() const noexcept { return name_; }
  const TJSONValue& Value() const noexcept { return *value_; }
  TJSONValue& Value() noexcept { return *value_; }

 private:
  std::string name_;
  std::unique_ptr<TJSONValue> value_;  // never null
};

// An object: members in the order added or parsed; names need not be unique.
class TJSONObject final : public TJSONValue {
 public:
  TJSONObject() noexcept : TJSONValue(JSONKind::Object) {}
  ~TJSONObject() override;
  const char* ClassName() const noexcept override { return "TJSONObject"; }

  // Each AddPair appends one member after the existing ones, without looking
  // for a member of the same name, and returns this object. An empty name
  // adds nothing (a value handed over is then released).
  // Name and text: a TJSONString (an empty text gives "", not null).
  TJSONObject& AddPair(std::string_view name, std::string_view text);
  TJSONObject& AddPair(std::string_view name, const char* text) {
    return AddPair(name, std::string_view(text));
  }
  // Name and integer: a TJSONNumber with the decimal text ("-5").
  template <std::integral T>
  requires(!std::same_as<T, bool>) TJSONObject& AddPair(std::string_view name, T value) {
    return AddNumberText(name, std::to_string(value));
  }
  // Name and boolean: a TJSONBool.
  TJSONObject& AddPair(std::string_view name, bool value);
  // Name and value: the object takes ownership; a null `value` adds nothing.
  TJSONObject& AddPair(std::string_view name, std::unique_ptr<TJSONValue> value);

  size_t Count() const noexcept { return pairs_.size(); }
  // The member at `index` (0 <= index < Count(); not checked). Members are
  // only handed out const, so none can be moved out of its object.
  const TJSONPair& Pairs(size_t index) const noexcept { return pairs_[index]; }
  const std::vector<TJSONPair>& Members() const noexcept { return pairs_; }
  // The value of the first member named exactly `name`, or nullptr.
  const TJSONValue* Get(std::string_view name) const noexcept;
  TJSONValue* Get(std::string_view name) noexcept;

 private:
  friend class JSONTreeBuilder;
  TJSONObject& AddNumberText(std::string_view name, std::string text);

  std::vector<TJSONPair> pairs_;
};

// An array: elements in the order added or parsed.
class TJSONArray final : public TJSONValue {
 public:
  TJSONArray() noexcept : TJSONValue(JSONKind::Array) {}
  ~TJSONArray() override;
  const char* ClassName() const noexcept override { return "TJSONArray"; }

  // Appends a TJSONString holding `text` and returns this array.
  TJSONArray& Add(std::string_view text);
  TJSONArray& Add(const char* text) { return Add(std::string_view(text)); }
  // Appends `value`, taking ownership; a null `value` adds nothing.
  TJSONArray& Add(std::unique_ptr<TJSONValue> value);

  size_t Count() const noexcept { return items_.size(); }
  // The element at `index` (0 <= index < Count(); not checked).
  const TJSONValue& Items(size_t index) const noexcept { return *items_[index]; }
  TJSONValue& Items(size_t index) noexcept { return *items_[index]; }

 private:
  friend class JSONTreeBuilder;
  std::vector<std::unique_ptr<TJSONValue>> items_;
};

// Parses `text` (UTF-8 bytes; a leading byte-order mark EF BB BF is skipped)
// as exactly one JSON value. Whitespace is space, tab, LF and CR; raw control
// characters inside strings are accepted; \u escapes give UTF-16 code units
// (see the top of this header for surrogates). At most 512 objects and arrays
// may be open at once. After the root only whitespace may follow, and only
// when the root is an object or array. Returns the root, owned by the caller,
// or nullptr for an empty text, any syntax error, invalid UTF-8, a nesting
// deeper than 512 or trailing characters. Never raises for bad input (only
// std::bad_alloc when memory runs out); never recurses, so any depth of input
// is safe.
std::unique_ptr<TJSONValue> ParseJSONValue(std::string_view text);

// The deepest nesting of objects and arrays ParseJSONValue accepts.
inline constexpr int kJSONMaxDepth = 512;

// The escaped content of a JSON string for `text`, without the enclosing
// quotation marks, as the writer produces it: " \ / backspace tab LF FF CR
// become \" \\ \/ \b \t \n \f \r; the other control characters U+0000-U+001F
// become \u00xx (lower-case hex); a lone surrogate (three-byte form) becomes
// \udxxx, while a high and a low one side by side are written as the one
// character they make; every other character is copied unchanged (no other
// \u escapes).
// A byte that is not part of a well-formed UTF-8 sequence is written as
// U+FFFD, so the result is always valid UTF-8 and valid JSON string content.
std::string EscapeJSONText(std::string_view text);
// Appends EscapeJSONText(text) to `out`.
void AppendEscapedJSONText(std::string& out, std::string_view text);

}  // namespace velmora
