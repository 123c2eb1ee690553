#include "publish/BatchUpload.h"

#include <memory>

#include "platform/Exceptions.h"
#include "platform/Signals.h"
#include "prism/JsonHelpers.h"
#include "prism/PrismApi.h"
#include "transport/HttpClient.h"
#include "transport/Json.h"

namespace velmora {

size_t CorpoConteggiato::Read(char* buffer, size_t capacity) {
  if (interrompi_ && interrompi_()) throw EStreamError("Invio interrotto");
  size_t n = MultipartFormData::Read(buffer, capacity);
  inviati_ += n;
  return n;
}

EsitoCaricamento CaricaEAssegna(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                                const std::string& fileLocale, const std::string& tokenUpload,
                                const std::string& idAlbum, CorpoConteggiato& corpo, bool& caricato) {
  EsitoCaricamento esito;
  caricato = false;
  std::string messaggio;
  {
    std::string testo = CaricaFoto(http, stato, baseUrl, fileLocale, tokenUpload, corpo);
    caricato = true;
    std::unique_ptr<TJSONObject> risposta = RispostaOggettoJSON(testo);
    if (!risposta) {
      esito.motivo = "Risposta non valida";
      return esito;
    }
    if (!LeggiTestoJSON(risposta.get(), "message", messaggio)) {
      esito.motivo = "Impossibile caricare foto";
      return esito;
    }
  }
  StopThresholdScope finire(2);
  http.ResetRequestHeaders();
  http.SetContentType("application/json");
  http.SetCustomHeader("X-Auth-Token", stato.TokenPrism);
  TJSONObject richiesta;
  auto albums = std::make_unique<TJSONArray>();
  albums->Add(idAlbum);
  richiesta.AddPair("albums", std::move(albums));
  std::unique_ptr<TJSONObject> risposta =
      RispostaOggettoJSON(http.Put(UrlUpload(baseUrl, stato.IdUserPrism, tokenUpload), richiesta.ToString()));
  if (!risposta) {
    esito.motivo = "Risposta non valida";
  } else if (!LeggiTestoJSON(risposta.get(), "message", messaggio)) {
    esito.motivo = "Impossibile settare album";
  } else {
    esito.riuscito = true;
  }
  return esito;
}

}  // namespace velmora
