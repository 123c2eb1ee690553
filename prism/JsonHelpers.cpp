// The answer readers and the upload token.
#include "prism/JsonHelpers.h"

#include <random>
#include <vector>

#include "platform/Clock.h"
#include "platform/Exceptions.h"

namespace velmora {
namespace {

// Takes ownership of the parsed root as `T` when it has `kind`.
template <typename T>
std::unique_ptr<T> TakeAs(std::unique_ptr<TJSONValue> value, JSONKind kind) {
  if (!value) return nullptr;
  if (value->Kind() != kind) throw EInvalidCast("Invalid class typecast");
  return std::unique_ptr<T>(static_cast<T*>(value.release()));
}

// Lookup that turns a malformed path into "nothing found", for the
// lookups that never raise.
const TJSONValue* FindQuietly(const TJSONValue* value, std::string_view name) {
  if (value == nullptr) return nullptr;
  try {
    return value->FindValue(name);
  } catch (const EJSONPathException&) {
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<TJSONObject> RispostaOggettoJSON(std::string_view answer) {
  return TakeAs<TJSONObject>(ParseJSONValue(answer), JSONKind::Object);
}

std::unique_ptr<TJSONArray> RispostaArrayJSON(std::string_view answer) {
  return TakeAs<TJSONArray>(ParseJSONValue(answer), JSONKind::Array);
}

bool LeggiTestoJSON(const TJSONValue* value, std::string_view name, std::string& text) {
  text.clear();
  const TJSONValue* found = FindQuietly(value, name);
  if (found == nullptr) return false;
  if (found->Kind() == JSONKind::Object || found->Kind() == JSONKind::Array) return false;
  text = found->AsText();
  return true;
}

bool LeggiOggettoJSON(const TJSONValue* value, std::string_view name, const TJSONObject*& object) {
  const TJSONValue* found = FindQuietly(value, name);
  if (found == nullptr || found->Kind() != JSONKind::Object) return false;
  object = &found->AsObject();
  return true;
}

std::string ValoreTestoJSON(const TJSONValue* value, std::string_view name) {
  if (value == nullptr) throw EJSONException("Value '" + std::string(name) + "' not found");
  return value->GetValue(name).AsText();
}

std::string GeneraToken(int length, std::string_view alphabet) {
  if (length <= 0 || alphabet.empty()) return std::string();
  // The alphabet's characters, a multi-byte UTF-8 character as one.
  std::vector<std::string_view> characters;
  for (size_t i = 0; i < alphabet.size();) {
    size_t end = i + 1;
    while (end < alphabet.size() && (static_cast<unsigned char>(alphabet[end]) & 0xC0) == 0x80) ++end;
    characters.push_back(alphabet.substr(i, end - i));
    i = end;
  }
  std::mt19937_64 generator(MonotonicNanoseconds());
  std::uniform_int_distribution<size_t> draw(0, characters.size() - 1);
  std::string token;
  token.reserve(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) token.append(characters[draw(generator)]);
  return token;
}

}  // namespace velmora
