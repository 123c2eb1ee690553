#include "app/batch/WatchSchedule.h"

#include <algorithm>
#include <unordered_set>

#include "platform/Console.h"

namespace velmora {

namespace {

constexpr size_t kErroreMassimo = 200;

bool IniziaCon(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string Durata(std::chrono::seconds pausa) {
  const int64_t s = pausa.count();
  if (s >= 60 && s % 60 == 0) return std::to_string(s / 60) + " min";
  return std::to_string(s) + " s";
}

}  // namespace

EsitoTentativo ClasseGuasto(std::string_view motivo) {
  if (IniziaCon(motivo, "File da caricare non esiste") || IniziaCon(motivo, "EFOpenError") ||
      IniziaCon(motivo, "EReadError")) {
    return EsitoTentativo::kFileMancante;
  }
  return EsitoTentativo::kGuasto;
}

std::chrono::seconds PausaDopoGuasti(int guasti) {
  std::chrono::seconds pausa = kPrimaPausa;
  for (int i = 1; i < guasti && pausa < kPausaMassima; ++i) pausa *= 2;
  return std::min(pausa, kPausaMassima);
}

std::string RigaCambio(const CambioRiga& cambio) {
  const std::string riga = "Riga " + std::to_string(cambio.id) + ": ";
  switch (cambio.esito) {
    case EsitoTentativo::kGuasto:
      return riga + "non riuscita: " + OneLineText(cambio.motivo) + "; nuovo tentativo tra " +
             Durata(cambio.pausa);
    case EsitoTentativo::kFileMancante:
      return riga + "saltata: " + OneLineText(cambio.motivo) + "; nuovo controllo tra " + Durata(cambio.pausa);
    case EsitoTentativo::kOccupata:
      return riga + "in lavorazione in un altro processo";
    case EsitoTentativo::kFatta:
    case EsitoTentativo::kInterrotta:
      break;
  }
  return riga + "in attesa";
}

bool PianoTentativi::DaProvare(int64_t id, IstanteServizio adesso) const {
  auto it = righe_.find(id);
  return it == righe_.end() || it->second.prossimo <= adesso;
}

std::optional<CambioRiga> PianoTentativi::Registra(int64_t id, EsitoTentativo esito, const std::string& motivo,
                                                   IstanteServizio adesso) {
  if (esito == EsitoTentativo::kInterrotta) return std::nullopt;
  if (esito == EsitoTentativo::kFatta) {
    righe_.erase(id);
    return std::nullopt;
  }
  auto [it, nuova] = righe_.try_emplace(id);
  Stato& s = it->second;
  const bool uguale = !nuova && s.esito == esito && s.motivo == motivo;
  std::chrono::seconds pausa{0};
  switch (esito) {
    case EsitoTentativo::kGuasto:
      s.guasti = s.esito == EsitoTentativo::kGuasto ? s.guasti + 1 : 1;
      pausa = PausaDopoGuasti(s.guasti);
      break;
    case EsitoTentativo::kFileMancante:
      s.guasti = 0;
      pausa = kPeriodoFileMancante;
      break;
    default:  // kOccupata: the next cycle
      s.guasti = 0;
      break;
  }
  s.esito = esito;
  s.motivo = motivo;
  s.prossimo = adesso + pausa;
  if (uguale) return std::nullopt;
  return CambioRiga{id, esito, motivo, pausa};
}

void PianoTentativi::Conserva(const std::vector<int64_t>& inAttesa) {
  std::unordered_set<int64_t> restano(inAttesa.begin(), inAttesa.end());
  std::erase_if(righe_, [&restano](const auto& riga) { return !restano.contains(riga.first); });
}

std::optional<IstanteServizio> PianoTentativi::ProssimaScadenza() const {
  std::optional<IstanteServizio> prima;
  for (const auto& [id, s] : righe_) {
    if (!prima || s.prossimo < *prima) prima = s.prossimo;
  }
  return prima;
}

std::string RigaStatoServizio(size_t inAttesa, size_t pubblicateOggi, std::string_view ultimoErrore) {
  std::string errore = OneLineText(ultimoErrore);
  if (errore.size() > kErroreMassimo) {
    size_t taglio = kErroreMassimo;
    // Not inside a UTF-8 sequence: back to the byte that starts one.
    while (taglio > 0 && (static_cast<unsigned char>(errore[taglio]) & 0xC0) == 0x80) --taglio;
    errore = errore.substr(0, taglio) + "…";
  }
  return "in attesa " + std::to_string(inAttesa) + ", pubblicate oggi " + std::to_string(pubblicateOggi) +
         (errore.empty() ? ", nessun errore" : ", ultimo errore " + errore);
}

}  // namespace velmora
