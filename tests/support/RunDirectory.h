// The directory a run of the programs reads, as the end-to-end tests lay it
// out: the parameter file, an empty configuration database and the "Archivio"
// setting of user 1, company query_esterno. Header-only: its users link the
// configuration store.
#pragma once

#include <string>

#include "archive/IBDatabase.h"
#include "config/QorIni22.h"
#include "tests/support/FirebirdSupport.h"
#include "tests/support/TestSupport.h"

namespace velmora::test {

// Writes `dir`/ParametriKelvora.ini (configuration database `dir`/config.fdb,
// stored prefix "C:\Foto\" mapped to `dir`/foto/), creates that database
// empty, so that InizializzaQuery attaches instead of creating (which would
// show a message), and lets InizializzaQuery point user 1's "Archivio" at
// `archive`. The archive itself is not created.
inline void PrepareRunDirectory(const TempDir& dir, const std::string& archive) {
  WriteFileBytes(dir / "ParametriKelvora.ini",
                 "[CONFIG]\r\nUtente=1\r\nDitta=query_esterno\r\nPercorsoDatabase=" + dir / "config.fdb" +
                     "\r\n\r\n[PERCORSI]\r\nC:\\Foto\\=" + dir / "foto/" + "\r\n");
  {
    TIBDatabase config;
    CreateDatabase(config, dir / "config.fdb");
  }
  TQorIni22 store(nullptr, dir.Path(), "ParametriKelvora.ini");
  store.InizializzaQuery(archive);
}

}  // namespace velmora::test
