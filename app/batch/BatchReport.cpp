#include "app/batch/BatchReport.h"

#include <cstdio>
#include <memory>

#include "platform/Console.h"
#include "transport/Json.h"

namespace velmora {

namespace {

std::string MiB(uint64_t byte) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(byte) / (1024.0 * 1024.0));
  return text;
}

const char* NomeEsito(EsitoRiga esito) {
  switch (esito) {
    case EsitoRiga::kPubblicata:
      return "pubblicata";
    case EsitoRiga::kGiaPresente:
      return "gia_presente";
    case EsitoRiga::kNonRiuscita:
      return "non_riuscita";
    case EsitoRiga::kSaltata:
      return "saltata";
    case EsitoRiga::kOccupata:
      return "occupata";
    case EsitoRiga::kInterrotta:
      return "interrotta";
    case EsitoRiga::kDaPubblicare:
      return "da_pubblicare";
  }
  return "";
}

}  // namespace

Riepilogo Conta(const std::vector<RisultatoRiga>& righe) {
  Riepilogo r;
  for (const RisultatoRiga& riga : righe) {
    switch (riga.esito) {
      case EsitoRiga::kPubblicata:
        ++r.pubblicate;
        break;
      case EsitoRiga::kGiaPresente:
        ++r.giaPresenti;
        break;
      case EsitoRiga::kNonRiuscita:
      case EsitoRiga::kInterrotta:
        ++r.nonRiuscite;
        break;
      case EsitoRiga::kSaltata:
        ++r.saltate;
        break;
      case EsitoRiga::kOccupata:
        ++r.occupate;
        break;
      case EsitoRiga::kDaPubblicare:
        ++r.daPubblicare;
        break;
    }
  }
  return r;
}

int CodiceUscita(const Riepilogo& riepilogo) {
  return riepilogo.nonRiuscite == 0 && riepilogo.saltate == 0 ? 0 : 1;
}

std::string RigaEsito(const RisultatoRiga& riga) {
  std::string line = "Riga " + std::to_string(riga.id) + ": ";
  switch (riga.esito) {
    case EsitoRiga::kPubblicata:
      return line + "pubblicata " + OneLineText(riga.uid);
    case EsitoRiga::kGiaPresente:
      return line + "già sul server " + OneLineText(riga.uid);
    case EsitoRiga::kNonRiuscita:
      return line + "non riuscita: " + OneLineText(riga.motivo);
    case EsitoRiga::kSaltata:
    case EsitoRiga::kOccupata:
      return line + "saltata: " + OneLineText(riga.motivo);
    case EsitoRiga::kInterrotta:
      return line + "interrotta, resta in attesa";
    case EsitoRiga::kDaPubblicare:
      return line + "da pubblicare " + OneLineText(riga.file) + " (" + OneLineText(riga.motivo) + ")";
  }
  return line;
}

std::string RigaRiepilogo(const Riepilogo& r) {
  char secondi[32];
  std::snprintf(secondi, sizeof secondi, "%.1f s", r.secondi);
  if (r.dryRun) {
    return "Da pubblicare " + std::to_string(r.daPubblicare) + ", saltate " + std::to_string(r.saltate) +
           "; prova, nessuna modifica";
  }
  std::string line = "Pubblicate " + std::to_string(r.pubblicate) + ", già sul server " +
                     std::to_string(r.giaPresenti) + ", non riuscite " + std::to_string(r.nonRiuscite) +
                     ", saltate " + std::to_string(r.saltate) +
                     (r.occupate > 0 ? ", in corso altrove " + std::to_string(r.occupate) : "") + "; " +
                     MiB(r.byteInviati) + " inviati in " + secondi;
  if (r.interrotto) line += " (interrotto da un segnale)";
  return line;
}

std::string ReportJSON(const std::vector<RisultatoRiga>& righe, const Riepilogo& r) {
  TJSONObject report;
  report.AddPair("dry_run", r.dryRun).AddPair("interrotto", r.interrotto);
  auto riepilogo = std::make_unique<TJSONObject>();
  riepilogo->AddPair("pubblicate", static_cast<int64_t>(r.pubblicate))
      .AddPair("gia_presenti", static_cast<int64_t>(r.giaPresenti))
      .AddPair("non_riuscite", static_cast<int64_t>(r.nonRiuscite))
      .AddPair("saltate", static_cast<int64_t>(r.saltate))
      .AddPair("in_corso_altrove", static_cast<int64_t>(r.occupate))
      .AddPair("da_pubblicare", static_cast<int64_t>(r.daPubblicare))
      .AddPair("byte_inviati", static_cast<int64_t>(r.byteInviati))
      .AddPair("millisecondi", static_cast<int64_t>(r.secondi * 1000 + 0.5))
      .AddPair("codice_uscita", static_cast<int64_t>(CodiceUscita(r)));
  report.AddPair("riepilogo", std::move(riepilogo));
  auto elenco = std::make_unique<TJSONArray>();
  for (const RisultatoRiga& riga : righe) {
    auto o = std::make_unique<TJSONObject>();
    o->AddPair("id", riga.id)
        .AddPair("album", riga.idAlbum)
        .AddPair("esito", NomeEsito(riga.esito))
        .AddPair("uid", riga.uid)
        .AddPair("hash", riga.hash)
        .AddPair("motivo", riga.motivo)
        .AddPair("file", riga.file)
        .AddPair("byte", static_cast<int64_t>(riga.byte));
    elenco->Add(std::move(o));
  }
  report.AddPair("righe", std::move(elenco));
  return report.ToString();
}

std::string RigaAvanzamento(size_t fatte, size_t totale, uint64_t inviati, uint64_t daInviare,
                            double secondi) {
  std::string line =
      std::to_string(fatte) + "/" + std::to_string(totale) + " righe, " + MiB(inviati) + " inviati, ";
  double velocita = secondi > 0 ? static_cast<double>(inviati) / (1024.0 * 1024.0) / secondi : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MiB/s, ", velocita);
  line += text;
  if (inviati == 0 || secondi <= 0) return line + "fine tra --:--";
  double restanti = daInviare > inviati ? static_cast<double>(daInviare - inviati) : 0;
  auto eta = static_cast<uint64_t>(restanti / (static_cast<double>(inviati) / secondi) + 0.5);
  std::snprintf(text, sizeof text, "fine tra %llu:%02llu", static_cast<unsigned long long>(eta / 60),
                static_cast<unsigned long long>(eta % 60));
  return line + text;
}

}  // namespace velmora
