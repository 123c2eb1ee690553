// The helpers the doctor's checks share, and the chain in order.
#include "app/doctor/Doctor.h"

#include "app/doctor/DoctorChecks.h"
#include "archive/DBUtility.h"
#include "archive/QorDB.h"
#include "platform/Console.h"
#include "publish/Trasferimento.h"

namespace velmora {
namespace doctor {

std::string Errore(const Exception& e) {
  return OneLineText(std::string(e.ClassName()) + ": " + e.Message());
}

std::string Unisci(const std::vector<std::string>& parti, const char* separatore) {
  std::string out;
  for (const std::string& p : parti) {
    if (!out.empty()) out += separatore;
    out += p;
  }
  return out;
}

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

std::string Descrivi(const std::string& connessione, bool server) {
  return (server ? "server " : "embedded ") + OneLineText(connessione);
}

Diagnosi::Diagnosi(const RichiestaDiagnosi& richiesta, const std::function<void(const Verifica&)>& riporta)
    : r_(richiesta), riporta_(riporta), fileParametri_(richiesta.baseDir + kFileParametri) {}

std::vector<Verifica> Diagnosi::Esegui() {
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

void Diagnosi::Segna(int gruppo, const std::string& nome, Esito esito, const std::string& dettaglio,
                     const std::string& suggerimento) {
  Verifica v{gruppo, nome, esito, dettaglio, esito == Esito::Ok ? "" : suggerimento};
  fatte_.push_back(v);
  riporta_(v);
}

}  // namespace doctor

std::vector<Verifica> EseguiDiagnosi(const RichiestaDiagnosi& richiesta,
                                     const std::function<void(const Verifica&)>& riporta) {
  doctor::Diagnosi diagnosi(richiesta, riporta);
  return diagnosi.Esegui();
}

}  // namespace velmora
