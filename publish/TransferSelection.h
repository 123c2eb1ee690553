// The transfer rows a batch publishes: every pending row of the archive
// (DATAORATRANSF NULL), optionally only those of some album rows or of some
// transfer ids (which may name rows already published, to publish them
// again), each with its album row and photo row as one run reads them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
};

// One selected transfer row with what its publication needs.
struct RigaTrasferimento {
  int64_t id = 0;               // KELTRANSFLOG.ID
  int64_t idAlbum = 0;          // KELALBUMPRISM.ID
  bool pubblicata = false;      // DATAORATRANSF was set (a row named by ids)
  std::string tokenPrism;       // album row: TOKENPRISM
  std::string idUserPrism;      // IDUSERPRISM
  std::string accountUser;      // ACCOUNTUSER
  std::string accountPassword;  // ACCOUNTPASSWORD
  std::string nomeSitoPrism;    // NOMESITOPRISM, base URL ending with "/"
  std::string idAlbumPrism;     // IDALBUMPRISM, "" = no server album yet
  std::string nomeAlbum;        // NOMEALBUM
  std::string titoloFoto;       // photo row: TITOLO
  std::string estensione;       // ESTENSIONE_FILE, "jpg" when empty
  std::string percorsoMedia;    // folder + "\" + name + "." + extension, as stored
  std::string fileLocale;       // percorsoMedia mapped to a local path
};

// The selection statement: the columns of RigaTrasferimento from
// KELTRANSFLOG joined with KELALBUMPRISM and KELITEMPHOTO, filtered by
// `selezione`, ordered by album row and transfer id. Pure.
std::string TestoSelezione(const SelezioneTrasferimenti& selezione);

// Runs the selection on a new read-committed transaction of `database`,
// committed once the rows are read, and returns the rows; media paths are mapped
// with section "PERCORSI" of `parameterFile`.
// Raises the database layer's exceptions.
std::vector<RigaTrasferimento> LeggiTrasferimenti(TIBDatabase& database,
                                                  const SelezioneTrasferimenti& selezione,
                                                  const std::string& parameterFile);

}  // namespace velmora
