#include "publish/SceltaPerHash.h"

#include <utility>

#include "platform/Text.h"
#include "prism/JsonHelpers.h"

namespace velmora {

namespace {

// The "Hash" text of an element that is an object; false otherwise.
bool HashElemento(const TJSONValue& elemento, std::string& hash) {
  return elemento.Kind() == JSONKind::Object && LeggiTestoJSON(&elemento, "Hash", hash);
}

}  // namespace

bool FormaSha1(std::string_view hash) {
  return hash.size() == 40 && hash.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

const TJSONObject* ElementoConHash(const TJSONArray& elenco, std::string_view sha1Hex) {
  if (sha1Hex.empty()) return nullptr;
  for (size_t i = 0; i < elenco.Count(); ++i) {
    const TJSONValue& elemento = elenco.Items(i);
    std::string hash;
    if (HashElemento(elemento, hash) && EqualsNoCase(hash, sha1Hex)) return &elemento.AsObject();
  }
  return nullptr;
}

bool ElencaHashSha1(const TJSONArray& elenco) {
  for (size_t i = 0; i < elenco.Count(); ++i) {
    std::string hash;
    if (HashElemento(elenco.Items(i), hash) && FormaSha1(hash)) return true;
  }
  return false;
}

const TJSONObject* SceltaPerHash::Scegli(const TJSONArray& pagina) {
  if (const TJSONObject* scelto = ElementoConHash(pagina, hash_)) return scelto;
  hashSha1Visti_ = hashSha1Visti_ || ElencaHashSha1(pagina);
  return nullptr;
}

}  // namespace velmora
