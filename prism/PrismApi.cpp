#include "prism/PrismApi.h"

#include <utility>
#include <vector>

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/Istruzione.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Locale.h"
#include "prism/JsonHelpers.h"
#include "transport/HttpClient.h"
#include "transport/Multipart.h"

namespace velmora {

namespace {

bool FinisceCon(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Runs one update on `transazione`, or on a new default transaction of
// `database` when none is given, parameter scanning off, and makes it
// durable at once. The transaction stays open on the connection, which
// commits it when released. On a given transaction an update conflict with
// a writer that committed meanwhile is met by executing it again.
void EseguiAggiornamento(TIBDatabase& database, TIBTransaction* transazione, std::vector<std::string> righe) {
  const bool condivisa = transazione != nullptr;
  if (!transazione) transazione = NuovaTransazione(database, 0);
  Istruzione sql(transazione, std::move(righe));
  if (condivisa)
    sql.EseguiRipetendoConflitti();
  else
    sql.Esegui();
  transazione->CommitRetaining();
}

// The header reset every routine performs, then content type and token.
void PreparaRichiesta(HttpClient& http, const StatoPrism& stato, std::string_view contentType) {
  http.ResetRequestHeaders();
  http.SetContentType(contentType);
  http.SetCustomHeader("X-Auth-Token", stato.TokenPrism);
}

}  // namespace

std::string UrlUpload(std::string_view baseUrl, std::string_view idUser, std::string_view token) {
  std::string url(baseUrl);
  url += "api/v1/users/";
  url += idUser;
  url += "/upload/";
  url += token;
  return url;
}

std::string TipoMediaUpload(std::string_view mediaPath) {
  std::string lower = LowerCaseUser(mediaPath);
  if (FinisceCon(lower, "mp4")) return "video/mp4";
  if (FinisceCon(lower, "mov")) return "video/quicktime";
  return "image/jpeg";
}

bool NomeFileCorrisponde(std::string_view fileName, std::string_view estensione) {
  return FinisceCon(LowerCaseUser(fileName), LowerCaseUser(estensione));
}

std::string CorpoTitoloFoto(int32_t contatore, std::string_view uid, std::string_view titolo) {
  std::string body = "{\"ID\": " + std::to_string(contatore) + ", \"UID\": \"";
  AppendEscapedJSONText(body, uid);
  body += "\", \"Title\": \"";
  AppendEscapedJSONText(body, titolo);
  body += "\", \"TitleSrc\": \"manual\" }";
  return body;
}

std::string RichiestaSessionePrism(HttpClient& http, const std::string& baseUrl,
                                   const std::string& accountUser, const std::string& accountPassword) {
  http.ResetRequestHeaders();
  http.SetContentType("application/json");
  TJSONObject richiesta;
  richiesta.AddPair("username", accountUser).AddPair("password", accountPassword);
  return http.Post(baseUrl + "api/v1/session", richiesta.ToString());
}

void LoginPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                const std::string& accountUser, const std::string& accountPassword,
                const std::string& idAlbumTolvana, TIBTransaction* scrittura) {
  // No token header is set yet on the client: the login goes out without one.
  std::string risposta = RichiestaSessionePrism(http, baseUrl, accountUser, accountPassword);
  std::unique_ptr<TJSONObject> oggetto = RispostaOggettoJSON(risposta);
  if (!oggetto) {
    WriteLine("Risposta non valida");
    return;
  }
  if (!LeggiTestoJSON(oggetto.get(), "access_token", stato.TokenPrism)) {
    WriteLine("Impossibile recuperare access token");
  }
  const TJSONObject* user = nullptr;
  if (!LeggiOggettoJSON(oggetto.get(), "user", user)) {
    WriteLine("User non trovato");
    return;
  }
  if (!LeggiTestoJSON(user, "UID", stato.IdUserPrism)) {
    WriteLine("UID utente non trovato");
    return;
  }
  EseguiAggiornamento(
      database, scrittura,
      AggiornamentoRiga("KELALBUMPRISM",
                        {{"TOKENPRISM", stato.TokenPrism}, {"IDUSERPRISM", stato.IdUserPrism}},
                        UgualeId::ConSpazi, idAlbumTolvana));
}

std::string CaricaFoto(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                       const std::string& mediaPath, const std::string& tokenUpload,
                       MultipartFormData& corpo) {
  PreparaRichiesta(http, stato, "multipart/form-data");
  corpo.AddFile("files", mediaPath, TipoMediaUpload(mediaPath));
  return http.Post(UrlUpload(baseUrl, stato.IdUserPrism, tokenUpload), corpo, corpo.RequestContentType());
}

void AssegnaAlbumPrism(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                       const std::string& tokenUpload, const std::string& idAlbum) {
  PreparaRichiesta(http, stato, "application/json");
  TJSONObject richiesta;
  auto albums = std::make_unique<TJSONArray>();
  albums->Add(idAlbum);
  richiesta.AddPair("albums", std::move(albums));
  std::string risposta = http.Put(UrlUpload(baseUrl, stato.IdUserPrism, tokenUpload), richiesta.ToString());

  std::unique_ptr<TJSONObject> oggetto = RispostaOggettoJSON(risposta);
  std::string messaggio;
  if (!oggetto) {
    WriteLine("Risposta non valida");
  } else if (LeggiTestoJSON(oggetto.get(), "message", messaggio)) {
    WriteLine(OneLineText(messaggio));
  } else {
    WriteLine("Impossibile settare album");
  }
}

void CreaAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                    const std::string& nomeAlbum, const std::string& idAlbumTolvana,
                    TIBTransaction* scrittura) {
  PreparaRichiesta(http, stato, "application/json");
  std::string idAlbum;
  {
    TJSONObject richiesta;
    richiesta.AddPair("Title", nomeAlbum).AddPair("Favorite", false);
    std::unique_ptr<TJSONObject> oggetto =
        RispostaOggettoJSON(http.Post(baseUrl + "api/v1/albums", richiesta.ToString()));
    if (!oggetto) {
      WriteLine("Risposta crea album non valida");
      return;
    }
    if (!LeggiTestoJSON(oggetto.get(), "UID", idAlbum)) {
      WriteLine("Impossibile recuperare UID album");
      return;
    }
  }
  stato.IdAlbumPrism = idAlbum;

  // The headers set above apply again to the share-link request.
  std::string link;
  {
    auto impostazioni = std::make_unique<TJSONObject>();
    impostazioni->AddPair("CanComment", false)
        .AddPair("CanEdit", false)
        .AddPair("Expires", 0)
        .AddPair("MaxViews", 0)
        .AddPair("Password", "")
        .AddPair("Slug", "slug")
        .AddPair("Token", "");
    TJSONObject richiesta;
    richiesta.AddPair("uid", stato.IdAlbumPrism).AddPair("link", std::move(impostazioni));
    std::unique_ptr<TJSONObject> oggetto = RispostaOggettoJSON(
        http.Post(baseUrl + "api/v1/albums/" + stato.IdAlbumPrism + "/links", richiesta.ToString()));
    std::string token, shareUid;
    if (!oggetto) {
      WriteLine("Risposta genera link non valida");
    } else if (LeggiTestoJSON(oggetto.get(), "Token", token) &&
               LeggiTestoJSON(oggetto.get(), "ShareUID", shareUid)) {
      link = "s/" + token + "/" + shareUid;
    } else {
      WriteLine("Impossibile generare link");
    }
  }
  EseguiAggiornamento(
      database, scrittura,
      AggiornamentoRiga("KELALBUMPRISM", {{"IDALBUMPRISM", stato.IdAlbumPrism}, {"LINK_CONDIVISIONE", link}},
                        UgualeId::ConSpazi, idAlbumTolvana));
}

std::unique_ptr<TJSONObject> CercaFotoCaricata(HttpClient& http, const StatoPrism& stato,
                                               const std::string& baseUrl, const std::string& idAlbum,
                                               const std::string& estensione) {
  return CercaFotoCaricata(http, stato, baseUrl, idAlbum, estensione, SceltaFoto());
}

std::unique_ptr<TJSONObject> CercaFotoCaricata(HttpClient& http, const StatoPrism& stato,
                                               const std::string& baseUrl, const std::string& idAlbum,
                                               const std::string& estensione, const SceltaFoto& preferita) {
  std::unique_ptr<TJSONObject> risultato;
  PreparaRichiesta(http, stato, "application/json");
  try {
    std::unique_ptr<TJSONArray> foto =
        RispostaArrayJSON(http.Get(baseUrl + "api/v1/photos?count=120&offset=0&order=newest&s=" + idAlbum));
    if (!foto) return nullptr;
    if (const TJSONObject* scelto = preferita ? preferita(*foto) : nullptr) {
      risultato = std::make_unique<TJSONObject>();
      risultato->AddPair("UID", ValoreTestoJSON(scelto, "UID"));
      risultato->AddPair("Hash", ValoreTestoJSON(scelto, "Hash"));
      return risultato;
    }
    for (size_t i = 0; i < foto->Count(); ++i) {
      const TJSONObject& elemento = foto->Items(i).AsObject();
      if (!NomeFileCorrisponde(ValoreTestoJSON(&elemento, "FileName"), estensione)) continue;
      risultato = std::make_unique<TJSONObject>();
      risultato->AddPair("UID", ValoreTestoJSON(&elemento, "UID"));
      risultato->AddPair("Hash", ValoreTestoJSON(&elemento, "Hash"));
      break;
    }
  } catch (const Exception& e) {
    WriteLine("Error: " + ReportMessage(e));
  }
  return risultato;
}

void SettaTitoloFoto(HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                     const std::string& idFoto, const std::string& titolo) {
  PreparaRichiesta(http, stato, "application/json");
  http.Put(baseUrl + "api/v1/photos/" + idFoto, CorpoTitoloFoto(stato.ContatoreFoto, idFoto, titolo));
  ++stato.ContatoreFoto;
}

}  // namespace velmora
