#include "app/doctor/Doctor.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "app/doctor/Report.h"
#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/QorDB.h"
#include "archive/Qorin2.h"
#include "archive/SQLText.h"
#include "config/SettingsText.h"
#include "platform/Console.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "prism/JsonHelpers.h"
#include "prism/PrismApi.h"
#include "publish/Trasferimento.h"
#include "transport/HttpClient.h"
#include "transport/HttpWire.h"
#include "transport/Socket.h"
#include "transport/TlsChannel.h"

namespace velmora {
namespace {

constexpr const char* kConfig = "CONFIG";

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

// "Class: message" of an exception, as the run's report would write it, in
// one line.
std::string Errore(const Exception& e) {
  return OneLineText(std::string(e.ClassName()) + ": " + e.Message());
}

std::string Unisci(const std::vector<std::string>& parti, const char* separatore = ", ") {
  std::string out;
  for (const std::string& p : parti) {
    if (!out.empty()) out += separatore;
    out += p;
  }
  return out;
}

// A user code as the configuration store accepts it: a decimal 32-bit
// integer with an optional sign, written back without sign "+" or leading
// zeros.
std::optional<std::string> CodiceNumerico(const std::string& text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return std::to_string(value);
}

// Attaches `db` to `connessione` with the run's credentials; never creates.
// Empty on success, otherwise the engine's report in one line.
std::string Collega(TIBDatabase& db, const std::string& connessione) {
  db.LoginPrompt = false;
  db.Params = {std::string("user_name=") + kUtenteDatabaseDefault,
               std::string("password=") + kPasswordDatabaseDefault};
  db.DatabaseName = connessione;
  try {
    db.Open();
    return "";
  } catch (const Exception& e) {
    return Errore(e);
  }
}

// The rows of a SELECT (at most `limite`), every column as text, on a new
// read-committed transaction. Raises the layer's errors.
std::vector<std::vector<std::string>> Righe(TIBDatabase& db, const std::string& select,
                                            size_t limite = 1000) {
  TIBSQL sql;
  sql.SetDatabase(&db);
  sql.SetTransaction(TransazioneReadCommitted(db));
  sql.ParamCheck = false;
  sql.SQL = {select};
  sql.ExecQuery();
  std::vector<std::vector<std::string>> righe;
  while (!sql.Eof() && righe.size() < limite) {
    std::vector<std::string> riga;
    for (size_t i = 0; i < sql.FieldCount(); ++i) riga.push_back(sql.Fields(i).AsString());
    righe.push_back(std::move(riga));
    sql.Next();
  }
  return righe;
}

std::string Descrivi(const std::string& connessione, bool server) {
  return (server ? "server " : "embedded ") + OneLineText(connessione);
}

// The diagnosis: one object per run of the chain.
class Diagnosi {
 public:
  Diagnosi(const RichiestaDiagnosi& richiesta, const std::function<void(const Verifica&)>& riporta)
      : r_(richiesta), riporta_(riporta), fileParametri_(richiesta.baseDir + kFileParametri) {}

  std::vector<Verifica> Esegui() {
    if (!Parametri()) return fatte_;
    if (!Configurazione()) return fatte_;
    if (!Archivio()) return fatte_;
    std::vector<Album> album;
    if (!r_.idTransfer.empty()) {
      std::optional<Album> uno = Trasferimento();
      if (!uno) return fatte_;
      album.push_back(*uno);
    } else {
      album = AlbumInAttesa();
    }
    for (const Album& a : album) Server(a);
    return fatte_;
  }

 private:
  struct Album {
    std::string id;
    std::string sito;
    std::string account;
    std::string password;
  };

  void Segna(int gruppo, const std::string& nome, Esito esito, const std::string& dettaglio,
             const std::string& suggerimento = "") {
    Verifica v{gruppo, nome, esito, dettaglio, esito == Esito::Ok ? "" : suggerimento};
    fatte_.push_back(v);
    riporta_(v);
  }

  // 1. The parameter file and what its keys resolve to.
  bool Parametri() {
    const std::string& file = fileParametri_;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
      Segna(1, "File parametri", Esito::Errore, OneLineText(file) + " non esiste",
            "crea ParametriKelvora.ini nella cartella del programma (" + OneLineText(r_.baseDir) +
                ") con la sezione [CONFIG]; la run scrive \"File ParametriKelvora.ini non esistente!\"");
      return false;
    }
    if (::access(file.c_str(), R_OK) != 0) {
      Segna(1, "File parametri", Esito::Errore, OneLineText(file) + " esiste ma non è leggibile",
            "dai il permesso di lettura all'utente che avvia la run (chmod o chown)");
      return false;
    }
    Segna(1, "File parametri", Esito::Ok, OneLineText(file) + " trovato e leggibile");

    nomeServer_ = ReadProfileString(file, kConfig, "Nome Server");
    alias_ = ReadProfileString(file, kConfig, "Alias");
    percorsoDatabase_ = ReadProfileString(file, kConfig, "PercorsoDatabase");
    letteraDisco_ = ReadProfileString(file, kConfig, "Lettera Disco Server");
    std::vector<std::string> chiavi;
    auto chiave = [&chiavi](const char* nome, const std::string& valore) {
      if (!valore.empty()) chiavi.push_back(std::string(nome) + "=" + OneLineText(valore));
    };
    chiave("Nome Server", nomeServer_);
    chiave("Alias", alias_);
    chiave("PercorsoDatabase", percorsoDatabase_);
    chiave("Lettera Disco Server", letteraDisco_);
    // The connection rule of the configuration store.
    if (!nomeServer_.empty() && !alias_.empty()) {
      connessioneConfig_ = nomeServer_ + ":" + alias_;
      configSuServer_ = true;
    } else {
      connessioneConfig_ = StringaConnessione(percorsoDatabase_, nomeServer_, letteraDisco_);
      configSuServer_ = !nomeServer_.empty();
    }
    if (connessioneConfig_.empty()) {
      Segna(1, "Chiavi CONFIG", Esito::Errore, "nessuna chiave di collegamento",
            "indica in [CONFIG] \"PercorsoDatabase\" (file del database di configurazione) oppure \"Nome "
            "Server\" con \"Alias\"");
      return false;
    }
    Segna(1, "Chiavi CONFIG", Esito::Ok,
          Unisci(chiavi) + " -> database di configurazione " + Descrivi(connessioneConfig_, configSuServer_));

    auto percorsi = ReadProfileSection(file, "PERCORSI");
    if (percorsi.empty()) {
      Segna(1, "Mappature PERCORSI", Esito::Ok,
            "nessuna: i percorsi salvati nell'archivio si usano così come sono");
    } else {
      std::vector<std::string> voci;
      std::vector<std::string> mancanti;
      for (const auto& [salvato, locale] : percorsi) {
        voci.push_back(OneLineText(salvato) + " -> " + OneLineText(locale));
        struct stat d {};
        if (::stat(locale.c_str(), &d) != 0 || !S_ISDIR(d.st_mode)) mancanti.push_back(OneLineText(locale));
      }
      if (mancanti.empty()) {
        Segna(1, "Mappature PERCORSI", Esito::Ok, Unisci(voci, "; "));
      } else {
        Segna(1, "Mappature PERCORSI", Esito::Avviso,
              Unisci(voci, "; ") + "; cartelle locali assenti: " + Unisci(mancanti),
              "correggi il valore in [PERCORSI] o monta la cartella condivisa");
      }
    }
    return ControlliCertificatoParametri();
  }

  // The certificate keys as the run reads them.
  bool ControlliCertificatoParametri() {
    ApplicaControlliCertificato(fileParametri_, tls_);
    const std::string verifica = ReadProfileString(fileParametri_, kConfig, "VerificaCertificato");
    std::vector<std::string> attivi;
    std::vector<std::string> problemi;
    Esito esito = Esito::Ok;
    if (tls_.verifyCertificate) {
      attivi.push_back("VerificaCertificato=" + OneLineText(verifica) + " (catena e nome verso " +
                       (tls_.caFile.empty() ? std::string("l'archivio CA di sistema")
                                            : "FileCertificatiCA " + OneLineText(tls_.caFile)) +
                       ")");
      if (verifica != "1") {
        esito = Esito::Avviso;
        problemi.push_back("scrivi VerificaCertificato=1 (o 0 per spegnerla): ogni altro valore la accende");
      }
      if (!tls_.caFile.empty() && ::access(tls_.caFile.c_str(), R_OK) != 0) {
        esito = Esito::Errore;
        problemi.push_back("FileCertificatiCA " + OneLineText(tls_.caFile) + " non è leggibile");
      }
    } else if (!tls_.caFile.empty()) {
      esito = Esito::Avviso;
      problemi.push_back("FileCertificatiCA vale solo con VerificaCertificato=1");
    }
    if (!tls_.pinnedKeys.empty()) {
      attivi.push_back("ImprontaCertificato (impronte: " + std::to_string(tls_.pinnedKeys.size()) + ")");
      for (const std::string& pin : tls_.pinnedKeys) {
        if (!ImprontaBenFormata(pin)) {
          esito = Esito::Errore;
          problemi.push_back("impronta non valida \"" + OneLineText(pin) +
                             "\": la forma è sha256// seguito da 44 caratteri base64");
        }
      }
    }
    std::string dettaglio = attivi.empty()
                                ? "nessuno: la run accetta ogni certificato (impostazione predefinita)"
                                : Unisci(attivi, "; ");
    Segna(1, "Controlli certificato", esito, dettaglio, Unisci(problemi, "; "));
    return true;
  }

  // 2. The configuration database, its user row and the "Archivio" setting.
  bool Configurazione() {
    TIBDatabase db;
    std::string errore = Collega(db, connessioneConfig_);
    if (!errore.empty()) {
      Segna(
          2, "Collegamento", Esito::Errore, Descrivi(connessioneConfig_, configSuServer_) + ": " + errore,
          std::string(configSuServer_
                          ? "controlla che il server Firebird sia avviato e raggiungibile e i valori "
                            "\"Nome Server\"/\"Alias\"/\"PercorsoDatabase\""
                          : "controlla \"PercorsoDatabase\" nel file parametri: il file deve "
                            "esistere") +
              "; attenzione: la run, non riuscendo ad aprirlo, creerebbe un database vuoto con questo nome");
      return false;
    }
    Segna(2, "Collegamento", Esito::Ok,
          Descrivi(connessioneConfig_, configSuServer_) + " aperto (sola lettura)");
    try {
      if (!EsisteTabella(db, "UTENTI")) {
        Segna(2, "Tabella UTENTI", Esito::Errore, "assente",
              "il database indicato non è quello di configurazione: controlla \"PercorsoDatabase\"");
        return false;
      }
      Segna(2, "Tabella UTENTI", Esito::Ok, "presente");
      std::optional<std::string> codice = CodiceNumerico(r_.utente);
      if (!codice) {
        Segna(2, "Riga utente", Esito::Errore,
              "codice utente \"" + OneLineText(r_.utente) + "\" non numerico (la run: EConvertError: '" +
                  OneLineText(r_.utente) + "' is not a valid integer value)",
              "il primo argomento è il CODICE numerico della riga di UTENTI");
        return false;
      }
      auto righe = Righe(db, "SELECT PLENVIO FROM UTENTI WHERE CODICE = " + *codice, 1);
      if (righe.empty()) {
        auto codici = Righe(db, "SELECT CODICE FROM UTENTI ORDER BY CODICE", 20);
        std::vector<std::string> elenco;
        for (const auto& c : codici) elenco.push_back(OneLineText(c[0]));
        Segna(2, "Riga utente", Esito::Errore,
              "nessuna riga con CODICE = " + *codice +
                  " (codici presenti: " + (elenco.empty() ? std::string("nessuno") : Unisci(elenco)) + ")",
              "usa un codice utente esistente o crea l'utente con il programma dell'archivio");
        return false;
      }
      Segna(2, "Riga utente", Esito::Ok, "CODICE = " + *codice + " trovato");
      SettingsText impostazioni = SettingsText::Parse(righe[0][0]);
      const SettingsSection* sezione = nullptr;
      for (const SettingsSection& s : impostazioni.Sections()) {
        if (sezione == nullptr && SameSettingsName(s.name, r_.ditta)) sezione = &s;
      }
      if (sezione == nullptr) {
        std::vector<std::string> nomi;
        for (const std::string& n : impostazioni.SectionNames()) nomi.push_back(OneLineText(n));
        Segna(2, "Ditta e Archivio", Esito::Errore,
              "sezione [" + OneLineText(r_.ditta) +
                  "] assente nelle impostazioni dell'utente (ditte presenti: " +
                  (nomi.empty() ? std::string("nessuna") : Unisci(nomi)) +
                  "); la run scrive \"Archivio vuoto\"",
              "il secondo argomento è il nome della ditta come nelle impostazioni dell'utente");
        return false;
      }
      archivio_ = impostazioni.ReadString(r_.ditta, "Archivio");
      if (archivio_.empty()) {
        Segna(
            2, "Ditta e Archivio", Esito::Errore,
            "[" + OneLineText(r_.ditta) + "] senza \"Archivio\"; la run scrive \"Archivio vuoto\"",
            "imposta \"Archivio\" (percorso completo del file dell'archivio) per questa ditta nel programma "
            "dell'archivio");
        return false;
      }
      Segna(2, "Ditta e Archivio", Esito::Ok,
            "[" + OneLineText(r_.ditta) + "] Archivio=" + OneLineText(archivio_));
    } catch (const Exception& e) {
      Segna(2, "Lettura configurazione", Esito::Errore, Errore(e), "controlla il database di configurazione");
      return false;
    }
    return true;
  }

  // 3. The archive: dati.ini, the connect strings in the run's order, the
  // attach, the publication tables and the pending transfers.
  bool Archivio() {
    const std::string dir = ExtractFilePath(archivio_);
    std::string file = ExtractFileName(archivio_);
    if (file.empty()) file = "archivio.fdb";
    const std::string ini = DatiIniPath(dir, fileParametri_);
    const std::string server = ReadProfileString(ini, kConfig, "Nome Server");
    const std::string alias = ReadProfileString(ini, kConfig, "Alias");
    const std::string percorso = ReadProfileString(ini, kConfig, "PercorsoDatabase");
    const std::string nelServer = ReadProfileString(ini, kConfig, "Percorso Nel Server");
    const std::string lettera = ReadProfileString(ini, kConfig, "Lettera Disco Server");
    if (!FileExists(ini)) {
      Segna(3, "dati.ini", Esito::Ok, OneLineText(ini) + " assente: si apre il file dell'archivio indicato");
    } else {
      std::vector<std::string> chiavi;
      auto chiave = [&chiavi](const char* nome, const std::string& valore) {
        if (!valore.empty()) chiavi.push_back(std::string(nome) + "=" + OneLineText(valore));
      };
      chiave("Nome Server", server);
      chiave("Alias", alias);
      chiave("PercorsoDatabase", percorso);
      chiave("Percorso Nel Server", nelServer);
      chiave("Lettera Disco Server", lettera);
      Segna(3, "dati.ini", Esito::Ok,
            OneLineText(ini) + ": " +
                (chiavi.empty() ? std::string("nessuna chiave in [CONFIG]") : Unisci(chiavi)));
    }

    // The attempts in the order ApriArchivio makes them; the doctor only
    // attaches, where the run would create a database after each failure.
    struct Tentativo {
      std::string connessione;
      std::string origine;
    };
    std::vector<Tentativo> tentativi;
    std::string blocco;  // why the run would stop before (or after) the attempts
    if (!server.empty() && !alias.empty()) tentativi.push_back({server + ":" + alias, "Nome Server:Alias"});
    if (!percorso.empty()) {
      std::string prefisso = "\\\\" + server + "\\" + percorso;
      if (prefisso.back() != '\\') prefisso += '\\';
      tentativi.push_back({prefisso + file, "\\\\Nome Server\\PercorsoDatabase"});
    } else {
      std::string prefisso = dir;
      bool perNome = false;
      std::string condivisione;
      bool avviso = false;
      if (dir.find("\\\\") != std::string::npos) {
        avviso = PercorsoDiReteText(dir, nelServer, prefisso, perNome, condivisione);
      }
      if (avviso) {
        blocco = "la run mostrerebbe l'avviso sulla condivisione \"" + OneLineText(condivisione) +
                 "\" e non aprirebbe l'archivio";
      } else {
        tentativi.push_back({prefisso + file, "cartella dell'archivio"});
        if (perNome) {
          blocco = "la run mostrerebbe l'errore sul percorso di rete";
        } else if (!server.empty()) {
          // What the server prompt finds in dati.ini without asking.
          tentativi.push_back(
              {StringaConnessione(prefisso + file, server, lettera), "Nome Server e Lettera Disco Server"});
        } else {
          blocco = "la run chiederebbe in una finestra il nome del server";
        }
      }
    }
    std::vector<std::string> elenco;
    for (const Tentativo& t : tentativi)
      elenco.push_back(OneLineText(t.connessione) + " (" + t.origine + ")");
    if (tentativi.empty()) {
      Segna(3, "Stringa di connessione", Esito::Errore, blocco,
            "indica in dati.ini \"Percorso Nel Server\" (cartella dell'archivio vista dal server, con \"\\\" "
            "finale) o condividi il disco con la sua lettera");
      return false;
    }
    Segna(3, "Stringa di connessione", Esito::Ok, Unisci(elenco, ", poi "));

    std::vector<std::string> errori;
    bool aperto = false;
    for (const Tentativo& t : tentativi) {
      std::string errore = Collega(archivioDb_, t.connessione);
      if (errore.empty()) {
        Segna(3, "Collegamento", Esito::Ok, OneLineText(t.connessione) + " aperto (sola lettura)");
        aperto = true;
        break;
      }
      errori.push_back(OneLineText(t.connessione) + ": " + errore);
    }
    if (!aperto) {
      Segna(3, "Collegamento", Esito::Errore, Unisci(errori, "; ") + (blocco.empty() ? "" : "; " + blocco),
            "controlla che il file dell'archivio esista in " + OneLineText(archivio_) +
                " (o che il server lo raggiunga); attenzione: la run, non riuscendo ad aprirlo, creerebbe un "
                "archivio vuoto (\"Effettuata creazione data base\")");
      return false;
    }

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
        auto righe = Righe(
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
      auto attesa = Righe(archivioDb_, "SELECT COUNT(*) FROM KELTRANSFLOG WHERE DATAORATRANSF IS NULL");
      Segna(3, "Trasferimenti in attesa", Esito::Ok,
            "righe di KELTRANSFLOG senza DATAORATRANSF: " + attesa[0][0]);
    } catch (const Exception& e) {
      Segna(3, "Lettura archivio", Esito::Errore, Errore(e), "controlla l'archivio");
      return false;
    }
    return true;
  }

  // 4. The named transfer row, its album and photo rows and the media file.
  std::optional<Album> Trasferimento() {
    const std::optional<int64_t> idTrasferimento = IdentificativoRiga(r_.idTransfer);
    if (!idTrasferimento) {
      Segna(4, "Riga trasferimento", Esito::Errore,
            "identificativo \"" + OneLineText(r_.idTransfer) + "\" non numerico",
            "il terzo argomento è l'ID numerico della riga di KELTRANSFLOG");
      return std::nullopt;
    }
    try {
      auto trasf = Righe(archivioDb_,
                         "SELECT IDALBUM, IDITEMPHOTO, DATAORATRANSF, IDPRISM FROM KELTRANSFLOG WHERE ID=" +
                             std::to_string(*idTrasferimento),
                         1);
      if (trasf.empty()) {
        Segna(4, "Riga trasferimento", Esito::Errore,
              "nessuna riga di KELTRANSFLOG con ID=" + r_.idTransfer +
                  " (la run scriverebbe \"File da caricare non esiste \\.jpg\")",
              "controlla l'identificativo passato dal programma dell'archivio");
        return std::nullopt;
      }
      const auto& t = trasf[0];
      std::string stato = t[2].empty() ? "non ancora trasferita"
                                       : "già trasferita il " + OneLineText(t[2]) + " (IDPRISM " +
                                             OneLineText(t[3]) + "); una nuova run la ricaricherebbe";
      Segna(4, "Riga trasferimento", Esito::Ok,
            "ID=" + r_.idTransfer + ", IDALBUM=" + OneLineText(t[0]) + ", IDITEMPHOTO=" + OneLineText(t[1]) +
                ", " + stato);

      Album album;
      const std::optional<int64_t> idAlbum = IdentificativoRiga(t[0]);
      auto a = !idAlbum
                   ? std::vector<std::vector<std::string>>{}
                   : Righe(archivioDb_,
                           "SELECT ID, NOMESITOPRISM, ACCOUNTUSER, ACCOUNTPASSWORD, NOMEALBUM, IDALBUMPRISM "
                           "FROM KELALBUMPRISM WHERE ID = " +
                               std::to_string(*idAlbum),
                           1);
      bool righeOk = true;
      if (a.empty()) {
        Segna(4, "Riga album", Esito::Errore,
              "nessuna riga di KELALBUMPRISM con ID = " + OneLineText(t[0]) +
                  " (la run non trova il trasferimento: \"File da caricare non esiste \\.jpg\")",
              "correggi IDALBUM della riga di trasferimento");
        righeOk = false;
      } else {
        album = {a[0][0], a[0][1], a[0][2], a[0][3]};
        Segna(4, "Riga album", Esito::Ok,
              "ID = " + OneLineText(album.id) + ", album \"" + OneLineText(a[0][4]) + "\", server " +
                  OneLineText(album.sito) + ", account " + OneLineText(album.account) +
                  (a[0][5].empty() ? ", album non ancora creato sul server"
                                   : ", album del server " + OneLineText(a[0][5])));
      }
      const std::optional<int64_t> idFoto = IdentificativoRiga(t[1]);
      auto p = !idFoto ? std::vector<std::vector<std::string>>{}
                       : Righe(archivioDb_,
                               "SELECT PERCORSOFOTO, NOMEFILE, ESTENSIONE_FILE FROM KELITEMPHOTO WHERE ID=" +
                                   std::to_string(*idFoto),
                               1);
      if (p.empty()) {
        Segna(4, "Riga foto", Esito::Errore,
              "nessuna riga di KELITEMPHOTO con ID = " + OneLineText(t[1]) +
                  " (la run non trova il trasferimento: \"File da caricare non esiste \\.jpg\")",
              "correggi IDITEMPHOTO della riga di trasferimento");
        return std::nullopt;
      }
      std::string estensione = p[0][2].empty() ? "jpg" : p[0][2];
      Segna(4, "Riga foto", Esito::Ok,
            "PERCORSOFOTO=" + OneLineText(p[0][0]) + ", NOMEFILE=" + OneLineText(p[0][1]) + ", estensione " +
                OneLineText(estensione));
      const std::string salvato = PercorsoMedia(p[0][0], p[0][1], estensione);
      const std::string locale = LocalPathFromStored(salvato, fileParametri_);
      Segna(4, "Percorso media", Esito::Ok, OneLineText(salvato) + " -> " + OneLineText(locale));
      FileMedia(salvato, locale);
      if (!righeOk) return std::nullopt;
      return album;
    } catch (const Exception& e) {
      Segna(4, "Lettura trasferimento", Esito::Errore, Errore(e), "controlla l'archivio");
      return std::nullopt;
    }
  }

  void FileMedia(const std::string& salvato, const std::string& locale) {
    struct stat info {};
    if (::stat(locale.c_str(), &info) != 0) {
      Segna(4, "File media", Esito::Errore,
            OneLineText(locale) + " non esiste (la run: \"File da caricare non esiste " +
                OneLineText(salvato) + "\")",
            "controlla che il file sia nella cartella e che [PERCORSI] del file parametri mappi la cartella "
            "salvata su quella locale");
      return;
    }
    if (!S_ISREG(info.st_mode)) {
      Segna(4, "File media", Esito::Errore, OneLineText(locale) + " non è un file regolare",
            "il percorso deve indicare il file della foto o del video");
      return;
    }
    if (::access(locale.c_str(), R_OK) != 0) {
      Segna(4, "File media", Esito::Errore, OneLineText(locale) + " non è leggibile",
            "dai il permesso di lettura all'utente che avvia la run");
      return;
    }
    const std::string dimensione = std::to_string(static_cast<long long>(info.st_size)) + " byte";
    if (info.st_size == 0) {
      Segna(4, "File media", Esito::Avviso, OneLineText(locale) + " è vuoto (0 byte)",
            "il file va ricopiato: il server rifiuterà un file vuoto");
      return;
    }
    Segna(4, "File media", Esito::Ok, OneLineText(locale) + ", file regolare leggibile, " + dimensione);
  }

  // Every album row that has transfers waiting.
  std::vector<Album> AlbumInAttesa() {
    std::vector<Album> album;
    try {
      auto righe =
          Righe(archivioDb_,
                "SELECT A.ID, A.NOMESITOPRISM, A.ACCOUNTUSER, A.ACCOUNTPASSWORD FROM KELALBUMPRISM A WHERE "
                "A.ID IN (SELECT L.IDALBUM FROM KELTRANSFLOG L WHERE L.DATAORATRANSF IS NULL) ORDER BY A.ID",
                200);
      for (const auto& r : righe) album.push_back({r[0], r[1], r[2], r[3]});
      if (album.empty()) {
        Segna(5, "Server", Esito::Ok,
              "nessuna riga album con trasferimenti in attesa: nessun server da controllare");
      }
    } catch (const Exception& e) {
      Segna(5, "Server", Esito::Errore, Errore(e), "controlla l'archivio");
    }
    return album;
  }

  // 5. The server of an album row: address, name, TCP, TLS, certificate and
  // the login.
  void Server(const Album& album) {
    const std::string etichetta = " (album " + OneLineText(album.id) + ")";
    const Url url = ParseUrl(album.sito);
    const bool https = url.scheme == "https" || url.scheme == "HTTPS";
    const bool http = url.scheme == "http" || url.scheme == "HTTP";
    int porta = url.port > 0 ? url.port : DefaultPort(url.scheme);
    if ((!http && !https) || url.host.empty() || porta <= 0) {
      Segna(5, "Indirizzo" + etichetta, Esito::Errore,
            "NOMESITOPRISM \"" + OneLineText(album.sito) + "\" non è un URL http/https",
            "scrivi in NOMESITOPRISM l'indirizzo del server, ad esempio https://foto.studio.it/");
      return;
    }
    if (album.sito.back() != '/') {
      Segna(5, "Indirizzo" + etichetta, Esito::Errore, OneLineText(album.sito) + " non finisce con \"/\"",
            "aggiungi \"/\" in fondo a NOMESITOPRISM: la run vi attacca direttamente \"api/v1/...\"");
      return;
    }
    Segna(5, "Indirizzo" + etichetta, Esito::Ok, OneLineText(album.sito));

    // Name resolution (IPv4, as the run's socket resolves).
    if (!url.ipv6Literal) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* risultato = nullptr;
      int errore = ::getaddrinfo(url.host.c_str(), nullptr, &hints, &risultato);
      if (errore != 0) {
        Segna(5, "Risoluzione nome" + etichetta, Esito::Errore,
              OneLineText(url.host) + ": " + OneLineText(gai_strerror(errore)),
              "controlla il nome del server in NOMESITOPRISM e il DNS di questo computer");
        return;
      }
      std::vector<std::string> indirizzi;
      for (addrinfo* a = risultato; a != nullptr; a = a->ai_next) {
        char testo[NI_MAXHOST] = {0};
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, testo, sizeof(testo), nullptr, 0, NI_NUMERICHOST) == 0) {
          if (std::find(indirizzi.begin(), indirizzi.end(), testo) == indirizzi.end())
            indirizzi.push_back(testo);
        }
      }
      ::freeaddrinfo(risultato);
      Segna(5, "Risoluzione nome" + etichetta, Esito::Ok, OneLineText(url.host) + " -> " + Unisci(indirizzi));
    }

    try {
      TcpSocket socket;
      auto inizio = std::chrono::steady_clock::now();
      socket.Connect(url.host, porta, url.ipv6Literal, r_.timeoutMs);
      auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio);
      socket.Close();
      Segna(
          5, "Connessione TCP" + etichetta, Esito::Ok,
          OneLineText(url.host) + ":" + std::to_string(porta) + " in " + std::to_string(ms.count()) + " ms");
    } catch (const Exception& e) {
      Segna(5, "Connessione TCP" + etichetta, Esito::Errore,
            OneLineText(url.host) + ":" + std::to_string(porta) + ": " + Errore(e),
            "il server è spento, la porta è chiusa o un firewall la blocca: avvia il server o correggi "
            "NOMESITOPRISM");
      return;
    }

    if (https && !Tls(url, porta, etichetta)) return;
    Accesso(album, etichetta);
  }

  // The handshake as shown to a diagnosis, then the run's own checks.
  bool Tls(const Url& url, int porta, const std::string& etichetta) {
    TlsSettings ispezione;
    ispezione.inspectCertificate = true;
    ispezione.caFile = tls_.verifyCertificate ? tls_.caFile : "";
    ispezione.connectTimeoutMs = r_.timeoutMs;
    ispezione.readTimeoutMs = r_.timeoutMs;
    TlsPeerInfo peer;
    try {
      TlsChannel canale(ispezione);
      canale.Connect(url.host, porta, url.ipv6Literal, false, url.host);
      peer = canale.PeerInfo();
      canale.Close();
    } catch (const Exception& e) {
      Segna(
          5, "TLS" + etichetta, Esito::Errore, Errore(e),
          "il server non accetta una connessione TLS: controlla che l'indirizzo sia https e la porta giusta");
      return false;
    }
    Segna(5, "TLS" + etichetta, Esito::Ok,
          OneLineText(peer.protocol) + ", cifratura " + OneLineText(peer.cipher));
    const std::string certificato = "soggetto " + OneLineText(peer.subject) + ", emittente " +
                                    OneLineText(peer.issuer) + ", scade " + OneLineText(peer.notAfter) +
                                    ", SHA-256 " + peer.certificateSha256 +
                                    ", ImprontaCertificato=" + peer.publicKeyPin;
    if (peer.expired) {
      Segna(5, "Certificato" + etichetta, Esito::Errore, certificato + " (scaduto)",
            "rinnova il certificato del server; senza VerificaCertificato la run lo accetta ancora, con "
            "VerificaCertificato=1 lo rifiuta");
    } else {
      Segna(5, "Certificato" + etichetta, Esito::Ok, certificato);
    }
    const std::string deposito =
        ispezione.caFile.empty() ? "l'archivio CA di sistema" : OneLineText(ispezione.caFile);
    if (peer.verified) {
      Segna(5, "Verifica CA" + etichetta, Esito::Ok,
            "verificato con " + deposito + " per " + OneLineText(url.host));
    } else if (tls_.verifyCertificate) {
      Segna(5, "Verifica CA" + etichetta, Esito::Errore,
            "non verificato con " + deposito + ": " + OneLineText(peer.verifyError),
            "con VerificaCertificato=1 la run rifiuta questo server: installa un certificato valido per " +
                OneLineText(url.host) +
                ", indica la CA in FileCertificatiCA, oppure usa ImprontaCertificato=" + peer.publicKeyPin);
    } else {
      Segna(
          5, "Verifica CA" + etichetta, Esito::Avviso,
          "non verificato con " + deposito + ": " + OneLineText(peer.verifyError),
          tls_.pinnedKeys.empty()
              ? "la run lo accetta (nessun controllo attivo); per proteggere la password scrivi in [CONFIG] "
                "ImprontaCertificato=" +
                    peer.publicKeyPin
              : "VerificaCertificato non è attiva: la run controlla solo ImprontaCertificato");
    }
    if (!tls_.verifyCertificate && tls_.pinnedKeys.empty()) return true;

    // The checks of the parameter file, applied by the channel as in a run.
    TlsSettings controlli = tls_;
    controlli.connectTimeoutMs = r_.timeoutMs;
    controlli.readTimeoutMs = r_.timeoutMs;
    try {
      TlsChannel canale(controlli);
      canale.Connect(url.host, porta, url.ipv6Literal, false, url.host);
      canale.Close();
    } catch (const Exception& e) {
      Segna(5, "Controlli certificato" + etichetta, Esito::Errore, Errore(e),
            "la run si fermerebbe con questo errore prima di inviare la password: correggi "
            "ImprontaCertificato/VerificaCertificato o il certificato del server");
      return false;
    }
    Segna(5, "Controlli certificato" + etichetta, Esito::Ok, "superati come nella run");
    return true;
  }

  // The login with the album row's account; the answer is shown only.
  void Accesso(const Album& album, const std::string& etichetta) {
    HttpClient http;
    http.SetConnectTimeout(r_.timeoutMs);
    http.SetReadTimeout(r_.timeoutMs);
    http.TlsHandler() = tls_;
    http.TlsHandler().connectTimeoutMs = r_.timeoutMs;
    http.TlsHandler().readTimeoutMs = r_.timeoutMs;
    http.SetUserAgent(kUserAgentPrism);
    const std::string account = "account " + OneLineText(album.account);
    try {
      std::string risposta = RichiestaSessionePrism(http, album.sito, album.account, album.password);
      std::unique_ptr<TJSONObject> oggetto = RispostaOggettoJSON(risposta);
      std::string token, uid;
      const TJSONObject* user = nullptr;
      if (!oggetto) {
        Segna(5, "Accesso" + etichetta, Esito::Errore,
              account + ": risposta non JSON (la run: \"Risposta non valida\"): " +
                  OneLineText(risposta.substr(0, 200)),
              "NOMESITOPRISM non indica un server Prism: controlla l'indirizzo");
      } else if (!LeggiTestoJSON(oggetto.get(), "access_token", token)) {
        Segna(5, "Accesso" + etichetta, Esito::Errore,
              account + ": nessun access_token (la run: \"Impossibile recuperare access token\")",
              "controlla l'account sul server Prism");
      } else if (!LeggiOggettoJSON(oggetto.get(), "user", user) || !LeggiTestoJSON(user, "UID", uid)) {
        Segna(5, "Accesso" + etichetta, Esito::Errore,
              account + ": risposta senza utente (la run: \"User non trovato\" / \"UID utente non trovato\")",
              "controlla la versione del server Prism");
      } else {
        Segna(5, "Accesso" + etichetta, Esito::Ok,
              account + ": accesso riuscito, UID utente " + OneLineText(uid) + " (token non salvato)");
      }
    } catch (const EIdHTTPProtocolException& e) {
      const bool credenziali = e.ErrorCode() == 401 || e.ErrorCode() == 403;
      Segna(
          5, "Accesso" + etichetta, Esito::Errore,
          account + ": " + Errore(e) +
              (e.ErrorMessage().empty() ? "" : " " + OneLineText(e.ErrorMessage().substr(0, 200))),
          credenziali
              ? "nome o password dell'account errati: correggi ACCOUNTUSER/ACCOUNTPASSWORD della riga album "
                "o la password sul server"
              : "il server ha rifiutato l'accesso: controlla lo stato del server Prism");
    } catch (const Exception& e) {
      Segna(5, "Accesso" + etichetta, Esito::Errore, account + ": " + Errore(e),
            "la richiesta di accesso non è riuscita: controlla server e rete");
    }
  }

  const RichiestaDiagnosi& r_;
  const std::function<void(const Verifica&)>& riporta_;
  const std::string fileParametri_;
  std::vector<Verifica> fatte_;
  std::string nomeServer_, alias_, percorsoDatabase_, letteraDisco_;
  std::string connessioneConfig_;
  bool configSuServer_ = false;
  TlsSettings tls_;
  std::string archivio_;
  TIBDatabase archivioDb_;
};

}  // namespace

std::vector<Verifica> EseguiDiagnosi(const RichiestaDiagnosi& richiesta,
                                     const std::function<void(const Verifica&)>& riporta) {
  Diagnosi diagnosi(richiesta, riporta);
  return diagnosi.Esegui();
}

}  // namespace velmora
