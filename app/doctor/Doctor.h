// The checks of velmora-doctor: the chain a run walks (parameter file,
// configuration database, archive, transfer row and media file, Prism
// server), each step checked and described without changing anything. No
// database is created, no window is shown, no row is written; the requests
// sent to a server are the login, whose answer is shown and kept nowhere,
// and, for an album row that names a server album, one element of that
// album's listing.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora {

enum class Esito { Ok, Avviso, Errore };  // shown as OK / WARN / FAIL

// One line of the diagnosis.
struct Verifica {
  int gruppo = 0;    // 1 parameter file ... 5 server
  std::string nome;  // what is checked, e.g. "Riga utente"
  Esito esito = Esito::Ok;
  std::string dettaglio;     // what was found
  std::string suggerimento;  // what to do; only for WARN and FAIL
};

struct RichiestaDiagnosi {
  std::string utente;      // the run's first argument
  std::string ditta;       // the run's second argument
  std::string idTransfer;  // empty: no transfer row named
  std::string baseDir;     // where ParametriKelvora.ini is looked for; ends with "/"
  // Limits of the doctor's own waits on the network (the run waits far
  // longer): TCP connect and each read.
  int timeoutMs = 15000;
};

// Runs every check that the chain allows, in order, and hands each to
// `riporta` as soon as it is done. A failed step that the later ones
// depend on ends the chain. Never throws for what it finds; returns the
// checks made.
std::vector<Verifica> EseguiDiagnosi(const RichiestaDiagnosi& richiesta,
                                     const std::function<void(const Verifica&)>& riporta);

}  // namespace velmora
