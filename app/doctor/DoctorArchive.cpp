// The checks of group 3: the archive named by the user's settings, opened
// the way the run opens it.
#include <set>

#include "app/doctor/DoctorChecks.h"
#include "archive/DBUtility.h"
#include "archive/Istruzione.h"
#include "archive/QorDB.h"
#include "archive/Qorin2.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace velmora::doctor {
namespace {

// The columns a run reads or writes, per publication table.
struct TabellaRichiesta {
  const char* nome;
  std::vector<std::string> colonne;
};
const TabellaRichiesta kTabelle[] = {
    {"KELTRANSFLOG", {"ID", "IDALBUM", "IDITEMPHOTO", "IDPRISM", "HASHPRISM", "DATAORATRANSF"}},
    {"KELALBUMPRISM",
     {"ID", "TOKENPRISM", "IDUSERPRISM", "ACCOUNTUSER", "ACCOUNTPASSWORD", "NOMESITOPRISM", "IDALBUMPRISM",
      "NOMEALBUM", "LINK_CONDIVISIONE"}},
    {"KELITEMPHOTO", {"ID", "PERCORSOFOTO", "NOMEFILE", "ESTENSIONE_FILE", "TITOLO"}},
};

}  // namespace

// 3. The archive: dati.ini, the connect strings in the run's order, the
// attach, the publication tables and the pending transfers.
bool Diagnosi::Archivio() {
  const DatiIni dati = LeggiDatiIni();
  std::string blocco;  // why the run would stop before (or after) the attempts
  const std::vector<Tentativo> tentativi = Tentativi(dati, blocco);
  if (tentativi.empty()) {
    Segna(3, "Stringa di connessione", Esito::Errore, blocco,
          "indica in dati.ini \"Percorso Nel Server\" (cartella dell'archivio vista dal server, con \"\\\" "
          "finale) o condividi il disco con la sua lettera");
    return false;
  }
  std::vector<std::string> elenco;
  for (const Tentativo& t : tentativi) elenco.push_back(OneLineText(t.connessione) + " (" + t.origine + ")");
  Segna(3, "Stringa di connessione", Esito::Ok, Unisci(elenco, ", poi "));
  if (!ApriArchivioDb(tentativi, blocco)) return false;
  return TabellePubblicazione();
}

// The archive's folder and file name and the keys of dati.ini beside it,
// shown as found.
Diagnosi::DatiIni Diagnosi::LeggiDatiIni() {
  DatiIni dati;
  dati.dir = ExtractFilePath(archivio_);
  dati.file = ExtractFileName(archivio_);
  if (dati.file.empty()) dati.file = "archivio.fdb";
  dati.ini = DatiIniPath(dati.dir, fileParametri_);
  dati.server = ReadProfileString(dati.ini, kConfig, "Nome Server");
  dati.alias = ReadProfileString(dati.ini, kConfig, "Alias");
  dati.percorso = ReadProfileString(dati.ini, kConfig, "PercorsoDatabase");
  dati.nelServer = ReadProfileString(dati.ini, kConfig, "Percorso Nel Server");
  dati.lettera = ReadProfileString(dati.ini, kConfig, "Lettera Disco Server");
  if (!FileExists(dati.ini)) {
    Segna(3, "dati.ini", Esito::Ok,
          OneLineText(dati.ini) + " assente: si apre il file dell'archivio indicato");
    return dati;
  }
  std::vector<std::string> chiavi;
  auto chiave = [&chiavi](const char* nome, const std::string& valore) {
    if (!valore.empty()) chiavi.push_back(std::string(nome) + "=" + OneLineText(valore));
  };
  chiave("Nome Server", dati.server);
  chiave("Alias", dati.alias);
  chiave("PercorsoDatabase", dati.percorso);
  chiave("Percorso Nel Server", dati.nelServer);
  chiave("Lettera Disco Server", dati.lettera);
  Segna(3, "dati.ini", Esito::Ok,
        OneLineText(dati.ini) + ": " +
            (chiavi.empty() ? std::string("nessuna chiave in [CONFIG]") : Unisci(chiavi)));
  return dati;
}

// The attempts in the order ApriArchivio makes them (PianoApriArchivio);
// the doctor only attaches, where the run would create a database after
// each failure. `blocco` receives why the run would stop before (or after)
// them.
std::vector<Diagnosi::Tentativo> Diagnosi::Tentativi(const DatiIni& dati, std::string& blocco) {
  const PianoApertura piano = PianoApriArchivio(dati.dir, dati.file,
                                                {.nomeServer = dati.server,
                                                 .alias = dati.alias,
                                                 .percorsoDatabase = dati.percorso,
                                                 .percorsoNelServer = dati.nelServer});
  std::vector<Tentativo> tentativi;
  for (const TentativoApertura& t : piano.tentativi) {
    switch (t.origine) {
      case OrigineConnessione::kAlias:
        tentativi.push_back({t.connessione, "Nome Server:Alias"});
        break;
      case OrigineConnessione::kPercorsoDatabase:
        tentativi.push_back({t.connessione, "\\\\Nome Server\\PercorsoDatabase"});
        break;
      case OrigineConnessione::kCartella:
        tentativi.push_back({t.connessione, "cartella dell'archivio"});
        break;
    }
  }
  switch (piano.dopo) {
    case DopoTentativi::kNiente:
      break;
    case DopoTentativi::kAvvisoCondivisione:
      blocco = "la run mostrerebbe l'avviso sulla condivisione \"" + OneLineText(piano.condivisione) +
               "\" e non aprirebbe l'archivio";
      break;
    case DopoTentativi::kErrorePercorsoRete:
      blocco = "la run mostrerebbe l'errore sul percorso di rete";
      break;
    case DopoTentativi::kChiediServer:
      if (!dati.server.empty()) {
        // What the server prompt finds in dati.ini without asking.
        tentativi.push_back({StringaConnessione(piano.baseServer, dati.server, dati.lettera),
                             "Nome Server e Lettera Disco Server"});
      } else {
        blocco = "la run chiederebbe in una finestra il nome del server";
      }
      break;
  }
  return tentativi;
}

// Attaches the archive with the first attempt that succeeds.
bool Diagnosi::ApriArchivioDb(const std::vector<Tentativo>& tentativi, const std::string& blocco) {
  std::vector<std::string> errori;
  for (const Tentativo& t : tentativi) {
    std::string errore = Collega(archivioDb_, t.connessione);
    if (errore.empty()) {
      Segna(3, "Collegamento", Esito::Ok, OneLineText(t.connessione) + " aperto (sola lettura)");
      return true;
    }
    errori.push_back(OneLineText(t.connessione) + ": " + errore);
  }
  Segna(3, "Collegamento", Esito::Errore, Unisci(errori, "; ") + (blocco.empty() ? "" : "; " + blocco),
        "controlla che il file dell'archivio esista in " + OneLineText(archivio_) +
            " (o che il server lo raggiunga); attenzione: la run, non riuscendo ad aprirlo, creerebbe un "
            "archivio vuoto (\"Effettuata creazione data base\")");
  return false;
}

// The publication tables with the columns a run uses, then the count of
// transfers waiting.
bool Diagnosi::TabellePubblicazione() {
  bool tabelleOk = true;
  try {
    for (const TabellaRichiesta& t : kTabelle) {
      const std::string nome = std::string("Tabella ") + t.nome;
      if (!EsisteTabella(archivioDb_, t.nome)) {
        Segna(3, nome, Esito::Errore, "assente",
              "l'archivio aperto non ha le tabelle di pubblicazione: è il database giusto? (la run si "
              "ferma con "
              "EIBInterBaseError)");
        tabelleOk = false;
        continue;
      }
      auto righe = LeggiRighe(
          archivioDb_,
          std::string("SELECT TRIM(RDB$FIELD_NAME) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = '") +
              t.nome + "'");
      std::set<std::string> presenti;
      for (const auto& riga : righe) presenti.insert(riga[0]);
      std::vector<std::string> mancanti;
      for (const std::string& c : t.colonne) {
        if (presenti.count(c) == 0) mancanti.push_back(c);
      }
      if (mancanti.empty()) {
        Segna(3, nome, Esito::Ok, "presente con le colonne " + Unisci(t.colonne));
      } else {
        Segna(3, nome, Esito::Errore, "mancano le colonne " + Unisci(mancanti),
              "aggiorna lo schema dell'archivio con il programma dell'archivio");
        tabelleOk = false;
      }
    }
    if (!tabelleOk) return false;
    auto attesa = LeggiRighe(archivioDb_, "SELECT COUNT(*) FROM KELTRANSFLOG WHERE DATAORATRANSF IS NULL");
    Segna(3, "Trasferimenti in attesa", Esito::Ok,
          "righe di KELTRANSFLOG senza DATAORATRANSF: " + attesa[0][0]);
  } catch (const Exception& e) {
    Segna(3, "Lettura archivio", Esito::Errore, Errore(e), "controlla l'archivio");
    return false;
  }
  return true;
}

}  // namespace velmora::doctor
