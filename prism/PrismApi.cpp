#include "prism/PrismApi.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <random>
#include <utility>
#include <vector>

#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/Istruzione.h"
#include "platform/Console.h"  // ReportMessage
#include "platform/Exceptions.h"
#include "platform/Locale.h"
#include "platform/Signals.h"
#include "platform/Text.h"
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

// A number in [0, 1) from a generator of this thread, seeded apart in every
// process so that runs started together draw apart.
double CasoAttesa() {
  thread_local std::mt19937_64 generatore{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(generatore);
}

// The "UID" and "Hash" of the chosen element as a new result object; a
// missing member raises after the members before it were added.
void CopiaScelta(const TJSONObject& scelto, std::unique_ptr<TJSONObject>& risultato) {
  risultato = std::make_unique<TJSONObject>();
  risultato->AddPair("UID", ValoreTestoJSON(&scelto, "UID"));
  risultato->AddPair("Hash", ValoreTestoJSON(&scelto, "Hash"));
}

// The "message" text of a JSON object answer: riuscito with it, or the
// notice for an answer that is not an object (`nonValida`) or lacks the text
// (`senzaMessaggio`).
EsitoPrism EsitoMessaggio(std::string_view testo, Avviso nonValida, Avviso senzaMessaggio) {
  EsitoPrism esito;
  std::unique_ptr<TJSONObject> risposta = RispostaOggettoJSON(testo);
  if (!risposta) {
    esito.avvisi.push_back(nonValida);
  } else if (!LeggiTestoJSON(risposta.get(), "message", esito.messaggio)) {
    esito.avvisi.push_back(senzaMessaggio);
  } else {
    esito.riuscito = true;
  }
  return esito;
}

}  // namespace

const char* TestoAvviso(Avviso avviso) {
  switch (avviso) {
    case Avviso::kRispostaNonValida:
      return "Risposta non valida";
    case Avviso::kAccessTokenMancante:
      return "Impossibile recuperare access token";
    case Avviso::kUserMancante:
      return "User non trovato";
    case Avviso::kUidUtenteMancante:
      return "UID utente non trovato";
    case Avviso::kCaricamentoSenzaMessaggio:
      return "Impossibile caricare foto";
    case Avviso::kAlbumNonSettato:
      return "Impossibile settare album";
    case Avviso::kRispostaCreaAlbumNonValida:
      return "Risposta crea album non valida";
    case Avviso::kUidAlbumMancante:
      return "Impossibile recuperare UID album";
    case Avviso::kRispostaLinkNonValida:
      return "Risposta genera link non valida";
    case Avviso::kLinkMancante:
      return "Impossibile generare link";
  }
  return "";
}

EsitoPrism LeggiRispostaCaricamento(std::string_view risposta) {
  return EsitoMessaggio(risposta, Avviso::kRispostaNonValida, Avviso::kCaricamentoSenzaMessaggio);
}

std::string UrlPaginaFoto(std::string_view baseUrl, std::string_view idAlbum, size_t count, size_t offset) {
  std::string url(baseUrl);
  url += "api/v1/photos?count=" + std::to_string(count) + "&offset=" + std::to_string(offset) +
         "&order=newest&s=";
  url += idAlbum;
  return url;
}

std::optional<uint32_t> SecondiRetryAfter(std::string_view valore) {
  std::string_view cifre = Trim(valore, kSpaceTab);
  if (cifre.empty() || cifre.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  uint32_t secondi = 0;
  auto [fine, errore] = std::from_chars(cifre.data(), cifre.data() + cifre.size(), secondi);
  if (errore != std::errc() || fine != cifre.data() + cifre.size()) return std::nullopt;
  return secondi;
}

std::optional<uint32_t> AttesaNuovoAccesso(uint32_t rifiuti, std::optional<uint32_t> retryAfterS, double caso,
                                           uint64_t trascorsoMs, uint32_t limiteMs) {
  if (trascorsoMs >= limiteMs) return std::nullopt;
  const uint64_t resto = limiteMs - trascorsoMs;
  uint64_t attesa;
  if (retryAfterS && *retryAfterS > 0) {
    attesa = uint64_t{std::min(*retryAfterS, kRetryAfterMassimoS)} * 1000;
  } else {
    uint64_t passo = kAttesaAccessoInizialeMs;
    for (uint32_t i = 1; i < rifiuti && passo < kAttesaAccessoPassoMassimoMs; ++i) passo *= 2;
    passo = std::min<uint64_t>(passo, kAttesaAccessoPassoMassimoMs);
    caso = std::clamp(caso, 0.0, 1.0);
    attesa = static_cast<uint64_t>(static_cast<double>(passo) * (1.0 + caso) / 2.0);
  }
  return static_cast<uint32_t>(std::min(attesa, resto));
}

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
                                   const std::string& accountUser, const std::string& accountPassword,
                                   uint32_t limiteMs, uint32_t* rifiuti) {
  http.ResetRequestHeaders();
  http.SetContentType("application/json");
  TJSONObject richiesta;
  richiesta.AddPair("username", accountUser).AddPair("password", accountPassword);
  const std::string corpo = richiesta.ToString();
  const auto inizio = std::chrono::steady_clock::now();
  uint32_t rifiutate = 0;
  if (rifiuti) *rifiuti = 0;
  for (;;) {
    try {
      return http.Post(baseUrl + "api/v1/session", corpo);
    } catch (const EIdHTTPProtocolException& e) {
      if (e.ErrorCode() != 429 && e.ErrorCode() != 503) throw;
      const auto trascorso =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio);
      std::optional<uint32_t> attesa = AttesaNuovoAccesso(
          rifiutate + 1, SecondiRetryAfter(HeaderValue(http.Response().headers, "Retry-After")), CasoAttesa(),
          static_cast<uint64_t>(trascorso.count()), limiteMs);
      if (!attesa) throw;
      ++rifiutate;
      if (rifiuti) *rifiuti = rifiutate;
      SleepUnlessStopped(*attesa);
    }
  }
}

EsitoPrism LoginPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                      const std::string& accountUser, const std::string& accountPassword,
                      int64_t idAlbumTolvana, TIBTransaction* scrittura) {
  EsitoPrism esito;
  // No token header is set yet on the client: the login goes out without one.
  std::string risposta = RichiestaSessionePrism(http, baseUrl, accountUser, accountPassword);
  std::unique_ptr<TJSONObject> oggetto = RispostaOggettoJSON(risposta);
  if (!oggetto) {
    esito.avvisi.push_back(Avviso::kRispostaNonValida);
    return esito;
  }
  if (!LeggiTestoJSON(oggetto.get(), "access_token", stato.TokenPrism)) {
    esito.avvisi.push_back(Avviso::kAccessTokenMancante);
  }
  const TJSONObject* user = nullptr;
  if (!LeggiOggettoJSON(oggetto.get(), "user", user)) {
    esito.avvisi.push_back(Avviso::kUserMancante);
    return esito;
  }
  if (!LeggiTestoJSON(user, "UID", stato.IdUserPrism)) {
    esito.avvisi.push_back(Avviso::kUidUtenteMancante);
    return esito;
  }
  EseguiAggiornamento(
      database, scrittura,
      AggiornamentoRiga("KELALBUMPRISM",
                        {{"TOKENPRISM", stato.TokenPrism}, {"IDUSERPRISM", stato.IdUserPrism}},
                        UgualeId::ConSpazi, idAlbumTolvana));
  esito.riuscito = esito.avvisi.empty();
  return esito;
}

EsitoPrism CaricaFoto(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                      const std::string& mediaPath, const std::string& tokenUpload,
                      MultipartFormData& corpo) {
  PreparaRichiesta(http, stato, "multipart/form-data");
  corpo.AddFile("files", mediaPath, TipoMediaUpload(mediaPath));
  return LeggiRispostaCaricamento(
      http.Post(UrlUpload(baseUrl, stato.IdUserPrism, tokenUpload), corpo, corpo.RequestContentType()));
}

EsitoPrism AssegnaAlbumPrism(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                             const std::string& tokenUpload, const std::string& idAlbum) {
  PreparaRichiesta(http, stato, "application/json");
  TJSONObject richiesta;
  auto albums = std::make_unique<TJSONArray>();
  albums->Add(idAlbum);
  richiesta.AddPair("albums", std::move(albums));
  return EsitoMessaggio(http.Put(UrlUpload(baseUrl, stato.IdUserPrism, tokenUpload), richiesta.ToString()),
                        Avviso::kRispostaNonValida, Avviso::kAlbumNonSettato);
}

EsitoPrism CreaAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                          const std::string& baseUrl, const std::string& nomeAlbum, int64_t idAlbumTolvana,
                          TIBTransaction* scrittura) {
  EsitoPrism esito;
  PreparaRichiesta(http, stato, "application/json");
  std::string idAlbum;
  {
    TJSONObject richiesta;
    richiesta.AddPair("Title", nomeAlbum).AddPair("Favorite", false);
    std::unique_ptr<TJSONObject> oggetto =
        RispostaOggettoJSON(http.Post(baseUrl + "api/v1/albums", richiesta.ToString()));
    if (!oggetto) {
      esito.avvisi.push_back(Avviso::kRispostaCreaAlbumNonValida);
      return esito;
    }
    if (!LeggiTestoJSON(oggetto.get(), "UID", idAlbum)) {
      esito.avvisi.push_back(Avviso::kUidAlbumMancante);
      return esito;
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
      esito.avvisi.push_back(Avviso::kRispostaLinkNonValida);
    } else if (LeggiTestoJSON(oggetto.get(), "Token", token) &&
               LeggiTestoJSON(oggetto.get(), "ShareUID", shareUid)) {
      link = "s/" + token + "/" + shareUid;
    } else {
      esito.avvisi.push_back(Avviso::kLinkMancante);
    }
  }
  EseguiAggiornamento(
      database, scrittura,
      AggiornamentoRiga("KELALBUMPRISM", {{"IDALBUMPRISM", stato.IdAlbumPrism}, {"LINK_CONDIVISIONE", link}},
                        UgualeId::ConSpazi, idAlbumTolvana));
  esito.riuscito = true;
  return esito;
}

void LeggiPagineFoto(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                     const std::string& idAlbum, size_t perPagina, size_t massimePagine,
                     const std::function<bool(std::string_view risposta, size_t k)>& pagina) {
  // The headers set here hold for every page.
  PreparaRichiesta(http, stato, "application/json");
  for (size_t k = 0; k < massimePagine; ++k) {
    if (!pagina(http.Get(UrlPaginaFoto(baseUrl, idAlbum, perPagina, k * perPagina)), k)) return;
  }
}

RicercaFoto CercaFotoCaricata(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                              const std::string& idAlbum, const std::string& estensione, SceltaFoto* scelta) {
  RicercaFoto ricerca;
  // The first page, kept for the file-name rule.
  std::unique_ptr<TJSONArray> prima;
  bool scelto = false;
  try {
    LeggiPagineFoto(http, stato, baseUrl, idAlbum, kFotoPerPaginaRicerca, kPagineRicercaMassime,
                    [&](std::string_view risposta, size_t k) {
                      std::unique_ptr<TJSONArray> pagina = RispostaArrayJSON(risposta);
                      if (!pagina) return false;
                      const TJSONArray& letta = *pagina;
                      if (k == 0) prima = std::move(pagina);
                      if (!scelta) return false;
                      if (const TJSONObject* elemento = scelta->Scegli(letta)) {
                        scelto = true;
                        CopiaScelta(*elemento, ricerca.foto);
                        return false;
                      }
                      return letta.Count() >= kFotoPerPaginaRicerca;
                    });
    if (scelto || !prima || (scelta && !scelta->AmmetteRegolaNome())) return ricerca;
    for (size_t i = 0; i < prima->Count(); ++i) {
      const TJSONObject& elemento = prima->Items(i).AsObject();
      if (!NomeFileCorrisponde(ValoreTestoJSON(&elemento, "FileName"), estensione)) continue;
      CopiaScelta(elemento, ricerca.foto);
      break;
    }
  } catch (const Exception& e) {
    ricerca.errore = ReportMessage(e);
  }
  return ricerca;
}

void SettaTitoloFoto(HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                     const std::string& idFoto, const std::string& titolo) {
  PreparaRichiesta(http, stato, "application/json");
  http.Put(baseUrl + "api/v1/photos/" + idFoto, CorpoTitoloFoto(stato.ContatoreFoto, idFoto, titolo));
  ++stato.ContatoreFoto;
}

}  // namespace velmora
