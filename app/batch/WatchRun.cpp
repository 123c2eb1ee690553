#include "app/batch/WatchRun.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "app/batch/BatchReport.h"
#include "app/batch/BatchRun.h"
#include "app/batch/BatchWork.h"
#include "app/batch/SelezioneTrasferimenti.h"
#include "app/batch/ServiceManager.h"
#include "app/batch/WatchSchedule.h"
#include "archive/IBDatabase.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "publish/Trasferimento.h"

namespace velmora {

namespace {

using batch::Descrivi;
using batch::ScriviErrore;
using Orologio = std::chrono::steady_clock;

// How often the whole transfer table is read; between two such looks only
// the rows above the highest id seen, less this margin, are read.
constexpr auto kOgniControlloCompleto = std::chrono::minutes(5);
constexpr int64_t kMargineId = 1000;

// Today's date as a number (days are counted in local time, as a studio
// counts them).
int Giorno() {
  time_t adesso = ::time(nullptr);
  struct tm t {};
  ::localtime_r(&adesso, &t);
  return (t.tm_year + 1900) * 1000 + t.tm_yday;
}

// The ids as ranges of consecutive ids, at most kIntervalliMassimi of them.
std::vector<SelezioneTrasferimenti::Intervallo> Intervalli(const std::vector<int64_t>& ids) {
  std::vector<SelezioneTrasferimenti::Intervallo> out;
  for (int64_t id : ids) {
    if (!out.empty() && out.back().a + 1 == id) {
      out.back().a = id;
    } else {
      if (out.size() == kIntervalliMassimi) break;
      out.push_back({id, id});
    }
  }
  return out;
}

class Servizio {
 public:
  Servizio(const OpzioniBatch& opzioni, const std::string& baseDir)
      : opzioni_(opzioni),
        baseDir_(baseDir),
        fileParametri_(baseDir + kFileParametri),
        redirect_([this](std::string_view line) { notifiche_.Scrivi(Priorita::kInfo, line); }) {}

  int Esegui() {
    std::string errore;
    if (!LeggiConfigurazione(errore) || !Apri(errore)) {
      ScriviErrore(errore);
      return 2;
    }
    notifiche_.Scrivi(Priorita::kInfo, "Servizio avviato: archivio " + OneLineText(archivio_) +
                                           ", controllo ogni " + std::to_string(opzioni_.intervalloS) + " s");
    notifiche_.Pronto(Stato());
    try {
      while (!StopRequested()) {
        Ciclo();
        notifiche_.Stato(Stato());
        notifiche_.Battito();
        Attendi();
      }
    } catch (const EStopRequested&) {
      // Below: the stop is told once.
    }
    notifiche_.Arresto();
    notifiche_.Scrivi(Priorita::kInfo, std::string("Servizio fermato da ") +
                                           StopSignalName(FirstStopSignal()) + ": pubblicate oggi " +
                                           std::to_string(pubblicateOggi_) + ", in attesa " +
                                           std::to_string(inAttesa_));
    // Every claim is committed or rolled back by now. The process ends by
    // the signal without detaching: after a stop signal the embedded
    // engine does not come back from a detach.
    static_cast<void>(database_.release());
    return 0;
  }

 private:
  // The parameter file and the user's "Archivio" setting.
  bool LeggiConfigurazione(std::string& errore) {
    if (!FileExists(fileParametri_) || ::access(fileParametri_.c_str(), R_OK) != 0) {
      errore = "File ParametriKelvora.ini non esistente! (cercato in " + baseDir_ + ")";
      return false;
    }
    try {
      archivio_ = PercorsoArchivioUtente(baseDir_, opzioni_.utente, opzioni_.ditta);
    } catch (const Exception& e) {
      errore = OneLineText(Descrivi(e));
      return false;
    }
    if (archivio_.empty()) {
      errore = "Archivio vuoto (nessuna impostazione \"Archivio\" per l'utente " +
               OneLineText(opzioni_.utente) + " e la ditta " + OneLineText(opzioni_.ditta) + ")";
      return false;
    }
    return true;
  }

  bool Apri(std::string& errore) {
    auto database = std::make_unique<TIBDatabase>();
    try {
      ApriArchivioUtente(*database, archivio_, fileParametri_);
    } catch (const Exception& e) {
      InstallStopSignals();
      errore = "impossibile aprire l'archivio " + OneLineText(archivio_) + ": " + OneLineText(Descrivi(e));
      return false;
    }
    // The client library may have put its own signal handlers in place.
    InstallStopSignals();
    if (!database->Connected()) {
      errore = "impossibile aprire l'archivio " + OneLineText(archivio_);
      return false;
    }
    database_ = std::move(database);
    return true;
  }

  // SIGHUP: the parameter file and the settings again, the archive anew,
  // new sessions. What cannot be had is reported and tried at the next
  // cycle.
  void Ricarica() {
    notifiche_.Ricarica(true);
    database_.reset();
    sessioni_.Svuota();
    ultimoCompleto_.reset();
    std::string errore;
    if (LeggiConfigurazione(errore) && Apri(errore)) {
      notifiche_.Scrivi(Priorita::kInfo, "Configurazione riletta: archivio " + OneLineText(archivio_));
      erroreArchivio_.clear();
    } else {
      ErroreArchivio(errore);
    }
    notifiche_.Ricarica(false);
  }

  // A failure of the archive itself, told when it differs from the last.
  void ErroreArchivio(const std::string& errore) {
    ultimoErrore_ = errore;
    if (errore == erroreArchivio_) return;
    erroreArchivio_ = errore;
    notifiche_.Scrivi(Priorita::kErrore, errore);
  }

  void Ciclo() {
    if (TakeReloadRequest()) Ricarica();
    if (Giorno() != giorno_) {
      giorno_ = Giorno();
      pubblicateOggi_ = 0;
    }
    if (!database_) {
      std::string errore;
      if (!Apri(errore)) {
        ErroreArchivio(errore);
        return;
      }
    }
    const auto inizio = Orologio::now();
    const bool completo = !ultimoCompleto_ || inizio - *ultimoCompleto_ >= kOgniControlloCompleto;
    try {
      if (completo) {
        // The whole table now and then: rows whose id came late, rows that
        // became pending or were recorded without a photo since.
        Controllo c = LeggiDaControllare(*database_, opzioni_.album, true);
        noti_ = std::set<int64_t>(c.daGuardare.begin(), c.daGuardare.end());
        idMassimo_ = c.idMassimo;
        ultimoCompleto_ = inizio;
      } else {
        // Otherwise the newest rows only, through the primary key: a margin
        // below the highest id seen covers ids committed out of order.
        Controllo c =
            LeggiRecenti(*database_, opzioni_.album, true, std::max<int64_t>(0, idMassimo_ - kMargineId));
        noti_.insert(c.daGuardare.begin(), c.daGuardare.end());
        for (int64_t id : c.nonPiu) noti_.erase(id);
        idMassimo_ = std::max(idMassimo_, c.idMassimo);
      }
    } catch (const Exception& e) {
      // The connection may be gone (a server restarted): a new one next time.
      ErroreArchivio("archivio non raggiungibile: " + OneLineText(Descrivi(e)));
      database_.reset();
      sessioni_.Svuota();
      ultimoCompleto_.reset();
      return;
    }
    if (!erroreArchivio_.empty()) {
      erroreArchivio_.clear();
      notifiche_.Scrivi(Priorita::kInfo, "Archivio di nuovo raggiungibile");
    }
    const std::vector<int64_t> ids(noti_.begin(), noti_.end());
    piano_.Conserva(ids);
    inAttesa_ = ids.size();
    const auto adesso = Orologio::now();
    std::vector<int64_t> dovute;
    for (int64_t id : ids) {
      if (piano_.DaProvare(id, adesso)) dovute.push_back(id);
    }
    if (!dovute.empty()) Pubblica(dovute);
  }

  void Pubblica(const std::vector<int64_t>& dovute) {
    SelezioneTrasferimenti selezione;
    selezione.album = opzioni_.album;
    selezione.ids = Intervalli(dovute);
    selezione.ripara = true;
    std::vector<RigaTrasferimento> righe;
    try {
      righe = LeggiTrasferimenti(*database_, selezione, fileParametri_);
    } catch (const Exception& e) {
      ErroreArchivio("lettura delle righe non riuscita: " + OneLineText(Descrivi(e)));
      return;
    }
    std::set<int64_t> lette;
    for (const RigaTrasferimento& r : righe) lette.insert(r.id);
    // Published by another process since the cycle's look: not again.
    std::erase_if(righe, [](const RigaTrasferimento& r) { return r.pubblicata && !r.riparazione; });
    // A due row the statement did not give has no album or photo row.
    const auto adesso = Orologio::now();
    const int64_t ultima = selezione.ids.empty() ? 0 : selezione.ids.back().a;
    for (int64_t id : dovute) {
      if (id > ultima) break;
      if (!lette.contains(id)) {
        Cambio(piano_.Registra(id, EsitoTentativo::kGuasto, "riga album o riga foto mancante", adesso));
      }
    }
    UscitaPubblicazione uscita;
    uscita.esito = [this](const RisultatoRiga& r) { Tratta(r); };
    uscita.messaggio = [this](Priorita p, const std::string& line) { notifiche_.Scrivi(p, line); };
    uint64_t inviati = 0;
    BattitoDuranteLavoro battito(notifiche_);
    PubblicaRighe(opzioni_, *database_, fileParametri_, std::move(righe), uscita, &sessioni_, inviati);
  }

  void Cambio(const std::optional<CambioRiga>& cambio) {
    if (!cambio) return;
    const std::string line = RigaCambio(*cambio);
    switch (cambio->esito) {
      case EsitoTentativo::kGuasto:
        notifiche_.Scrivi(Priorita::kErrore, line);
        break;
      case EsitoTentativo::kFileMancante:
        notifiche_.Scrivi(Priorita::kAvviso, line);
        break;
      default:
        notifiche_.Scrivi(Priorita::kInfo, line);
        break;
    }
  }

  // One row's outcome: the plan, the line when something changed, the counts.
  void Tratta(const RisultatoRiga& r) {
    const auto adesso = Orologio::now();
    switch (r.esito) {
      case EsitoRiga::kPubblicata:
      case EsitoRiga::kGiaPresente:
        Fatta(r, adesso);
        ++pubblicateOggi_;
        return;
      case EsitoRiga::kNonRiuscita:
      case EsitoRiga::kSaltata: {
        const EsitoTentativo classe = ClasseGuasto(r.motivo);
        ultimoErrore_ = "riga " + std::to_string(r.id) + ": " + r.motivo;
        Cambio(piano_.Registra(r.id, classe, r.motivo, adesso));
        return;
      }
      case EsitoRiga::kOccupata:
        if (r.motivo.rfind("in lavorazione", 0) == 0) {
          Cambio(piano_.Registra(r.id, EsitoTentativo::kOccupata, r.motivo, adesso));
        } else {
          Fatta(r, adesso);
        }
        return;
      case EsitoRiga::kInterrotta:
        notifiche_.Scrivi(Priorita::kInfo, RigaEsito(r));
        return;
      case EsitoRiga::kDaPubblicare:
        return;
    }
  }

  void Fatta(const RisultatoRiga& r, Orologio::time_point adesso) {
    piano_.Registra(r.id, EsitoTentativo::kFatta, "", adesso);
    noti_.erase(r.id);
    if (inAttesa_ > 0) --inAttesa_;
    notifiche_.Scrivi(Priorita::kInfo, RigaEsito(r));
  }

  // Until the next cycle, with the watchdog fed at half its period.
  void Attendi() {
    const auto fine = Orologio::now() + std::chrono::seconds(opzioni_.intervalloS);
    const auto fetta = notifiche_.Watchdog().count() > 0
                           ? std::chrono::duration_cast<std::chrono::milliseconds>(notifiche_.Watchdog() / 2)
                           : std::chrono::milliseconds(std::chrono::seconds(opzioni_.intervalloS));
    for (;;) {
      const auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(fine - Orologio::now());
      if (resto.count() <= 0) return;
      SleepUnlessStopped(
          static_cast<uint32_t>(std::min(resto, std::max(fetta, std::chrono::milliseconds(1))).count()));
      notifiche_.Battito();
    }
  }

  std::string Stato() const { return RigaStatoServizio(inAttesa_, pubblicateOggi_, ultimoErrore_); }

  const OpzioniBatch& opzioni_;
  const std::string baseDir_;
  const std::string fileParametri_;
  ServizioNotifiche notifiche_;
  ConsoleRedirect redirect_;  // stray console lines become service lines
  std::string archivio_;
  std::unique_ptr<TIBDatabase> database_;
  PianoTentativi piano_;
  SessioniPrism sessioni_;
  size_t inAttesa_ = 0;
  size_t pubblicateOggi_ = 0;
  int giorno_ = 0;
  std::string ultimoErrore_;
  std::string erroreArchivio_;
  // The rows to look at as the last looks found them, the highest id seen,
  // and when the whole table was read last.
  std::set<int64_t> noti_;
  int64_t idMassimo_ = 0;
  std::optional<Orologio::time_point> ultimoCompleto_;
};

}  // namespace

int EseguiServizio(const OpzioniBatch& opzioni, const std::string& baseDir) {
  return batch::ConFineBatch([&] {
    Servizio servizio(opzioni, baseDir);
    return servizio.Esegui();
  });
}

}  // namespace velmora
