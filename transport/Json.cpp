// The value tree, its conversions and the compact writer.
#include "transport/Json.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "transport/JsonText.h"

namespace velmora {

// --- storage ----------------------------------------------------------------

// Released full-size value blocks, kept for the next large parse so that it
// does not fault in and zero fresh pages: up to kKeptBlocks of them, shared
// by all threads. Never destroyed, so trees released during exit still find
// it.
class JSONBlockPool {
 public:
  static JSONBlockPool& Instance() {
    static JSONBlockPool* const pool = new JSONBlockPool;
    return *pool;
  }
  // A kept block, or null.
  std::unique_ptr<char[]> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (blocks_.empty()) return nullptr;
    std::unique_ptr<char[]> block = std::move(blocks_.back());
    blocks_.pop_back();
    return block;
  }
  // Keeps `block` if there is room; else it is released.
  void Give(std::unique_ptr<char[]> block) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (blocks_.size() < kKeptBlocks) blocks_.push_back(std::move(block));
  }

 private:
  static constexpr size_t kKeptBlocks = 8;

  JSONBlockPool() { blocks_.reserve(kKeptBlocks); }

  std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> blocks_;
};

// The blocks that the values of one parsed tree are cut from. A parsed tree
// has hundreds of thousands of small values; taking them from a few large
// blocks and releasing those at once is several times faster than the heap.
// Each value holds one reference. While the parser runs, the count carries a
// large bias instead of one reference per value, so that cutting a value
// costs no atomic operation (values released meanwhile, as when a parse
// fails, still count down); Finish turns the bias into the number of values
// cut.
class JSONNodeBlocks {
 public:
  // `size` is a multiple of 8. Only the thread that parses cuts values.
  void* Allocate(size_t size) {
    if (static_cast<size_t>(end_ - next_) < size) AddBlock(size);
    void* result = next_;
    next_ += size;
    ++allocated_;
    return result;
  }
  // One value cut from these blocks is released.
  void Release() noexcept {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  // The parser is done: from now on only the values keep the blocks.
  void Finish() noexcept {
    const size_t drop = kBias - allocated_;
    if (references_.fetch_sub(drop, std::memory_order_acq_rel) == drop) delete this;
  }

  // Full-size blocks go back to the pool.
  ~JSONNodeBlocks() {
    for (Block& block : blocks_) {
      if (block.size == kLargestBlock) JSONBlockPool::Instance().Give(std::move(block.memory));
    }
  }

  static constexpr size_t kLargestBlock = 8 << 20;

 private:
  static constexpr size_t kFirstBlock = 1024;
  // A tree that has grown this far takes full-size blocks from the pool.
  static constexpr size_t kPooledFrom = 256 << 10;

  struct Block {
    std::unique_ptr<char[]> memory;
    size_t size;
  };

  // `size` is at most kLargestBlock.
  void AddBlock(size_t size) {
    size_t blockSize = std::max(size, nextBlockSize_);
    std::unique_ptr<char[]> memory;
    if (blockSize >= kPooledFrom) memory = JSONBlockPool::Instance().Take();
    if (memory) {
      blockSize = kLargestBlock;
    } else {
      memory.reset(new char[blockSize]);
    }
    next_ = memory.get();
    end_ = next_ + blockSize;
    blocks_.push_back(Block{std::move(memory), blockSize});
    nextBlockSize_ = std::min(blockSize * 2, kLargestBlock);
  }

  static constexpr size_t kBias = SIZE_MAX / 2;

  std::atomic<size_t> references_{kBias};
  size_t allocated_ = 0;  // values cut so far
  std::vector<Block> blocks_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t nextBlockSize_ = kFirstBlock;
};

namespace {

// Every value is preceded by the blocks it was cut from (null: the heap).
constexpr size_t kValueHeader = sizeof(JSONNodeBlocks*);
static_assert(alignof(std::max_align_t) % kValueHeader == 0);

thread_local JSONNodeBlocks* tCurrentBlocks = nullptr;

constexpr size_t StoredSize(size_t size) { return (size + kValueHeader + 7) & ~size_t{7}; }

}  // namespace

JSONNodeBlocksScope::JSONNodeBlocksScope() : blocks_(new JSONNodeBlocks), previous_(tCurrentBlocks) {
  tCurrentBlocks = blocks_;
}

JSONNodeBlocksScope::~JSONNodeBlocksScope() {
  tCurrentBlocks = previous_;
  blocks_->Finish();
}

void* TJSONValue::operator new(size_t size) {
  JSONNodeBlocks* const blocks = tCurrentBlocks;
  char* const stored = static_cast<char*>(blocks != nullptr ? blocks->Allocate(StoredSize(size))
                                                            : ::operator new(StoredSize(size)));
  std::memcpy(stored, &blocks, kValueHeader);
  return stored + kValueHeader;
}

void TJSONValue::operator delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  char* const stored = static_cast<char*>(pointer) - kValueHeader;
  JSONNodeBlocks* blocks;
  std::memcpy(&blocks, stored, kValueHeader);
  if (blocks != nullptr) {
    blocks->Release();
  } else {
    ::operator delete(stored);
  }
}

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

void AppendEscapedJSONText(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
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
      length = SurrogateSequenceLength(p, end);
      if (length != 0) {
        const unsigned unit = SurrogateUnit(p);
        if (unit < 0xDC00 && SurrogateSequenceLength(p + 3, end) != 0 && SurrogateUnit(p + 3) >= 0xDC00) {
          // A high and a low surrogate side by side are one character.
          AppendUtf8(out, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) +
                                                (SurrogateUnit(p + 3) - 0xDC00)));
          p += 6;
        } else {
          // A lone surrogate cannot be written as UTF-8; its escape keeps it.
          const char escape[6] = {'\\',
                                  'u',
                                  kHex[unit >> 12],
                                  kHex[(unit >> 8) & 0xF],
                                  kHex[(unit >> 4) & 0xF],
                                  kHex[unit & 0xF]};
          out.append(escape, 6);
          p += 3;
        }
      } else {
        out.append("\xEF\xBF\xBD", 3);  // U+FFFD for a byte outside any character
        ++p;
      }
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
