#include "archive/QorDB.h"

#include <exception>

#include "archive/Qorin2.h"
#include "archive/SQLText.h"
#include "platform/Desktop.h"
#include "platform/Profile.h"

namespace velmora {
namespace {

bool EndsWithBackslash(const std::string& text) { return !text.empty() && text.back() == '\\'; }

}  // namespace

std::string StringaConnessione(const std::string& name, const std::string& server,
                               const std::string& driveLetter) {
  if (server.empty()) return name;
  std::string path = name;
  if (!driveLetter.empty()) path = driveLetter + (name.size() > 1 ? name.substr(1) : std::string());
  return server + ":" + path;
}

bool ConnettiDatabase(TIBDatabase& db, const std::string& name, const std::string& server,
                      const std::string& driveLetter, const std::string& user, const std::string& password) {
  const std::string userName = user.empty() ? kUtenteDatabaseDefault : user;
  const std::string userPassword = password.empty() ? kPasswordDatabaseDefault : password;

  db.Close();
  db.LoginPrompt = false;
  db.Params.clear();
  db.Params.push_back("user_name=" + userName);
  db.Params.push_back("password=" + userPassword);

  db.DatabaseName = StringaConnessione(name, server, driveLetter);

  try {
    db.Open();
    return true;
  } catch (const std::exception&) {
    // Whatever made the attach fail, a database is created under the same name.
  }

  db.Params.clear();
  db.Params.push_back("USER " + DoubleQuotedSQLText(userName));
  db.Params.push_back("PASSWORD " + DoubleQuotedSQLText(userPassword));
  db.Params.push_back("PAGE_SIZE 4096");
  try {
    db.SetSQLDialect(3);
    db.CreateDatabase();
  } catch (const std::exception&) {
    return false;
  }
  CurrentDesktop().ShowMessage("Effettuata creazione data base");
  return true;
}

std::string AvvisoCondivisione(const std::string& share) {
  return "Attenzione: il disco con gli archivi è stato condiviso in rete con un nome - " + share +
         " - e non con la lettera che lo identifica. Si consiglia di correggere la condivisione oppure " +
         "di correggere manualmente la sezione Percorso Nel Server nel file Dati.ini accanto al database";
}

bool PercorsoDiReteText(const std::string& dir, const std::string& pathOnServer, std::string& prefix,
                        bool& sharedByName, std::string& warnedShare) {
  warnedShare.clear();
  std::string s = dir.size() > 2 ? dir.substr(2) : std::string();

  // The server name runs up to the first "\" (the whole rest when there is none).
  size_t slash = s.find('\\');
  std::string server = s.substr(0, slash);
  s = slash == std::string::npos ? std::string() : s.substr(slash + 1);

  std::string share = s.substr(0, s.find('\\'));
  bool warned = false;
  if (share.size() <= 1) {
    // A drive shared by its letter: \\srv\D\archivi\ -> srv:D:\archivi\.
    s = server + ":" + s;
    size_t first = s.find('\\');
    if (first != std::string::npos) s.insert(first, 1, ':');
  } else {
    sharedByName = true;
    if (!pathOnServer.empty()) {
      s = server + ":" + pathOnServer;
    } else {
      warnedShare = share;
      warned = true;
    }
  }
  prefix = s;
  return warned;
}

bool PercorsoDiRete(const std::string& dir, const std::string& pathOnServer, std::string& prefix,
                    bool& sharedByName) {
  std::string share;
  bool warned = PercorsoDiReteText(dir, pathOnServer, prefix, sharedByName, share);
  if (warned) CurrentDesktop().ShowMessage(AvvisoCondivisione(share));
  return warned;
}

DatiIniArchivio LeggiDatiIniArchivio(const std::string& iniPath) {
  DatiIniArchivio dati;
  dati.nomeServer = ReadProfileString(iniPath, "CONFIG", "Nome Server");
  dati.alias = ReadProfileString(iniPath, "CONFIG", "Alias");
  dati.percorsoDatabase = ReadProfileString(iniPath, "CONFIG", "PercorsoDatabase");
  dati.percorsoNelServer = ReadProfileString(iniPath, "CONFIG", "Percorso Nel Server");
  return dati;
}

PianoApertura PianoApriArchivio(const std::string& dir, const std::string& fileName,
                                const DatiIniArchivio& dati) {
  PianoApertura piano;
  const std::string file = fileName.empty() ? "archivio.fdb" : fileName;

  // 1. A server-side alias.
  if (!dati.nomeServer.empty() && !dati.alias.empty()) {
    piano.tentativi.push_back({dati.nomeServer + ":" + dati.alias, OrigineConnessione::kAlias});
  }

  // 2. The database directory below the server's name: tried alone, silently.
  if (!dati.percorsoDatabase.empty()) {
    std::string prefix = "\\\\" + dati.nomeServer + "\\" + dati.percorsoDatabase;
    if (!EndsWithBackslash(prefix)) prefix += "\\";
    piano.tentativi.push_back({prefix + file, OrigineConnessione::kPercorsoDatabase});
    return piano;
  }

  // 3. The directory itself; a UNC directory becomes the server's own path.
  std::string prefix = dir;
  bool sharedByName = false;
  if (dir.find("\\\\") != std::string::npos &&
      PercorsoDiReteText(dir, dati.percorsoNelServer, prefix, sharedByName, piano.condivisione)) {
    piano.dopo = DopoTentativi::kAvvisoCondivisione;
    return piano;
  }
  piano.tentativi.push_back({prefix + file, OrigineConnessione::kCartella});

  // 4. Ask for the server and its drive, unless the share by name is at fault.
  if (sharedByName) {
    piano.dopo = DopoTentativi::kErrorePercorsoRete;
  } else {
    piano.dopo = DopoTentativi::kChiediServer;
    piano.baseServer = prefix + file;
  }
  return piano;
}

bool ApriArchivio(TIBDatabase& db, const std::string& dir, const std::string& fileName,
                  const std::string& user, const std::string& password, const void* owner,
                  const std::string& parameterFile) {
  const PianoApertura piano =
      PianoApriArchivio(dir, fileName, LeggiDatiIniArchivio(DatiIniPath(dir, parameterFile)));
  for (const TentativoApertura& t : piano.tentativi) {
    if (ConnettiDatabase(db, t.connessione, "", "", user, password)) return true;
  }
  switch (piano.dopo) {
    case DopoTentativi::kNiente:
      return false;
    case DopoTentativi::kAvvisoCondivisione:
      CurrentDesktop().ShowMessage(AvvisoCondivisione(piano.condivisione));
      return false;
    case DopoTentativi::kErrorePercorsoRete:
      CurrentDesktop().ShowMessage(
          "Errore: nonostante le configurazioni, il particolare percorso di rete sta rendendo impossibile "
          "l'attivazione del database");
      return false;
    case DopoTentativi::kChiediServer:
      break;
  }
  ServerLocation location = ChiediServer(dir, owner, parameterFile);
  if (location.serverName.empty()) {
    CurrentDesktop().ShowMessage("Apertura / creazione del database non riuscita!");
    return false;
  }
  return ConnettiDatabase(db, piano.baseServer, location.serverName, location.driveLetter, user, password);
}

}  // namespace velmora
