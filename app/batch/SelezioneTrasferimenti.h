// The transfer rows a batch publishes: every pending row of the archive
// (DATAORATRANSF NULL), optionally only those of some album rows or of some
// transfer ids (which may name rows already published, to publish them
// again), each with its album row and photo row as one run reads them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "publish/RigaTrasferimento.h"

namespace velmora {

class TIBDatabase;

// Which rows. Every value is a validated number, so the statement text
// built from it cannot be changed by it.
struct SelezioneTrasferimenti {
  std::vector<int64_t> album;  // IDALBUM values; empty = every album row
  struct Intervallo {
    int64_t da = 0;
    int64_t a = 0;
  };
  std::vector<Intervallo> ids;  // transfer ids; empty = pending rows only
  // Also the rows recorded without a photo (RegistrataSenzaFoto), which are
  // then marked `riparazione`.
  bool ripara = false;
};

// A transfer row recorded without a photo: the row says sent, but what it
// holds is the upload token (6 characters a-z, 0-9) and no hash, as a run
// records it when the server did not list the photo it uploaded. The photo
// may not be on the server at all. Pure.
bool RegistrataSenzaFoto(std::string_view idPrism, std::string_view hashPrism);

// The same test as a condition on KELTRANSFLOG L, for statements (the
// token's alphabet is checked again with RegistrataSenzaFoto on each row).
inline constexpr const char* kCondizioneSenzaFoto =
    "L.DATAORATRANSF IS NOT NULL AND (L.HASHPRISM IS NULL OR L.HASHPRISM = '') AND CHAR_LENGTH(L.IDPRISM) = "
    "6";

// The selection statement: kSelezioneTrasferimento with the condition of
// `selezione`, ordered by album row and transfer id. Pure.
std::string TestoSelezione(const SelezioneTrasferimenti& selezione);

// Runs the selection on a new read-committed transaction of `database`,
// committed once the rows are read, and returns the rows as RigaDaRisultato
// reads them (media paths mapped with section "PERCORSI" of
// `parameterFile`), `riparazione` set for the rows to repair.
// Raises the database layer's exceptions.
std::vector<RigaTrasferimento> LeggiTrasferimenti(TIBDatabase& database,
                                                  const SelezioneTrasferimenti& selezione,
                                                  const std::string& parameterFile);

// The service's full look at the archive: only the identifiers of the
// pending rows (DATAORATRANSF NULL) and, with `ripara`, of the rows that may
// be recorded without a photo, of the album rows `album` (empty: all), in id
// order. One statement on KELTRANSFLOG alone, no join; without an index on
// DATAORATRANSF it reads the whole table. Pure.
std::string TestoControllo(const std::vector<int64_t>& album, bool ripara);

// The service's look at the newest rows: every row with ID above `sopraId`
// (found through the primary key, so its cost follows the rows above
// `sopraId`, not the table), with DA_GUARDARE 1 for a row TestoControllo
// would give, else 0. Pure.
std::string TestoControlloRecenti(const std::vector<int64_t>& album, bool ripara, int64_t sopraId);

struct Controllo {
  std::vector<int64_t> daGuardare;  // rows to look at, in id order
  std::vector<int64_t> nonPiu;      // (recent look) rows read that are not to look at
  int64_t idMassimo = 0;            // the highest ID of the table (full look) or of the rows read
};

// The full look (TestoControllo) and the table's highest ID, on a new
// read-committed transaction committed before return. Raises the database
// layer's exceptions.
Controllo LeggiDaControllare(TIBDatabase& database, const std::vector<int64_t>& album, bool ripara);

// The recent look (TestoControlloRecenti) the same way.
Controllo LeggiRecenti(TIBDatabase& database, const std::vector<int64_t>& album, bool ripara,
                       int64_t sopraId);

}  // namespace velmora
