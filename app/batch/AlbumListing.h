// What a server album holds, read page by page by LeggiPagineFoto
// (prism/PrismApi.h) until a page shorter than the page size.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "prism/PrismApi.h"

namespace velmora {

class HttpClient;

// One element of the listing.
struct FotoAlbum {
  std::string uid;
  std::string hash;  // as the server gives it
  std::string fileName;
};

// The page size of a listing.
inline constexpr size_t kFotoPerPagina = 120;
// A listing stops after this many pages even when every page is full (a
// server that ignores "offset" would otherwise be read for ever).
inline constexpr size_t kPagineMassime = 10000;

// The elements of one page answer, in the server's order. Elements that
// are not objects or lack a "UID" or "Hash" text are left out (they cannot
// be identified); `elementi` receives the page's length as the server sent
// it, for the short-page test.
// Raises EInvalidCast when the answer is JSON but not an array, and
// EJSONException when it is not JSON at all ("Risposta elenco foto non
// valida").
std::vector<FotoAlbum> LeggiPaginaFoto(std::string_view risposta, size_t& elementi);

// Every photo of album stato.IdAlbumPrism, newest first, read through
// `http` with the session of `stato`. A page that begins with the element
// the page before began with ends the reading (a server that ignores
// "offset" sends its first page again).
// Raises the HttpClient's exceptions and those of LeggiPaginaFoto.
std::vector<FotoAlbum> ElencaFotoAlbum(HttpClient& http, const std::string& baseUrl, const StatoPrism& stato,
                                       size_t perPagina = kFotoPerPagina);

// `hash` lower-cased (ASCII), for comparing hex digests without case. Pure.
std::string HashNormalizzato(std::string_view hash);

}  // namespace velmora
