#include "app/doctor/Report.h"

#include <memory>

#include "transport/Json.h"

namespace velmora {
namespace {

const char* NomeGruppo(int gruppo) {
  switch (gruppo) {
    case 1:
      return "Parametri";
    case 2:
      return "Configurazione";
    case 3:
      return "Archivio";
    case 4:
      return "Trasferimento";
    case 5:
      return "Server";
    default:
      return "";
  }
}

const char* Colore(Esito esito) {
  switch (esito) {
    case Esito::Ok:
      return "\x1b[32m";
    case Esito::Avviso:
      return "\x1b[33m";
    case Esito::Errore:
      return "\x1b[31m";
  }
  return "";
}

std::string Marca(Esito esito, bool colori) {
  std::string marca = MarcaEsito(esito);
  std::string pad(4 - marca.size(), ' ');
  if (!colori) return marca + pad;
  return Colore(esito) + marca + "\x1b[0m" + pad;
}

}  // namespace

const char* MarcaEsito(Esito esito) {
  switch (esito) {
    case Esito::Ok:
      return "OK";
    case Esito::Avviso:
      return "WARN";
    case Esito::Errore:
      return "FAIL";
  }
  return "";
}

std::string RigaVerifica(const Verifica& v, bool colori) {
  std::string riga = Marca(v.esito, colori) + " " + std::to_string(v.gruppo) + " " + NomeGruppo(v.gruppo) +
                     " - " + v.nome + ": " + v.dettaglio;
  if (v.esito != Esito::Ok && !v.suggerimento.empty()) riga += " -> Cosa fare: " + v.suggerimento;
  return riga;
}

std::string RigaRiepilogo(const std::vector<Verifica>& verifiche, bool colori) {
  int conteggio[3] = {0, 0, 0};
  for (const Verifica& v : verifiche) ++conteggio[static_cast<int>(v.esito)];
  std::string riga = "Esito: " + std::to_string(conteggio[0]) + " OK, " + std::to_string(conteggio[1]) +
                     " WARN, " + std::to_string(conteggio[2]) + " FAIL: ";
  if (conteggio[2] > 0) {
    riga += colori ? std::string(Colore(Esito::Errore)) + "problemi trovati\x1b[0m" : "problemi trovati";
  } else {
    riga += colori ? std::string(Colore(Esito::Ok)) + "nessun errore\x1b[0m" : "nessun errore";
  }
  return riga;
}

std::string DiagnosiJSON(const RichiestaDiagnosi& richiesta, const std::vector<Verifica>& verifiche,
                         const std::string& versione) {
  TJSONObject documento;
  documento.AddPair("programma", "velmora-doctor").AddPair("versione", versione);
  documento.AddPair("utente", richiesta.utente).AddPair("ditta", richiesta.ditta);
  documento.AddPair("trasferimento", richiesta.idTransfer);
  documento.AddPair("esito", CodiceUscita(verifiche) == 0 ? "OK" : "FAIL");
  auto elenco = std::make_unique<TJSONArray>();
  for (const Verifica& v : verifiche) {
    auto voce = std::make_unique<TJSONObject>();
    voce->AddPair("gruppo", v.gruppo).AddPair("area", NomeGruppo(v.gruppo)).AddPair("nome", v.nome);
    voce->AddPair("esito", MarcaEsito(v.esito)).AddPair("dettaglio", v.dettaglio);
    voce->AddPair("suggerimento", v.suggerimento);
    elenco->Add(std::move(voce));
  }
  documento.AddPair("verifiche", std::move(elenco));
  return documento.ToString();
}

int CodiceUscita(const std::vector<Verifica>& verifiche) {
  for (const Verifica& v : verifiche) {
    if (v.esito == Esito::Errore) return 1;
  }
  return 0;
}

}  // namespace velmora
