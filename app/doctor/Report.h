// The output of velmora-doctor: one plain line per check (a mark OK / WARN /
// FAIL, coloured only when asked), a closing summary line, or the same as
// one JSON document. Pure functions over the checks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/doctor/Doctor.h"

namespace velmora {

// "OK", "WARN" or "FAIL".
const char* MarcaEsito(Esito esito);

// "OK   2 Configurazione - Riga utente: CODICE = 1 trovato"; WARN and FAIL
// lines end with " -> Cosa fare: " and the hint. `colori`: the mark in
// green, yellow or red (ANSI escapes).
std::string RigaVerifica(const Verifica& verifica, bool colori);

// "Esito: 12 OK, 1 WARN, 0 FAIL" (the verdict last).
std::string RigaRiepilogo(const std::vector<Verifica>& verifiche, bool colori);

// The whole diagnosis as JSON: program, version, arguments, overall verdict
// and the list of checks with group, name, verdict, detail and hint.
std::string DiagnosiJSON(const RichiestaDiagnosi& richiesta, const std::vector<Verifica>& verifiche,
                         const std::string& versione);

// 0 when no check failed, 1 otherwise.
int CodiceUscita(const std::vector<Verifica>& verifiche);

}  // namespace velmora
