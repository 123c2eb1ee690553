#include "app/batch/BatchRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include "app/batch/AlbumListing.h"
#include "app/batch/BatchReport.h"
#include "app/batch/BatchWork.h"
#include "app/batch/SelezioneTrasferimenti.h"
#include "app/frame/ProgramFrame.h"
#include "archive/IBDatabase.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "publish/AlbumCondiviso.h"
#include "publish/ClientPrism.h"
#include "publish/PrenotazioneTrasferimento.h"
#include "publish/Trasferimento.h"
#include "transport/HttpClient.h"

namespace velmora {

namespace {

using batch::Avanzamento;
using batch::Descrivi;
using batch::Gruppo;
using batch::Lavoro;
using batch::Orologio;
using batch::ScriviErrore;
using batch::SecondiDa;

class Batch {
 public:
  Batch(const OpzioniBatch& opzioni, TIBDatabase& database, std::string fileParametri,
        std::vector<RigaTrasferimento> righe, const UscitaPubblicazione& uscita, SessioniPrism* sessioni)
      : opzioni_(opzioni),
        fileParametri_(std::move(fileParametri)),
        uscita_(uscita),
        sessioni_(sessioni),
        database_(database),
        righe_(std::move(righe)),
        risultati_(righe_.size()),
        stampate_(righe_.size(), false) {
    for (size_t i = 0; i < righe_.size(); ++i) {
      RisultatoRiga& r = risultati_[i];
      r.id = righe_[i].id;
      r.idAlbum = righe_[i].idAlbum;
      r.file = righe_[i].percorsoMedia;
      r.esito = EsitoRiga::kInterrotta;
      struct stat st {};
      if (::stat(righe_[i].fileLocale.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        r.byte = static_cast<uint64_t>(st.st_size);
      } else {
        r.esito = EsitoRiga::kSaltata;
        r.motivo = "File da caricare non esiste " + righe_[i].percorsoMedia;
      }
    }
  }

  const std::vector<RisultatoRiga>& Risultati() const { return risultati_; }
  uint64_t Inviati() const { return inviati_; }

  void ProvaASecco() {
    for (size_t i = 0; i < righe_.size(); ++i) {
      if (risultati_[i].esito != EsitoRiga::kSaltata) {
        const RigaTrasferimento& r = righe_[i];
        risultati_[i].esito = EsitoRiga::kDaPubblicare;
        risultati_[i].motivo =
            "album " + std::to_string(r.idAlbum) + " \"" + r.nomeAlbum + "\", " +
            (r.idAlbumPrism.empty() ? "album da creare sul server" : "album " + r.idAlbumPrism) +
            (r.pubblicata ? ", già pubblicata: di nuovo" : "");
      }
      Stampa(i);
    }
  }

  void Pubblica() {
    uint64_t daInviare = 0;
    size_t totale = 0;
    for (const RisultatoRiga& r : risultati_) {
      if (r.esito == EsitoRiga::kSaltata) continue;
      daInviare += r.byte;
      ++totale;
    }
    for (size_t i = 0; i < righe_.size(); ++i) {
      if (risultati_[i].esito == EsitoRiga::kSaltata) Stampa(i);
    }
    Avanzamento avanzamento(totale, daInviare);
    avanzamento_ = &avanzamento;
    try {
      size_t inizio = 0;
      while (inizio < righe_.size() && !StopRequested()) {
        size_t fine = inizio;
        while (fine < righe_.size() && righe_[fine].idAlbum == righe_[inizio].idAlbum) ++fine;
        PubblicaGruppo(inizio, fine);
        inizio = fine;
      }
    } catch (const EStopRequested&) {
      // A second signal: what is recorded stays, the rest stays pending.
    }
    inviati_ = avanzamento.inviati;
    avanzamento.Ferma();
    avanzamento_ = nullptr;
    for (size_t i = 0; i < righe_.size(); ++i) Stampa(i);
  }

 private:
  void Stampa(size_t i) {
    if (stampate_[i]) return;
    stampate_[i] = true;
    if (avanzamento_ != nullptr) avanzamento_->fatte++;
    uscita_.esito(risultati_[i]);
  }

  void Fine(size_t i, EsitoRiga esito, std::string motivo = "") {
    risultati_[i].esito = esito;
    risultati_[i].motivo = std::move(motivo);
    Stampa(i);
  }

  void FallisciTutti(std::vector<Lavoro>& lavori, const std::string& motivo) {
    for (Lavoro& l : lavori) {
      l.prenotazione->Rilascia();
      Fine(l.indice, StopRequested() ? EsitoRiga::kInterrotta : EsitoRiga::kNonRiuscita, motivo);
    }
  }

  // One album group: claims its rows, logs in, makes the album when it is
  // missing, lists it once, then uploads lot by lot. Each lot is filed into
  // the album, identified and recorded here while the workers upload the
  // next ones; every database write stays on this thread.
  void PubblicaGruppo(size_t inizio, size_t fine) {
    std::vector<Lavoro> lavori = PrenotaGruppo(inizio, fine);
    if (lavori.empty()) return;

    const RigaTrasferimento& prima = *lavori.front().riga;
    Gruppo g;
    g.baseUrl = prima.nomeSitoPrism;
    g.stato.TokenPrism = prima.tokenPrism;
    g.stato.IdUserPrism = prima.idUserPrism;
    g.stato.IdAlbumPrism = prima.idAlbumPrism;
    HttpClient http;
    ImpostaClientPrism(http, fileParametri_);
    if (!PreparaGruppo(lavori, g, http)) return;

    batch::PreparaLotti(lavori, g, static_cast<size_t>(opzioni_.filePerImport),
                        uint64_t{static_cast<uint32_t>(opzioni_.mibPerImport)} << 20);
    {
      batch::Lavoratori lavoratori(lavori, g, opzioni_.jobs, fileParametri_, *avanzamento_);
      while (std::optional<size_t> lotto = lavoratori.ProssimoLotto()) {
        // What was uploaded is on the server already: it is filed, found,
        // titled and recorded even after a first stop signal.
        StopThresholdScope finire(2);
        const batch::Lotto& l = g.lotti[*lotto];
        Archivia(lavori, l, g, http);
        Identifica(lavori, l, g, http);
        for (size_t i = l.inizio; i < l.fine; ++i) {
          if (lavori[i].stato != Lavoro::Stato::kDoppione) Completa(lavori[i], lavori, g, http);
        }
      }
    }
    // A copy waits for the job that uploads its bytes, in whichever lot.
    StopThresholdScope finire(2);
    for (Lavoro& l : lavori) {
      if (l.stato == Lavoro::Stato::kDoppione) Completa(l, lavori, g, http);
    }
    // A session the server ended meanwhile is not kept for the next time.
    if (sessioni_ != nullptr &&
        std::any_of(lavori.begin(), lavori.end(), [](const Lavoro& l) { return l.codiceHttp == 401; })) {
      sessioni_->Dimentica(g.baseUrl, prima.accountUser, prima.accountPassword);
    }
  }

  // Files the uploads of one lot into the album with one request. When it
  // fails, every upload of the lot fails with it and its row stays pending.
  void Archivia(std::vector<Lavoro>& lavori, const batch::Lotto& lotto, Gruppo& g, HttpClient& http) {
    const auto inizio = lavori.begin() + static_cast<ptrdiff_t>(lotto.inizio);
    const auto fine = lavori.begin() + static_cast<ptrdiff_t>(lotto.fine);
    if (std::none_of(inizio, fine, [](const Lavoro& l) { return l.inviato; })) return;
    std::string motivo;
    int codice = 0;
    try {
      const EsitoPrism esito = AssegnaAlbumPrism(http, g.stato, g.baseUrl, lotto.token, g.stato.IdAlbumPrism);
      if (esito.riuscito) return;
      motivo = batch::TestoAvvisi(esito);
    } catch (const EStopRequested&) {
      motivo = "fermato da un secondo segnale dopo il caricamento";
    } catch (const Exception& e) {
      motivo = Descrivi(e);
      codice = batch::CodiceHttp(e);
    }
    for (auto l = inizio; l != fine; ++l) {
      if (l->stato != Lavoro::Stato::kCaricata) continue;
      l->stato = Lavoro::Stato::kFallita;
      l->motivo = "archiviazione nell'album non riuscita: " + motivo;
      l->codiceHttp = codice;
    }
  }

  // Claims the rows [inizio, fine) that are not skipped; a row another
  // process holds or has published meanwhile gets its line at once. Nothing
  // is kept (every claim is let go) once a stop signal came.
  std::vector<Lavoro> PrenotaGruppo(size_t inizio, size_t fine) {
    std::vector<Lavoro> lavori;
    for (size_t i = inizio; i < fine; ++i) {
      if (risultati_[i].esito == EsitoRiga::kSaltata) continue;
      if (StopRequested()) {
        lavori.clear();
        return lavori;
      }
      Prenota(i, lavori);
    }
    return lavori;
  }

  // Claims row i: appends its job to `lavori`, or ends the row.
  void Prenota(size_t i, std::vector<Lavoro>& lavori) {
    std::unique_ptr<PrenotazioneTrasferimento> prenotazione;
    std::string motivo;
    PrenotazioneTrasferimento::Esito esito;
    try {
      esito =
          righe_[i].riparazione
              ? PrenotazioneTrasferimento::PrenotaRiparazione(database_, righe_[i].id, prenotazione, motivo)
              : PrenotazioneTrasferimento::Prenota(database_, righe_[i].id, !righe_[i].pubblicata,
                                                   prenotazione, motivo);
    } catch (const Exception& e) {
      Fine(i, EsitoRiga::kNonRiuscita, Descrivi(e));
      return;
    }
    switch (esito) {
      case PrenotazioneTrasferimento::Esito::kOccupata:
        Fine(i, EsitoRiga::kOccupata, "in lavorazione in un altro processo");
        return;
      case PrenotazioneTrasferimento::Esito::kCambiata:
        Fine(i, EsitoRiga::kOccupata,
             righe_[i].riparazione ? "riparata nel frattempo da un altro processo"
                                   : "pubblicata nel frattempo da un altro processo");
        return;
      case PrenotazioneTrasferimento::Esito::kPrenotata:
        break;
    }
    Lavoro l;
    l.indice = i;
    l.riga = &righe_[i];
    l.byte = risultati_[i].byte;
    l.prenotazione = std::move(prenotazione);
    lavori.push_back(std::move(l));
  }

  // The login of the group's album account; false (every job ended) when
  // it failed.
  bool Accedi(std::vector<Lavoro>& lavori, Gruppo& g, HttpClient& http) {
    const RigaTrasferimento& prima = *lavori.front().riga;
    const EsitoPrism accesso = LoginPrismCondiviso(database_, http, g.stato, g.baseUrl, prima.accountUser,
                                                   prima.accountPassword, prima.idAlbum);
    if (!accesso.riuscito) {
      FallisciTutti(lavori, "accesso non riuscito: " + batch::TestoAvvisi(accesso));
      return false;
    }
    if (sessioni_ != nullptr) {
      sessioni_->Salva(g.baseUrl, prima.accountUser, prima.accountPassword,
                       {g.stato.TokenPrism, g.stato.IdUserPrism});
    }
    return true;
  }

  // Login (or the session kept from an earlier cycle), the album when the
  // row has none yet, and the listing of what the album holds. A kept
  // session the server no longer knows (401) is replaced by one new login.
  // On a failure every job of the group ends and it returns false.
  bool PreparaGruppo(std::vector<Lavoro>& lavori, Gruppo& g, HttpClient& http) {
    const RigaTrasferimento& prima = *lavori.front().riga;
    std::optional<SessioniPrism::Sessione> tenuta;
    if (sessioni_ != nullptr) tenuta = sessioni_->Trova(g.baseUrl, prima.accountUser, prima.accountPassword);
    try {
      if (tenuta) {
        g.stato.TokenPrism = tenuta->token;
        g.stato.IdUserPrism = tenuta->idUser;
        try {
          return AlbumEdElenco(lavori, g, http);
        } catch (const EIdHTTPProtocolException& e) {
          if (e.ErrorCode() != 401) throw;
          sessioni_->Dimentica(g.baseUrl, prima.accountUser, prima.accountPassword);
          uscita_.messaggio(Priorita::kInfo, "Album " + std::to_string(prima.idAlbum) +
                                                 ": sessione scaduta sul server, nuovo accesso");
        }
      }
      return Accedi(lavori, g, http) && AlbumEdElenco(lavori, g, http);
    } catch (const EStopRequested&) {
      FallisciTutti(lavori, "");
      return false;
    } catch (const Exception& e) {
      FallisciTutti(lavori, Descrivi(e));
      return false;
    }
  }

  // The album when the row has none yet, and the listing. Raises what the
  // requests raise.
  bool AlbumEdElenco(std::vector<Lavoro>& lavori, Gruppo& g, HttpClient& http) {
    const RigaTrasferimento& prima = *lavori.front().riga;
    const std::string idAlbumRiga = std::to_string(prima.idAlbum);
    {
      if (g.stato.IdAlbumPrism.empty()) {
        const EsitoPrism creazione =
            AssicuraAlbumPrism(database_, http, g.stato, g.baseUrl, prima.nomeAlbum, prima.idAlbum).creazione;
        if (g.stato.IdAlbumPrism.empty()) {
          FallisciTutti(lavori, "album non creato: " + batch::TestoAvvisi(creazione));
          return false;
        }
        for (Avviso a : creazione.avvisi)
          uscita_.messaggio(Priorita::kInfo, "Album " + idAlbumRiga + ": " + TestoAvviso(a));
      }
      g.presenti = batch::ElencoPerHash(http, g);
    }
    return true;
  }

  // Lists the album until every upload of the lot is found by its hash or
  // --wait passed.
  void Identifica(std::vector<Lavoro>& lavori, const batch::Lotto& lotto, Gruppo& g, HttpClient& http) {
    std::vector<Lavoro*> attesa;
    for (size_t i = lotto.inizio; i < lotto.fine; ++i) {
      if (lavori[i].stato == Lavoro::Stato::kCaricata) attesa.push_back(&lavori[i]);
    }
    const auto scadenza = Orologio::now() + std::chrono::seconds(opzioni_.attesaS);
    uint32_t pausaMs = 100;
    std::string ultimoErrore;
    while (!attesa.empty()) {
      try {
        std::map<std::string, FotoAlbum> elenco = batch::ElencoPerHash(http, g);
        std::erase_if(attesa, [&elenco](Lavoro* l) {
          auto it = elenco.find(l->hashFile);
          if (it == elenco.end()) return false;
          l->uid = it->second.uid;
          l->hashServer = it->second.hash;
          return true;
        });
        ultimoErrore.clear();
      } catch (const Exception& e) {
        ultimoErrore = Descrivi(e);
      }
      auto adesso = Orologio::now();
      if (attesa.empty() || adesso >= scadenza) break;
      auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(scadenza - adesso).count();
      SleepUnlessStopped(static_cast<uint32_t>(std::min<int64_t>(pausaMs, resto)));
      pausaMs = std::min<uint32_t>(pausaMs * 2, 1000);
    }
    for (Lavoro* l : attesa) {
      l->stato = Lavoro::Stato::kFallita;
      l->motivo = "foto caricata non trovata nell'album entro " + std::to_string(opzioni_.attesaS) + " s" +
                  (ultimoErrore.empty() ? "" : " (" + ultimoErrore + ")");
    }
  }

  // Title and record of one job, or its failure line.
  void Completa(Lavoro& l, std::vector<Lavoro>& lavori, Gruppo& g, HttpClient& http) {
    RisultatoRiga& r = risultati_[l.indice];
    r.hash = l.hashFile;
    if (l.stato == Lavoro::Stato::kDoppione) {
      const Lavoro& p = lavori[l.primaria];
      if (p.stato == Lavoro::Stato::kCaricata || p.stato == Lavoro::Stato::kPresente) {
        l.stato = Lavoro::Stato::kPresente;
        l.uid = p.uid;
        l.hashServer = p.hashServer;
      } else {
        l.stato =
            p.stato == Lavoro::Stato::kInterrotta ? Lavoro::Stato::kInterrotta : Lavoro::Stato::kFallita;
        l.motivo = "stesso file della riga " + std::to_string(p.riga->id) + ", che non è stata pubblicata";
      }
    }
    if (l.stato == Lavoro::Stato::kInterrotta || l.stato == Lavoro::Stato::kDaFare) {
      l.prenotazione->Rilascia();
      Fine(l.indice, EsitoRiga::kInterrotta);
      return;
    }
    if (l.stato == Lavoro::Stato::kFallita) {
      l.prenotazione->Rilascia();
      Fine(l.indice, EsitoRiga::kNonRiuscita, l.motivo);
      return;
    }
    try {
      if (!l.riga->titoloFoto.empty()) SettaTitoloFoto(http, g.stato, g.baseUrl, l.uid, l.riga->titoloFoto);
      if (l.riga->riparazione && l.stato == Lavoro::Stato::kPresente) {
        l.prenotazione->RegistraFoto(l.uid, l.hashServer);
      } else {
        l.prenotazione->Registra(l.uid, l.hashServer);
      }
    } catch (const Exception& e) {
      l.codiceHttp = batch::CodiceHttp(e);
      l.prenotazione->Rilascia();
      Fine(l.indice, EsitoRiga::kNonRiuscita, Descrivi(e));
      return;
    }
    r.uid = l.uid;
    r.hash = l.hashServer;
    Fine(l.indice, l.stato == Lavoro::Stato::kCaricata ? EsitoRiga::kPubblicata : EsitoRiga::kGiaPresente);
  }

  const OpzioniBatch& opzioni_;
  const std::string fileParametri_;  // its certificate keys apply to every client
  const UscitaPubblicazione& uscita_;
  SessioniPrism* sessioni_;  // kept across calls (the service), or none
  TIBDatabase& database_;
  std::vector<RigaTrasferimento> righe_;
  std::vector<RisultatoRiga> risultati_;
  std::vector<bool> stampate_;
  Avanzamento* avanzamento_ = nullptr;
  uint64_t inviati_ = 0;
};

}  // namespace

std::optional<SessioniPrism::Sessione> SessioniPrism::Trova(const std::string& baseUrl,
                                                            const std::string& utente,
                                                            const std::string& password) const {
  auto it = sessioni_.find({baseUrl, utente, password});
  if (it == sessioni_.end()) return std::nullopt;
  return it->second;
}

void SessioniPrism::Salva(const std::string& baseUrl, const std::string& utente, const std::string& password,
                          Sessione sessione) {
  sessioni_[{baseUrl, utente, password}] = std::move(sessione);
}

void SessioniPrism::Dimentica(const std::string& baseUrl, const std::string& utente,
                              const std::string& password) {
  sessioni_.erase({baseUrl, utente, password});
}

std::vector<RisultatoRiga> PubblicaRighe(const OpzioniBatch& opzioni, TIBDatabase& database,
                                         const std::string& fileParametri,
                                         std::vector<RigaTrasferimento> righe,
                                         const UscitaPubblicazione& uscita, SessioniPrism* sessioni,
                                         uint64_t& inviati) {
  Batch batch(opzioni, database, fileParametri, std::move(righe), uscita, sessioni);
  if (opzioni.dryRun) {
    batch.ProvaASecco();
  } else {
    batch.Pubblica();
  }
  inviati = batch.Inviati();
  return batch.Risultati();
}

int EseguiBatch(const OpzioniBatch& opzioni, const std::string& baseDir) {
  const auto inizio = Orologio::now();
  return batch::ConFineBatch([&] {
    const std::string fileParametri = baseDir + kFileParametri;
    if (!FileParametriLeggibile(fileParametri)) {
      ScriviErrore("File ParametriKelvora.ini non esistente! (cercato in " + baseDir + ")");
      return 2;
    }
    std::ofstream report;
    if (!opzioni.report.empty()) {
      report.open(opzioni.report, std::ios::binary | std::ios::trunc);
      if (!report) {
        ScriviErrore("impossibile scrivere il resoconto " + OneLineText(opzioni.report));
        return 2;
      }
    }
    const std::string archivio = PercorsoArchivioUtente(baseDir, opzioni.utente, opzioni.ditta);
    if (archivio.empty()) {
      ScriviErrore("Archivio vuoto (nessuna impostazione \"Archivio\" per l'utente " +
                   OneLineText(opzioni.utente) + " e la ditta " + OneLineText(opzioni.ditta) + ")");
      return 2;
    }
    auto connessione = std::make_unique<TIBDatabase>();
    TIBDatabase& database = *connessione;
    ApriArchivioUtente(database, archivio, fileParametri);
    // The client library may have put its own signal handlers in place.
    InstallStopSignals();
    if (!database.Connected()) {
      ScriviErrore("impossibile aprire l'archivio " + OneLineText(archivio));
      return 2;
    }
    SelezioneTrasferimenti selezione;
    selezione.album = opzioni.album;
    for (const IntervalloId& r : opzioni.ids) selezione.ids.push_back({r.da, r.a});

    selezione.ripara = opzioni.ripara;

    UscitaPubblicazione uscita;
    uscita.esito = [](const RisultatoRiga& r) { WriteLine(RigaEsito(r)); };
    uscita.messaggio = [](Priorita, const std::string& line) { WriteLine(line); };
    uint64_t inviati = 0;
    std::vector<RisultatoRiga> risultati =
        PubblicaRighe(opzioni, database, fileParametri,
                      LeggiTrasferimenti(database, selezione, fileParametri), uscita, nullptr, inviati);
    Riepilogo riepilogo = Conta(risultati);
    riepilogo.dryRun = opzioni.dryRun;
    riepilogo.interrotto = StopRequested();
    riepilogo.byteInviati = inviati;
    riepilogo.secondi = SecondiDa(inizio);
    WriteLine(RigaRiepilogo(riepilogo));
    if (report.is_open()) {
      report << ReportJSON(risultati, riepilogo) << "\n";
      report.close();
      if (!report) {
        ScriviErrore("impossibile scrivere il resoconto " + OneLineText(opzioni.report));
        return 2;
      }
    }
    // After a stop signal every claim is committed or rolled back by now;
    // the connection is detached here as on every path, and main ends the
    // process by the signal.
    return CodiceUscita(riepilogo);
  });
}

}  // namespace velmora
