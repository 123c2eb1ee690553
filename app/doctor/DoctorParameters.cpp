// The checks of groups 1 and 2: the parameter file and the configuration
// database.
#include <sys/stat.h>
#include <unistd.h>

#include "app/doctor/DoctorChecks.h"
#include "archive/DBUtility.h"
#include "archive/Istruzione.h"
#include "archive/QorDB.h"
#include "archive/SQLText.h"
#include "config/SettingsText.h"
#include "platform/Console.h"
#include "platform/Profile.h"
#include "publish/Trasferimento.h"

namespace velmora::doctor {

// 1. The parameter file and what its keys resolve to.
bool Diagnosi::Parametri() {
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
bool Diagnosi::ControlliCertificatoParametri() {
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
bool Diagnosi::Configurazione() {
  TIBDatabase db;
  std::string errore = Collega(db, connessioneConfig_);
  if (!errore.empty()) {
    Segna(2, "Collegamento", Esito::Errore, Descrivi(connessioneConfig_, configSuServer_) + ": " + errore,
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
    // The user code is read by the run's own rule.
    std::string codice;
    try {
      codice = CodiceUtente(r_.utente);
    } catch (const EConvertError& e) {
      Segna(2, "Riga utente", Esito::Errore,
            "codice utente \"" + OneLineText(r_.utente) + "\" non numerico (la run: " + Errore(e) + ")",
            "il primo argomento è il CODICE numerico della riga di UTENTI");
      return false;
    }
    auto righe = LeggiRighe(db, "SELECT PLENVIO FROM UTENTI WHERE CODICE = " + codice, 1);
    if (righe.empty()) {
      auto codici = LeggiRighe(db, "SELECT CODICE FROM UTENTI ORDER BY CODICE", 20);
      std::vector<std::string> elenco;
      for (const auto& c : codici) elenco.push_back(OneLineText(c[0]));
      Segna(2, "Riga utente", Esito::Errore,
            "nessuna riga con CODICE = " + codice +
                " (codici presenti: " + (elenco.empty() ? std::string("nessuno") : Unisci(elenco)) + ")",
            "usa un codice utente esistente o crea l'utente con il programma dell'archivio");
      return false;
    }
    Segna(2, "Riga utente", Esito::Ok, "CODICE = " + codice + " trovato");
    SettingsText impostazioni = SettingsText::Parse(righe[0][0]);
    const SettingsSection* sezione = nullptr;
    for (const SettingsSection& s : impostazioni.Sections()) {
      if (sezione == nullptr && SameSettingsName(s.name, r_.ditta)) sezione = &s;
    }
    if (sezione == nullptr) {
      std::vector<std::string> nomi;
      for (const std::string& n : impostazioni.SectionNames()) nomi.push_back(OneLineText(n));
      Segna(
          2, "Ditta e Archivio", Esito::Errore,
          "sezione [" + OneLineText(r_.ditta) + "] assente nelle impostazioni dell'utente (ditte presenti: " +
              (nomi.empty() ? std::string("nessuna") : Unisci(nomi)) + "); la run scrive \"Archivio vuoto\"",
          "il secondo argomento è il nome della ditta come nelle impostazioni dell'utente");
      return false;
    }
    archivio_ = impostazioni.ReadString(r_.ditta, "Archivio");
    if (archivio_.empty()) {
      Segna(2, "Ditta e Archivio", Esito::Errore,
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

}  // namespace velmora::doctor
