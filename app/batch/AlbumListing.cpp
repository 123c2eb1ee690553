#include "app/batch/AlbumListing.h"

#include <memory>

#include "platform/Exceptions.h"
#include "platform/Text.h"
#include "prism/JsonHelpers.h"
#include "transport/HttpClient.h"

namespace velmora {

std::vector<FotoAlbum> LeggiPaginaFoto(std::string_view risposta, size_t& elementi) {
  std::unique_ptr<TJSONArray> pagina = RispostaArrayJSON(risposta);
  if (!pagina) throw EJSONException("Risposta elenco foto non valida");
  elementi = pagina->Count();
  std::vector<FotoAlbum> foto;
  foto.reserve(elementi);
  for (size_t i = 0; i < pagina->Count(); ++i) {
    const TJSONValue& valore = pagina->Items(i);
    const TJSONObject* elemento = dynamic_cast<const TJSONObject*>(&valore);
    if (elemento == nullptr) continue;
    FotoAlbum f;
    if (!LeggiTestoJSON(elemento, "UID", f.uid) || !LeggiTestoJSON(elemento, "Hash", f.hash) ||
        f.uid.empty()) {
      continue;
    }
    LeggiTestoJSON(elemento, "FileName", f.fileName);
    foto.push_back(std::move(f));
  }
  return foto;
}

std::vector<FotoAlbum> ElencaFotoAlbum(HttpClient& http, const std::string& baseUrl, const StatoPrism& stato,
                                       size_t perPagina) {
  std::vector<FotoAlbum> tutte;
  std::string primoPrecedente;
  LeggiPagineFoto(http, stato, baseUrl, stato.IdAlbumPrism, perPagina, kPagineMassime,
                  [&](std::string_view risposta, size_t k) {
                    size_t elementi = 0;
                    std::vector<FotoAlbum> pagina = LeggiPaginaFoto(risposta, elementi);
                    if (!pagina.empty() && k > 0 && pagina.front().uid == primoPrecedente) return false;
                    if (!pagina.empty()) primoPrecedente = pagina.front().uid;
                    for (FotoAlbum& f : pagina) tutte.push_back(std::move(f));
                    return elementi >= perPagina;
                  });
  return tutte;
}

std::string HashNormalizzato(std::string_view hash) { return LowerAscii(hash); }

}  // namespace velmora
