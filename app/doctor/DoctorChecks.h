// Inside velmora-doctor: the object that walks a run's chain and the
// helpers its checks share. Each group of checks lives in its own file:
// DoctorParameters.cpp (parameter file, configuration database),
// DoctorArchive.cpp (archive), DoctorTransfer.cpp (transfer row, media file)
// and DoctorServer.cpp (Prism server). Not part of the doctor's interface:
// callers use Doctor.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/doctor/Doctor.h"
#include "archive/IBDatabase.h"
#include "platform/Exceptions.h"
#include "transport/HttpUrl.h"
#include "transport/TlsChannel.h"

namespace velmora::doctor {

inline constexpr const char* kConfig = "CONFIG";

// "Class: message" of an exception, as the run's report would write it, in
// one line.
std::string Errore(const Exception& e);

// The parts joined by `separatore`.
std::string Unisci(const std::vector<std::string>& parti, const char* separatore = ", ");

// Attaches `db` to `connessione` with the run's credentials; never creates.
// Empty on success, otherwise the engine's report in one line.
std::string Collega(TIBDatabase& db, const std::string& connessione);

// "server HOST:PATH" or "embedded PATH", in one line.
std::string Descrivi(const std::string& connessione, bool server);

// The diagnosis: one object per run of the chain.
class Diagnosi {
 public:
  Diagnosi(const RichiestaDiagnosi& richiesta, const std::function<void(const Verifica&)>& riporta);

  // Every check the chain allows, in order; the checks made.
  std::vector<Verifica> Esegui();

 private:
  struct Album {
    std::string id;
    std::string sito;
    std::string account;
    std::string password;
    std::string idAlbumPrism;  // the server album, "" when not made yet
  };

  // What the run reads beside the archive file: its folder and name and the
  // [CONFIG] keys of dati.ini.
  struct DatiIni {
    std::string dir;
    std::string file;
    std::string ini;
    std::string server;
    std::string alias;
    std::string percorso;
    std::string nelServer;
    std::string lettera;
  };

  // One connect string the run tries, and where it comes from.
  struct Tentativo {
    std::string connessione;
    std::string origine;
  };

  void Segna(int gruppo, const std::string& nome, Esito esito, const std::string& dettaglio,
             const std::string& suggerimento = "");

  // 1. The parameter file and what its keys resolve to.
  bool Parametri();
  bool ControlliCertificatoParametri();

  // 2. The configuration database, its user row and the "Archivio" setting.
  bool Configurazione();

  // 3. The archive: dati.ini, the connect strings in the run's order, the
  // attach, the publication tables and the pending transfers.
  bool Archivio();
  DatiIni LeggiDatiIni();
  static std::vector<Tentativo> Tentativi(const DatiIni& dati, std::string& blocco);
  bool ApriArchivioDb(const std::vector<Tentativo>& tentativi, const std::string& blocco);
  bool TabellePubblicazione();

  // 4. The named transfer row, its album and photo rows and the media file.
  std::optional<Album> Trasferimento();
  // The checks when the run's read finds no row: which row is missing.
  // `percorsoLetto` is the media path of what the read gave (empty columns),
  // which the run's line names.
  void RigaMancante(int64_t idTrasferimento, const std::string& percorsoLetto);
  void FileMedia(const std::string& salvato, const std::string& locale);
  std::vector<Album> AlbumInAttesa();

  // 5. The server of an album row.
  void Server(const Album& album);
  bool Tls(const Url& url, int porta, const std::string& etichetta);
  // The login; its token when it succeeded, nullopt otherwise.
  std::optional<std::string> Accesso(const Album& album, const std::string& etichetta);
  // The album row's server album, listed with `token`.
  void AlbumServer(const Album& album, const std::string& etichetta, const std::string& token);

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

}  // namespace velmora::doctor
