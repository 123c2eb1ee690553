// Locating and opening an archive database: the connect strings guided by
// "dati.ini" in the archive's directory, the fall-back that creates a missing
// database, and the messages shown on the way (through CurrentDesktop()).
// Connect strings are handed to the client library unchanged: a server on
// Windows gets its own paths ("srv:D:\archivi\archivio.fdb").
#pragma once

#include <string>
#include <vector>

#include "archive/IBDatabase.h"

namespace velmora {

// The credentials used when a caller passes empty texts.
inline constexpr const char* kUtenteDatabaseDefault = "SYSDBA";
inline constexpr const char* kPasswordDatabaseDefault = "quietlamp";

// Connects `db` (disconnected first, LoginPrompt off, Params replaced by
// "user_name=..." and "password=..."; empty credentials mean SYSDBA and
// quietlamp) to `name`, or to server + ":" + name when `server` is not empty;
// a non-empty `driveLetter` then replaces the first character of `name` by
// the whole drive text. When the attach fails for any reason, creates the
// database under the same connect string instead (Params become USER "...",
// PASSWORD "...", PAGE_SIZE 4096; dialect 3) and on success shows
// "Effettuata creazione data base". Returns true when `db` is connected at
// the end. Attach and create errors are swallowed; only an error while
// disconnecting `db` first escapes (the layer's exceptions).
bool ConnettiDatabase(TIBDatabase& db, const std::string& name, const std::string& server,
                      const std::string& driveLetter, const std::string& user, const std::string& password);

// The connect string ConnettiDatabase uses: `name` when `server` is empty,
// otherwise server + ":" + name with its first character replaced by the
// whole `driveLetter` text when that is not empty. Pure.
std::string StringaConnessione(const std::string& name, const std::string& server,
                               const std::string& driveLetter);

// Turns the UNC directory `dir` ("\\server\share\sub\") into the directory
// the server sees. A one-character share is a drive: prefix becomes
// "server:D:\sub\". A share with a longer name sets sharedByName to true
// (it is never set to false here) and gives server + ":" + pathOnServer when
// that is not empty; otherwise shows the share warning, leaves the share and
// its subdirectories in prefix and returns true. Returns true exactly when
// the warning was shown.
bool PercorsoDiRete(const std::string& dir, const std::string& pathOnServer, std::string& prefix,
                    bool& sharedByName);

// The pure part of PercorsoDiRete: the same results, with `warnedShare`
// receiving the share name when the warning is due (nothing is shown).
bool PercorsoDiReteText(const std::string& dir, const std::string& pathOnServer, std::string& prefix,
                        bool& sharedByName, std::string& warnedShare);

// The share warning for `share`.
std::string AvvisoCondivisione(const std::string& share);

// The keys of "dati.ini" (section "CONFIG") that guide ApriArchivio.
struct DatiIniArchivio {
  std::string nomeServer;         // "Nome Server"
  std::string alias;              // "Alias"
  std::string percorsoDatabase;   // "PercorsoDatabase"
  std::string percorsoNelServer;  // "Percorso Nel Server"
};

// Where a connect string of ApriArchivio comes from.
enum class OrigineConnessione {
  kAlias,             // "Nome Server" + ":" + "Alias"
  kPercorsoDatabase,  // "\\" + "Nome Server" + "\" + "PercorsoDatabase" + file
  kCartella,          // the directory (a UNC one as the server sees it) + file
};

struct TentativoApertura {
  std::string connessione;
  OrigineConnessione origine;
};

// What ApriArchivio does once every attempt of a plan has failed.
enum class DopoTentativi {
  kNiente,              // nothing more: the result is false, no message
  kAvvisoCondivisione,  // the share warning for `condivisione`, result false
  kErrorePercorsoRete,  // the network-path error, result false
  kChiediServer,        // the server prompt, then `baseServer` on its server and drive
};

// The connect strings ApriArchivio tries, in order, for the archive
// `fileName` ("archivio.fdb" when empty) of directory `dir`, and what comes
// after them. Pure: both the run and the doctor follow it.
struct PianoApertura {
  std::vector<TentativoApertura> tentativi;
  DopoTentativi dopo = DopoTentativi::kNiente;
  std::string condivisione;  // the share named by kAvvisoCondivisione
  std::string baseServer;    // the name kChiediServer connects on the prompt's server
};
PianoApertura PianoApriArchivio(const std::string& dir, const std::string& fileName,
                                const DatiIniArchivio& dati);

// The keys of "dati.ini" at `iniPath` (missing keys read empty).
DatiIniArchivio LeggiDatiIniArchivio(const std::string& iniPath);

// Opens (or creates) the archive `fileName` ("archivio.fdb" when empty) of
// the directory `dir` (as stored, ending with its delimiter; "dati.ini" is
// appended to it directly) into `db`, trying in order: "Nome Server" +
// ":" + "Alias"; "\\" + "Nome Server" + "\" + "PercorsoDatabase"; the
// directory itself (a UNC directory turned into a server path by
// PercorsoDiRete); and finally the server and drive of ChiediServer. Shows
// the messages of those steps. Returns true when `db` ended up connected.
// "dati.ini" is read (and written by the prompt) at DatiIniPath(dir,
// parameterFile). Raises EIniFileException when the prompt's answer cannot
// be written to "dati.ini"; every attach or create failure is a false result.
bool ApriArchivio(TIBDatabase& db, const std::string& dir, const std::string& fileName,
                  const std::string& user, const std::string& password, const void* owner = nullptr,
                  const std::string& parameterFile = "");

}  // namespace velmora
