// The Prism server routines of a publication run: login, upload, album
// creation with its share link, filing the upload into the album, lookup of
// the uploaded photo and its title. Each routine resets the request headers,
// sends one request (two for the album), reads the answer through the JSON
// helpers and reports what it cannot use as a console line; it then returns
// normally and the run goes on. Transport, TLS, database, file and cast
// failures are raised (exception classes of platform/Exceptions.h) and end
// the run through its top-level report; only CercaFotoCaricata catches them.
//
// Every text from the server that goes into a statement is written between
// apostrophes with each apostrophe doubled, so it reaches the row unchanged
// and never alters the statement.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

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

// The user agent every request of a run carries.
inline constexpr const char* kUserAgentPrism =
    "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/52.0.2743.116 Safari/537.36";

// ---- Pure helpers (no I/O) ----

// `text` with every apostrophe doubled, for a value written between
// apostrophes in a statement.
std::string TestoSQL(std::string_view text);

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

// The title body, built by hand with exactly this layout:
// {"ID": <contatore>, "UID": "<uid>", "Title": "<titolo>", "TitleSrc": "manual" }
// uid and titolo escaped as the JSON writer escapes strings.
std::string CorpoTitoloFoto(int32_t contatore, std::string_view uid, std::string_view titolo);

// ---- Server routines ----

// POST base + "api/v1/session" with {"username","password"} and no token
// header. From the answer: "access_token" into stato.TokenPrism, the "UID"
// of object "user" into stato.IdUserPrism; both are then written into the
// album row `idAlbumTolvana` (a decimal row identifier) of KELALBUMPRISM on
// a new default transaction and made durable with commit-retaining.
// Console lines: "Risposta non valida", "Impossibile recuperare access
// token" (goes on), "User non trovato", "UID utente non trovato".
// Raises: the HttpClient's exceptions; EInvalidCast for JSON that is not an
// object; the database layer's exceptions for the update.
// `scrittura`, when given, is the started transaction of `database` the
// album-row update runs on (and is made durable on) instead of a new default
// one; an update conflict with another writer that committed meanwhile then
// makes the update run again (EseguiRipetendoConflitti, archive/DBUtility.h).
void LoginPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                const std::string& accountUser, const std::string& accountPassword,
                const std::string& idAlbumTolvana, TIBTransaction* scrittura = nullptr);

// Adds the media file `mediaPath` (a local path) to `corpo` under field
// "files" with the media type of TipoMediaUpload and POSTs it to the upload
// URL with the token header. Returns the answer text. `corpo` belongs to the
// caller, who keeps it until the end of the run.
// Raises: EFOpenError for an unreadable file; the HttpClient's exceptions.
std::string CaricaFoto(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                       const std::string& mediaPath, const std::string& tokenUpload,
                       MultipartFormData& corpo);

// PUTs {"albums":[idAlbum]} to the upload URL. Writes the answer's
// "message" text as one line, or "Risposta non valida" (not JSON), or
// "Impossibile settare album" (no "message" text).
// Raises: the HttpClient's exceptions; EInvalidCast for JSON that is not an
// object.
void AssegnaAlbumPrism(HttpClient& http, const StatoPrism& stato, const std::string& baseUrl,
                       const std::string& tokenUpload, const std::string& idAlbum);

// POSTs {"Title":nomeAlbum,"Favorite":false} to base + "api/v1/albums";
// on a "UID" sets stato.IdAlbumPrism and POSTs the share-link request to
// base + "api/v1/albums/" + UID + "/links"; then writes IDALBUMPRISM and
// LINK_CONDIVISIONE ("s/" + Token + "/" + ShareUID, or empty) into album row
// `idAlbumTolvana` with commit-retaining. Console lines: "Risposta crea
// album non valida", "Impossibile recuperare UID album" (both: nothing
// changed), "Risposta genera link non valida", "Impossibile generare link"
// (both: row updated with an empty link).
// Raises as LoginPrism. `scrittura` as for LoginPrism.
void CreaAlbumPrism(TIBDatabase& database, HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                    const std::string& nomeAlbum, const std::string& idAlbumTolvana,
                    TIBTransaction* scrittura = nullptr);

// GETs base + "api/v1/photos?count=120&offset=0&order=newest&s=" + idAlbum
// and returns, for the first element whose "FileName" ends with
// `estensione` (NomeFileCorrisponde), a new object with "UID" and "Hash"
// copied as texts; nullptr when the answer is not JSON or nothing matches.
// Every exception of the common base is caught here and written as
// "Error: " + message; the result is then returned as it stood (nullptr, or
// an object lacking the member whose read failed).
std::unique_ptr<TJSONObject> CercaFotoCaricata(HttpClient& http, const StatoPrism& stato,
                                               const std::string& baseUrl, const std::string& idAlbum,
                                               const std::string& estensione);

// A choice of one element of the photo listing (a JSON array) made before
// the file-name rule; nullptr chooses none. Must not raise.
using SceltaFoto = std::function<const TJSONObject*(const TJSONArray& elenco)>;

// CercaFotoCaricata with `preferita` asked first: when it chooses an element,
// that element's "UID" and "Hash" make the result (same reads, same failures)
// and the file-name rule is not applied; otherwise everything is as above.
// The same single request.
std::unique_ptr<TJSONObject> CercaFotoCaricata(HttpClient& http, const StatoPrism& stato,
                                               const std::string& baseUrl, const std::string& idAlbum,
                                               const std::string& estensione, const SceltaFoto& preferita);

// PUTs the title body (CorpoTitoloFoto with stato.ContatoreFoto) to
// base + "api/v1/photos/" + idFoto; the answer is not examined. Raises
// stato.ContatoreFoto by one when the request returned.
// Raises: the HttpClient's exceptions.
void SettaTitoloFoto(HttpClient& http, StatoPrism& stato, const std::string& baseUrl,
                     const std::string& idFoto, const std::string& titolo);

}  // namespace velmora
