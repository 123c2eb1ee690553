#include "publish/FotoCaricata.h"

#include <utility>

#include "prism/JsonHelpers.h"
#include "transport/HttpWire.h"

namespace velmora {

const TJSONObject* ElementoConHash(const TJSONArray& elenco, std::string_view sha1Hex) {
  if (sha1Hex.empty()) return nullptr;
  for (size_t i = 0; i < elenco.Count(); ++i) {
    const TJSONValue& elemento = elenco.Items(i);
    if (elemento.Kind() != JSONKind::Object) continue;
    std::string hash;
    if (LeggiTestoJSON(&elemento, "Hash", hash) && EqualsNoCase(hash, sha1Hex)) return &elemento.AsObject();
  }
  return nullptr;
}

SceltaFoto SceltaPerHash(std::string sha1Hex) {
  return [hash = std::move(sha1Hex)](const TJSONArray& elenco) { return ElementoConHash(elenco, hash); };
}

}  // namespace velmora
