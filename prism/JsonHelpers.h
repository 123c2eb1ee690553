// How the server routines read the Prism server's answers: an answer text
// taken as an object or an array, three typed member lookups, and the random
// upload token.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "transport/Json.h"

namespace velmora {

// Parses `answer` and hands over the root when it is an object. Returns
// nullptr when the text is not JSON (the caller writes its own line). JSON
// of another kind raises EInvalidCast "Invalid class typecast"; the parsed
// value is released.
std::unique_ptr<TJSONObject> RispostaOggettoJSON(std::string_view answer);

// As RispostaOggettoJSON, for an array.
std::unique_ptr<TJSONArray> RispostaArrayJSON(std::string_view answer);

// Looks up `name` (a path, in practice one bare member name) in `value` and
// converts what it finds to text. `text` is emptied first in every case.
// Returns false, with `text` empty, when `value` is null, nothing is found,
// the found value is an object or array, or the path is malformed; true with
// the text otherwise (a number's stored text, "true"/"false", "" for null).
// Never raises (apart from std::bad_alloc).
bool LeggiTestoJSON(const TJSONValue* value, std::string_view name, std::string& text);

// Looks up `name` in `value`. When it finds an object, points `object` at it
// (it stays owned by the tree of `value`) and returns true. Returns false and
// leaves `object` untouched when `value` is null, nothing is found, the found
// value is of another kind, or the path is malformed. Never raises.
bool LeggiOggettoJSON(const TJSONValue* value, std::string_view name, const TJSONObject*& object);

// Looks up `name` in `value` and returns its text (conversion as in
// LeggiTestoJSON). Raises EJSONException "Value '<name>' not found" when
// nothing is found (also when `value` is null), EJSONException "Conversion
// from TJSONObject to string is not supported" (TJSONArray likewise) for an
// object or array, EJSONPathException for a malformed path.
std::string ValoreTestoJSON(const TJSONValue* value, std::string_view name);

// A random text of `length` characters, each drawn uniformly and
// independently from the characters of `alphabet` (UTF-8; a multi-byte
// character counts as one, repeats allowed). The generator is an ordinary
// pseudo-random one, seeded from the monotonic clock at every call; not for
// secrets. Returns the empty text when `length` <= 0 or `alphabet` is empty.
// Never raises (apart from std::bad_alloc).
std::string GeneraToken(int length, std::string_view alphabet);

}  // namespace velmora
