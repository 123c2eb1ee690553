// The configuration store of the archive (TQorIni22). One instance is bound to
// one parameter file, an INI file in a base directory whose section "CONFIG"
// names a user ("Utente", default "0"), a company ("Ditta", default
// "query_esterno") and the configuration database ("Nome Server",
// "PercorsoDatabase", "Lettera Disco Server", "Alias": the connection keys).
// The database keeps the users (table UTENTI) with their settings text
// (column PLENVIO, one section per company, see SettingsText.h); the user's
// archive keeps shared named values (table TABX) and generators.
//
// Every member stands alone: it reads the parameter file afresh, opens its own
// connection, runs its statements and releases what it created before it
// returns. Nothing is cached. Values never change a statement: apostrophes
// inside quoted texts are doubled (TABX values have them replaced by "´"),
// user codes must be decimal integers, generator names identifiers.
//
// Errors reaching the caller: the database layer's exceptions (EIBClientError,
// EIBInterBaseError, EDatabaseError) where a statement fails, EConvertError
// "'%s' is not a valid integer value" for a user code that is not a decimal
// integer (raised before any statement is sent), EIniFileException for a
// setting that the settings text cannot hold, EIBClientError 120 for a text
// the database cannot hold (outside Windows-1252, not UTF-8, a NUL byte)
// where the write itself would drop its error. Single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "platform/Component.h"
#include "platform/IniFile.h"

namespace velmora {

// The outcome of LoginTolvaUser; the caller owns it.
struct TUserLogin {
  int32_t Id = 0;       // CODICE of the user found; 0 when none
  std::string Nome;     // NOMEUTENTE as stored
  std::string Ditta;    // DITTA as stored
  bool Valido = false;  // exactly one row matched name and password
};

class TQorIni22 : public TComponent {
 public:
  // Base directory = the executable's directory; parameter file
  // "parametriquery.ini".
  explicit TQorIni22(TComponent* AOwner);
  // Parameter file "parametriquery.ini" in `Percorso`.
  TQorIni22(TComponent* AOwner, const std::string& Percorso);
  // Parameter file `FileParametri` in `Percorso`; a delimiter is appended to
  // `Percorso` unless it ends with "/" or "\"; an empty `Percorso` is the
  // current directory ("./"). Touches no file.
  TQorIni22(TComponent* AOwner, const std::string& Percorso, const std::string& FileParametri);
  // Releases the connections handed out by DatabaseTolvaUser.
  ~TQorIni22() override;

  const std::string& PercorsoBase() const noexcept { return percorsoBase_; }
  const std::string& FileParametri() const noexcept { return fileParametri_; }
  // PercorsoBase() + FileParametri().
  std::string PercorsoFileParametri() const { return percorsoBase_ + fileParametri_; }

  // --- Parameter file -----------------------------------------------------

  // Key `Nome` of section "CONFIG" of the parameter file; `Default` when the
  // key (or the file) is absent. Never raises.
  std::string ValoreConfigIni(const std::string& Nome, const std::string& Default) const;
  // A new INI-file object bound to the parameter file; the caller owns it.
  std::unique_ptr<TIniFile> getFileParametriIni() const;
  // "Utente" as an integer ("0x" + hexadecimal digits, or decimal); 0 when
  // absent or not a number. Never raises.
  int32_t NumeroUtente() const;

  // --- Users and companies (UTENTI of the configuration database) ---------

  // Creates UTENTI when the database lacks it (a failing CREATE is ignored)
  // and inserts the row of the parameter file's user, when it has none, with
  // name and company "query_esterno" and the settings text "[query_esterno]"
  // LF CR "Archivio=" + `PercorsoArchivio` (a failing INSERT is ignored). No
  // existence test on the parameter file. Raises: the table check's error on
  // a database that is not open, EConvertError for a user code that is not
  // an integer, EIBClientError 120 for a path the database cannot hold, the
  // count query's errors.
  void InizializzaQuery(const std::string& PercorsoArchivio);
  // When the INI file `FileParametriQuery` is missing: shows "File mancante "
  // + its name in a message box. Otherwise opens (and so creates when it
  // cannot be opened) the database named by that file's connection keys,
  // then releases it. Never raises for a database that fails.
  void Inizializza(const std::string& FileParametriQuery);
  // Checks name (compared upper-cased, ASCII letters only) and password
  // (exact) against UTENTI. Valido only when exactly one row matches; the
  // other fields hold the smallest values over the matching rows. A missing
  // parameter file gives the empty, invalid login. Raises the layer's errors.
  TUserLogin LoginTolvaUser(const std::string& Nome, const std::string& Password);
  // The section names of user `UserId`'s settings text in the order of their
  // first appearance, without those containing "<INATTIVA>". Empty for a
  // missing parameter file, a user without a row or an empty text. Raises the
  // layer's errors.
  std::vector<std::string> ElencoDitteUtente(int32_t UserId);
  // Writes `ditta` into DITTA of user `UtenteId` and commits: 1 (also when no
  // row has that code); -1 when the parameter file is missing. Raises the
  // layer's errors (e.g. a company longer than the column).
  int32_t SettaDittaUtente(int32_t UtenteId, const std::string& ditta);
  // A connection opened from the parameter file's connection keys, owned by
  // this instance: valid until RilasciaDatabase or until the instance is
  // released. It is closed when connecting and creating both failed (the
  // caller tests Connected()). nullptr when the parameter file is missing.
  TIBDatabase* DatabaseTolvaUser();
  // Releases (closes, committing its open transactions) a connection handed
  // out by DatabaseTolvaUser before the instance goes. Other pointers are
  // ignored.
  void RilasciaDatabase(TIBDatabase* database) noexcept;

  // --- Shared values and generators of the user's archive ----------------
  // The archive is the "Archivio" setting of the parameter file's user and
  // company (ValoreTolvaUser with the parameter file; its errors reach the
  // caller), opened with ApriArchivio. An empty setting or an archive that
  // does not open ends the member at once with the result given.

  // TESTO of the TABX row named `Nome` for user `Utente` (> 0), or of the
  // shared row (UTENTE null) when `Utente` <= 0; empty when there is none or
  // no archive. Raises the layer's errors (e.g. TABX missing).
  std::string ValoreTabX(const std::string& Nome, int32_t Utente);
  // Updates every TABX row named `Nome` (for `Utente` > 0 only that user's;
  // for `Utente` <= 0 every row of that name, shared and per-user) or, when
  // none exists, inserts one (a shared row for `Utente` <= 0) with CODICE
  // from CODICETABXCOUNTER. `Valore` is stored with every "'" replaced by
  // "´"; an empty `Valore` is inserted as NULL. Commits. True also when there
  // is no archive; false when the write or its commit fails (nothing is
  // changed then). Raises the existence query's errors.
  bool SettaValoreTabX(const std::string& Nome, const std::string& Valore, int32_t Utente);
  // The decimal text of the next value of generator `NomeGeneratore` (each
  // call advances it by 1); empty when there is no archive. Raises
  // EDatabaseError for a name that is not an identifier, the layer's errors
  // for a missing generator.
  std::string ValoreGeneratore(const std::string& NomeGeneratore);

  // --- Per-user settings (PLENVIO of the configuration database) ---------

  // ValoreTolvaUser(Nome, "").
  std::string ValoreTolvaUser(const std::string& Nome);
  // Empty when the parameter file is missing; otherwise
  // ValoreTolvaUser(parameter file, Nome, Default).
  std::string ValoreTolvaUser(const std::string& Nome, const std::string& Default);
  // Reads "Utente", "Ditta" and the connection keys of the INI file
  // `FileIniPercorso` (no existence test: a missing file gives user "0",
  // company "query_esterno" and no database) and looks the value up.
  std::string ValoreTolvaUser(const std::string& FileIniPercorso, const std::string& Nome,
                              const std::string& Default);
  // Empty when the parameter file is missing; otherwise the value of `Nome`
  // in section `DittaIni` of user `UtenteIni`, in the database named by the
  // parameter file's connection keys. This is the archive lookup of a run.
  std::string ValoreTolvaUser(const std::string& UtenteIni, const std::string& DittaIni,
                              const std::string& Nome, const std::string& Default);
  // The full lookup: the value of key `Nome` in section `DittaIni` of the
  // settings text of user `UtenteIni` in the database named by the first four
  // arguments; `Default` when the user has no row or the section or key is
  // absent (every caller of the run passes ""). Raises EConvertError when
  // `UtenteIni` is not a decimal integer (before connecting), the layer's
  // errors when the database cannot be opened or has no UTENTI.
  std::string ValoreTolvaUser(const std::string& FileUserFdb, const std::string& NomeServer,
                              const std::string& Alias, const std::string& LetteraDiscoServer,
                              const std::string& UtenteIni, const std::string& DittaIni,
                              const std::string& Nome, const std::string& Default);
  // ValoreTolvaUser(Nome) as an integer: `Default` when empty; otherwise a
  // decimal integer, or EConvertError "'%s' is not a valid integer value".
  int32_t ValoreTolvaUserInt(const std::string& Nome, int32_t Default);
  // Stores `Valore` under `Nome` in the section "Ditta" of the settings text
  // of user "Utente" (both from the parameter file) and writes the whole text
  // back rendered with CR LF. Does nothing when the parameter file is
  // missing. Raises EConvertError (user code), EIniFileException (a key or
  // value the text cannot hold, e.g. with a line break), EIBClientError 120
  // (a text the database cannot hold) and the SELECT's errors; a failing
  // UPDATE or commit is ignored and the old text stays.
  void SettaValoreTolvaUser(const std::string& Nome, const std::string& Valore);
  // Empty when the parameter file is missing; otherwise INFO2 of user
  // `UtenteIni` in the database of the parameter file's connection keys.
  std::string ValoreTolvaUserInfo2(const std::string& UtenteIni, const std::string& DittaIni);
  // INFO2 of user `UtenteIni` in the database named by the first four
  // arguments (`DittaIni` is not used); empty without a row. Raises as the
  // full ValoreTolvaUser.
  std::string ValoreTolvaUserInfo2(const std::string& FileUserFdb, const std::string& NomeServer,
                                   const std::string& Alias, const std::string& LetteraDiscoServer,
                                   const std::string& UtenteIni, const std::string& DittaIni);
  // The whole settings text of user `UtenteIni` as stored; empty when the
  // parameter file is missing or the user has no row. Raises the layer's
  // errors.
  std::string PlenvioTolvaUser(int32_t UtenteIni);

 private:
  // Points `database` at the database named by the connection keys and opens
  // it (creating it when it cannot be opened): "Nome Server" + ":" + "Alias"
  // when both are set, otherwise the path with server and drive letter.
  // Returns whether it is connected; callers go on either way and the next
  // statement fails on a closed connection.
  bool ApriDatabaseConfig(TIBDatabase& database, const std::string& PercorsoDatabase,
                          const std::string& NomeServer, const std::string& Alias,
                          const std::string& LetteraDiscoServer);
  // ApriDatabaseConfig with the connection keys read from section "CONFIG"
  // of `fileIni` ("PercorsoDatabase", "Nome Server", "Alias", "Lettera Disco
  // Server"; a missing key reads empty). The one way the members that start
  // from the parameter file open the configuration database.
  bool ApriConfigurazione(TIBDatabase& database, const std::string& fileIni);

  std::string percorsoBase_;
  std::string fileParametri_;
  std::vector<std::unique_ptr<TIBDatabase>> handedOut_;
};

}  // namespace velmora
