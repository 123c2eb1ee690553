// The Prism server routines of a publication: login, upload, album creation
// with its share link, filing the uploads into the album, the album's
// listing, lookup of the uploaded photo and its title. Each routine resets
// the request headers, sends one request (two for the album; the login again
// while the server's login limit refuses it; the listing one per page it
// reads), reads the answer through the JSON helpers and returns what it made
// of it: an EsitoPrism, whose notices are the lines a run writes for them
// (TestoAvviso). Nothing is written here; the calling program writes its own
// lines. Transport, TLS, database, file and cast failures are raised
// (exception classes of platform/Exceptions.h); only CercaFotoCaricata
// catches them, and returns them as its error.
//
// Every text from the server that goes into a statement is written between
// apostrophes with each apostrophe doubled, so it reaches the row unchanged
// and never alters the statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/SQLText.h"  // TestoSQL, for the callers that write server texts into statements
#include "transport/Json.h"

namespace velmora {

class HttpClient;
class MultipartFormData;
class TIBDatabase;
class TIBTransaction;

// The values one run shares between its stages and the server routines.
struct StatoPrism {
  std::string TokenPrism;     // sent as X-Auth-Token; set by LoginPrism
  std::string IdUserPrism;    // user part of the upload URL; set by LoginPrism
  std::string IdAlbumPrism;   // the server album; set by CreaAlbumPrism
  int32_t ContatoreFoto = 1;  // "ID" of the next title update
};

// What a routine could not use in the server's answer. The comment gives the
// line a run writes for it (TestoAvviso).
enum class Avviso {
  kRispostaNonValida,           // "Risposta non valida": login, upload or filing answer not JSON
  kAccessTokenMancante,         // "Impossibile recuperare access token"
  kUserMancante,                // "User non trovato"
  kUidUtenteMancante,           // "UID utente non trovato"
  kCaricamentoSenzaMessaggio,   // "Impossibile caricare foto"
  kAlbumNonSettato,             // "Impossibile settare album"
  kRispostaCreaAlbumNonValida,  // "Risposta crea album non valida"
  kUidAlbumMancante,            // "Impossibile recuperare UID album"
  kRispostaLinkNonValida,       // "Risposta genera link non valida"
  kLinkMancante,                // "Impossibile generare link"
};

// The run's line for `avviso`, as in the comments above. Pure.
const char* TestoAvviso(Avviso avviso);

// What one server routine did.
struct EsitoPrism {
  bool riuscito = false;       // the routine did its work (each routine says what that is)
  std::vector<Avviso> avvisi;  // in the order a run writes their lines
  std::string messaggio;       // the answer's "message" text (upload, filing), as sent
};

// The user agent every request of a run carries.
inline constexpr const char* kUserAgentPrism =
    "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/52.0.2743.116 Safari/537.36";

// ---- Pure helpers (no I/O) ----

// The upload URL shared by CaricaFoto and AssegnaAlbumPrism:
// base + "api/v1/users/" + user + "/upload/" + token, joined as they stand.
std::string UrlUpload(std::string_view baseUrl, std::string_view idUser, std::string_view token);

// The media type of the upload for the media path lower-cased with the
// user's locale: ending in "mp4" -> "video/mp4", in "mov" ->
// "video/quicktime", else "image/jpeg".
std::string TipoMediaUpload(std::string_view mediaPath);

// True when `fileName` ends with `estensione`, both lower-cased with the
// user's locale rules (no dot needed before it).
bool NomeFileCorrisponde(std::string_view fileName, std::string_view estensione);

// The URL of one page of an album's photo listing: base +
// "api/v1/photos?count=" + count + "&offset=" + offset + "&order=newest&s=" +
// idAlbum, the album identifier appended unchanged.
std::string UrlPaginaFoto(std::string_view baseUrl, std::string_view idAlbum, size_t count, size_t offset);

// The title body, built by hand with exactly this layout:
// {"ID": <contatore>, "UID": "<uid>", "Title": "<titolo>", "TitleSrc": "manual" }
// uid and titolo escaped as the JSON writer escapes strings.
std::string CorpoTitoloFoto(int32_t contatore, std::string_view uid, std::string_view titolo);

// How long a login answered 429 or 503 waits before it is sent again.
inline constexpr uint32_t kAttesaAccessoInizialeMs = 500;       // first wait without Retry-After
inline constexpr uint32_t kAttesaAccessoPassoMassimoMs = 8000;  // the doubling stops here
inline constexpr uint32_t kRetryAfterMassimoS = 60;             // a longer Retry-After is cut to this
inline constexpr uint32_t kAttesaAccessoMassimaMs = 120000;     // every wait of one login together

// The seconds of a "Retry-After" value in its delta-seconds form (decimal
// digits, blanks around them allowed); nullopt for anything else (an HTTP
// date, empty, too large for 32 bits). Pure.
std::optional<uint32_t> SecondiRetryAfter(std::string_view valore);

// The wait before sending a login again after its `rifiuti`-th refusal (429
// or 503; 1 for the first), or nullopt when it is not to be sent again.
//  - `retryAfterS` given and above 0: that many seconds, at most
//    kRetryAfterMassimoS;
//  - otherwise kAttesaAccessoInizialeMs doubling with every refusal up to
//    kAttesaAccessoPassoMassimoMs, of which a random part is left out: with
//    `caso` in [0, 1) the wait is passo * (1 + caso) / 2, so runs refused
//    together come back spread over the second half of the step.
// The waits of one login end `limiteMs` after its first request at the
// latest: with `trascorsoMs` since then, the wait is cut to what is left,
// and nullopt comes once nothing is left. Pure.
std::optional<uint32_t> AttesaNuovoAccesso(uint32_t rifiuti, std::optional<uint32_t> retryAfterS, double caso,
                                           uint64_t trascorsoMs, uint32_t limiteMs = kAttesaAccessoMassimaMs);

// ---- Server routines ----

// The login request alone: resets the request headers, sets "Content-Type"
// to "application/json" and POSTs {"username":..., "password":...} to base +
// "api/v1/session". Returns the answer text; nothing is written anywhere.
// A server that limits logins answers 429 (or 503 when busy): such an answer
// is waited out and the same request sent again, as AttesaNuovoAccesso
// plans it (with a random `caso` of this process), for at most `limiteMs`
// of waiting in all; the waits end at once at a stop signal
// (SleepUnlessStopped). Every other answer, and the last refusal when the
// time is up, is returned or raised as HttpClient returns or raises it.
// `rifiuti`, when given, receives the number of refusals waited out.
// Raises the HttpClient's exceptions; EStopRequested from a wait.
std::string RichiestaSessionePrism(HttpClient& http, const std::string& baseUrl,
                                   const std::string& accountUser, const std::string& accountPassword,
                                   uint32_t limiteMs = kAttesaAccessoMassimaMs, uint32_t* rifiuti = nullptr);

// POST base + "api/v1/session" with {"username","password"} and no token
// header, sent again while the server refuses it for its login limit
// (RichiestaSessionePrism). From the answer: "access_token" into stato.TokenPrism, the "UID"
// of object "user" into stato.IdUserPrism; both are then written into the
// album row `idAlbumTolvana` (a decimal row identifier) of KELALBUMPRISM on
// a new default transaction and made durable with commit-retaining.
// Notices: kRispostaNonValida, kAccessTokenMancante (the reading goes on),
// kUserMancante, kUidUtenteMancante; nothing is written into the row after
// the last three. Riuscito when there is no notice.
// Raises: the HttpClient's exceptions; EInvalidCast for JSON that is not an
// object; the database layer's exceptions for the update; EStopRequested
// when a stop signal ends a wait for the login limit.
// `scrittura`, when given, is the started transaction of `database` the
// album-row update runs on (and is made durable on) instead of a new default
// one; an update conflict with another writer that committed meanwhile then
// makes the update run again (EseguiRipetendoConflitti, archive/DBUtility.h).
EsitoPrism LoginPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                      const std::string& accountUser, const std::string& accountPassword,
                      int64_t idAlbumTolvana, TIBTransaction* scrittura = nullptr);

// What an upload answer says (pure): riuscito with its "message" text, or
// the notice kRispostaNonValida (not a JSON object) or
// kCaricamentoSenzaMessaggio (no "message" text).
EsitoPrism LeggiRispostaCaricamento(std::string_view risposta);

// Adds the media file `mediaPath` (a local path) to `corpo` under field
// "files" with the media type of TipoMediaUpload and POSTs it to the upload
// URL with the token header. Returns LeggiRispostaCaricamento of the answer.
// `corpo` belongs to the caller, who keeps it until the end of the run.
// Several uploads under one `tokenUpload` are filed together by one
// AssegnaAlbumPrism.
// Raises: EFOpenError for an unreadable file; the HttpClient's exceptions.
EsitoPrism CaricaFoto(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                      const std::string& mediaPath, const std::string& tokenUpload, MultipartFormData& corpo);

// PUTs {"albums":[idAlbum]} to the upload URL: files every upload sent
// under `tokenUpload` into the album. Riuscito with the answer's "message"
// text; else the notice kRispostaNonValida (not JSON) or kAlbumNonSettato
// (no "message" text).
// Raises: the HttpClient's exceptions; EInvalidCast for JSON that is not an
// object.
EsitoPrism AssegnaAlbumPrism(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                             const std::string& tokenUpload, const std::string& idAlbum);

// POSTs {"Title":nomeAlbum,"Favorite":false} to base + "api/v1/albums";
// on a "UID" sets stato.IdAlbumPrism and POSTs the share-link request to
// base + "api/v1/albums/" + UID + "/links"; then writes IDALBUMPRISM and
// LINK_CONDIVISIONE ("s/" + Token + "/" + ShareUID, or empty) into album row
// `idAlbumTolvana` with commit-retaining. Riuscito when the album was
// created. Notices: kRispostaCreaAlbumNonValida, kUidAlbumMancante (both:
// nothing changed, not riuscito), kRispostaLinkNonValida, kLinkMancante
// (both: riuscito, the row updated with an empty link).
// Raises as LoginPrism. `scrittura` as for LoginPrism.
EsitoPrism CreaAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato,
                          const std::string& baseUrl, const std::string& nomeAlbum, int64_t idAlbumTolvana,
                          TIBTransaction* scrittura = nullptr);

// The page size of the uploaded photo's lookup, and how many pages it reads
// at most.
inline constexpr size_t kFotoPerPaginaRicerca = 120;
inline constexpr size_t kPagineRicercaMassime = 100;

// Reads album `idAlbum`'s photo listing page by page: GETs
// UrlPaginaFoto(baseUrl, idAlbum, perPagina, k * perPagina) for k = 0, 1, ...
// with content type "application/json" and the token header, and hands each
// answer text with its k to `pagina`. The reading ends when `pagina`
// returns false or after `massimePagine` pages.
// Raises the HttpClient's exceptions and what `pagina` raises.
void LeggiPagineFoto(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                     const std::string& idAlbum, size_t perPagina, size_t massimePagine,
                     const std::function<bool(std::string_view risposta, size_t k)>& pagina);

// A way of knowing the uploaded photo among the listing's elements better
// than by its file name, asked for every page the lookup reads.
class SceltaFoto {
 public:
  virtual ~SceltaFoto() = default;
  // The element of `pagina` that is the uploaded photo, nullptr when it is
  // not on this page. Must not raise.
  virtual const TJSONObject* Scegli(const TJSONArray& pagina) = 0;
  // Asked when no page read held the photo: true when the file-name rule
  // may still choose on the first page, false when the pages read show the
  // photo is not there.
  virtual bool AmmetteRegolaNome() const = 0;
};

// What the lookup found.
struct RicercaFoto {
  std::unique_ptr<TJSONObject> foto;  // "UID" and "Hash" of the photo, nullptr when none
  std::string errore;                 // ReportMessage of the failure that ended it, else empty
};

// The lookup of the uploaded photo, by LeggiPagineFoto with
// kFotoPerPaginaRicerca elements a page, up to kPagineRicercaMassime pages.
// Without `scelta` only the first page is read: the first element whose
// "FileName" ends with `estensione` (NomeFileCorrisponde) gives a new object
// with "UID" and "Hash" copied as texts; nothing when the answer is not JSON
// or nothing matches.
// With `scelta`, it is asked first on every page read; while it chooses
// nothing and the page held kFotoPerPaginaRicerca elements or more, the next
// page is read; a short page or a later page that is not JSON ends the
// reading. When `scelta` chooses an element, its "UID" and "Hash" make the
// result (same reads, same failures) and the file-name rule is not applied.
// When it chooses none, the file-name rule runs on the first page only if
// scelta->AmmetteRegolaNome(); otherwise there is no photo.
// Every exception of the common base is caught here and kept as `errore`;
// the photo is then returned as it stood (none, or an object lacking the
// member whose read failed), and none after a later page that is JSON but
// not an array.
RicercaFoto CercaFotoCaricata(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                              const std::string& idAlbum, const std::string& estensione,
                              SceltaFoto* scelta = nullptr);

// PUTs the title body (CorpoTitoloFoto with stato.ContatoreFoto) to
// base + "api/v1/photos/" + idFoto; the answer is not examined. Raises
// stato.ContatoreFoto by one when the request returned.
// Raises: the HttpClient's exceptions.
void SettaTitoloFoto(HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                     const std::string& idFoto, const std::string& titolo);

}  // namespace velmora
