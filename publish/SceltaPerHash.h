// Which element of the album's photo listing is the photo a process uploaded.
// The listing names photos by file name only; when several processes upload
// into one album at once, or the album holds photos shot later than the new
// one, the newest photo with the right extension may be another's. The
// content hash tells them apart: the server gives each file the SHA-1 of its
// bytes as "Hash".
#pragma once

#include <string>
#include <string_view>

#include "prism/PrismApi.h"
#include "transport/Json.h"

namespace velmora {

// True when `hash` has the form of a SHA-1 digest: 40 hexadecimal digits,
// either case. Pure.
bool FormaSha1(std::string_view hash);

// The first element of `elenco` that is an object whose "Hash" member reads
// as text (LeggiTestoJSON) equal to `sha1Hex`, compared without regard to
// ASCII case; nullptr when none is, or when `sha1Hex` is empty. Elements of
// another kind or without "Hash" are passed over. Never raises. Pure.
const TJSONObject* ElementoConHash(const TJSONArray& elenco, std::string_view sha1Hex);

// True when some element of `elenco` is an object whose "Hash" reads as text
// of the form of a SHA-1 digest (FormaSha1). Never raises. Pure.
bool ElencaHashSha1(const TJSONArray& elenco);

// The lookup's choice by content hash (CercaFotoCaricata): the element whose
// "Hash" is the SHA-1 of the bytes sent. A video lists as two elements with
// one UID, its preview first: the video itself carries the upload's hash, so
// it is the one chosen.
// When no page read holds that hash, the file-name rule is allowed only if
// no element of any page read carried a SHA-1-shaped hash: such a server
// hashes as we do, so the photo is simply not in the album (not imported,
// or not listed yet), and any other photo would be a stranger's. A server
// that hashes otherwise keeps the file-name rule.
class SceltaPerHash : public SceltaFoto {
 public:
  explicit SceltaPerHash(std::string sha1Hex) : hash_(std::move(sha1Hex)) {}
  const TJSONObject* Scegli(const TJSONArray& pagina) override;
  bool AmmetteRegolaNome() const override { return !hashSha1Visti_; }

 private:
  std::string hash_;
  bool hashSha1Visti_ = false;  // some element of a page read carried a SHA-1-shaped hash
};

}  // namespace velmora
