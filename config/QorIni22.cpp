#include "config/QorIni22.h"

#include "archive/DBUtility.h"
#include "archive/IBSQL.h"
#include "archive/ParameterBlocks.h"
#include "archive/QorDB.h"
#include "archive/SQLText.h"
#include "config/SettingsText.h"
#include "platform/Desktop.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace velmora {
namespace {

constexpr const char* kSezione = "CONFIG";
constexpr const char* kFileParametriDefault = "parametriquery.ini";
constexpr const char* kUtenteDefault = "0";
constexpr const char* kDittaDefault = "query_esterno";
constexpr const char* kDittaInattiva = "<INATTIVA>";

// The connection keys of a parameter file's "CONFIG" section.
struct ChiaviConnessione {
  std::string percorsoDatabase;
  std::string nomeServer;
  std::string alias;
  std::string letteraDisco;
};

ChiaviConnessione LeggiChiaviConnessione(const std::string& fileIni) {
  return ChiaviConnessione{ReadProfileString(fileIni, kSezione, "PercorsoDatabase", ""),
                           ReadProfileString(fileIni, kSezione, "Nome Server", ""),
                           ReadProfileString(fileIni, kSezione, "Alias", ""),
                           ReadProfileString(fileIni, kSezione, "Lettera Disco Server", "")};
}

// An SQL string literal that holds exactly `text` (QuotedSQLText).
std::string Quoted(const std::string& text) { return QuotedSQLText(text); }

// Makes the writes of `query`'s transaction durable. When running the
// statement or committing fails, the transaction's changes are rolled back
// (so releasing the connection cannot commit them later) and false is
// returned; the error itself is dropped, as the callers' contracts say.
bool EseguiScrittura(TIBQuery& query) {
  try {
    query.ExecSQL();
    query.Transaction()->CommitRetaining();
    return true;
  } catch (const Exception&) {
    try {
      if (query.Transaction() && query.Transaction()->Active()) query.Transaction()->Rollback();
    } catch (const Exception&) {
      // The connection is released next; a rollback it cannot do leaves
      // nothing of this transaction to commit either.
    }
    return false;
  }
}

// A query object bound to `database` and `transaction`, parameter scanning
// as given, holding `lines`.
void Prepara(TIBQuery& query, TIBDatabase& database, TIBTransaction* transaction, bool paramCheck,
             std::vector<std::string> lines) {
  query.SetDatabase(&database);
  query.SetTransaction(transaction);
  query.ParamCheck = paramCheck;
  query.Close();
  query.SQL = std::move(lines);
}

// Runs `select` (one column) on `database` in a read-committed transaction
// with parameter scanning off and returns that column of the first row as
// text; empty when there is no row.
std::string LeggiColonna(TIBDatabase& database, const std::string& select, const std::string& colonna) {
  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false, {select});
  query.Open();
  std::string value = query.FieldByName(colonna).AsString();
  query.Close();
  return value;
}

}  // namespace

TQorIni22::TQorIni22(TComponent* AOwner) : TQorIni22(AOwner, ExecutableDirectory()) {}

TQorIni22::TQorIni22(TComponent* AOwner, const std::string& Percorso)
    : TQorIni22(AOwner, Percorso, kFileParametriDefault) {}

TQorIni22::TQorIni22(TComponent* AOwner, const std::string& Percorso, const std::string& FileParametri)
    : TComponent(AOwner),
      percorsoBase_(Percorso.empty() ? "./" : IncludeTrailingPathDelimiter(Percorso)),
      fileParametri_(FileParametri) {}

TQorIni22::~TQorIni22() = default;

// --- Parameter file ---------------------------------------------------------

std::string TQorIni22::ValoreConfigIni(const std::string& Nome, const std::string& Default) const {
  return ReadProfileString(PercorsoFileParametri(), kSezione, Nome, Default);
}

std::unique_ptr<TIniFile> TQorIni22::getFileParametriIni() const {
  return std::make_unique<TIniFile>(PercorsoFileParametri());
}

int32_t TQorIni22::NumeroUtente() const {
  int32_t value = 0;
  return ParseIniInteger(ReadProfileString(PercorsoFileParametri(), kSezione, "Utente", ""), value) ? value
                                                                                                    : 0;
}

bool TQorIni22::ApriDatabaseConfig(TIBDatabase& database, const std::string& PercorsoDatabase,
                                   const std::string& NomeServer, const std::string& Alias,
                                   const std::string& LetteraDiscoServer) {
  if (!NomeServer.empty() && !Alias.empty())
    return ConnettiDatabase(database, NomeServer + ":" + Alias, "", "", "", "");
  return ConnettiDatabase(database, PercorsoDatabase, NomeServer, LetteraDiscoServer, "", "");
}

// --- Users and companies ------------------------------------------------------

void TQorIni22::InizializzaQuery(const std::string& PercorsoArchivio) {
  const std::string fileIni = PercorsoFileParametri();
  const std::string codice = CodiceUtente(ReadProfileString(fileIni, kSezione, "Utente", kUtenteDefault));
  // The seed drops its own errors; a path the database cannot hold is
  // refused here, where the caller still hears of it.
  ToClientText(PercorsoArchivio, "The archive path");
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);

  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);

  if (!EsisteTabella(database, "UTENTI")) {
    TIBSQL create;
    create.SetDatabase(&database);
    create.SetTransaction(TransazioneNoWait(database));
    create.ParamCheck = false;
    create.SQL = {
        "CREATE TABLE UTENTI( ",
        "  CODICE Smallint NOT NULL, ",
        "  NOMEUTENTE Varchar(20), ",
        "  PWDUTENTE Varchar(80), ",
        "  PROFILOSICUREZZA Smallint, ",
        "  PROGETTO Smallint, ",
        "  DESCRIZIONE Varchar(128), ",
        "  EMAIL Varchar(128), ",
        "  NOTE Blob sub_type 1, ",
        "  INFO1 Varchar(10), ",
        "  INFO2 Varchar(10), ",
        "  PLENVIO Blob sub_type 1, ",
        "  DITTA Varchar(64), ",
        "  MANTIENISTDMIN Smallint, ",
        "  ABILITASCELTADISCO Smallint, ",
        "  ULTIMODISCOSCELTO Varchar(1), ",
        "  ACCESSOPLENVIO Smallint, ",
        "  UTENTEINATTIVO Smallint, ",
        "  CONSTRAINT UTENTI_CHIAVEPRIMARIA PRIMARY KEY (CODICE) ",
        ")",
    };
    try {
      create.ExecQuery();
      create.Transaction()->CommitRetaining();
    } catch (const Exception&) {
      // A table that cannot be created shows in the count query below.
    }
  }

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {"SELECT COALESCE(COUNT(*),0) TOT FROM UTENTI WHERE CODICE = " + codice});
  query.Open();
  int32_t tot = query.FieldByName("TOT").AsInteger();
  query.Close();
  query.SQL.clear();
  if (tot <= 0) {
    query.SQL = {
        "INSERT INTO UTENTI (CODICE, NOMEUTENTE, DITTA, PLENVIO) VALUES ( ",
        "  " + codice + ", ",
        "  'query_esterno', ",
        "  'query_esterno', ",
        "  " + Quoted("[query_esterno]\n\rArchivio=" + PercorsoArchivio) + " ",
        ")",
    };
    EseguiScrittura(query);  // a failing seed is ignored
  }
}

void TQorIni22::Inizializza(const std::string& FileParametriQuery) {
  if (!FileExists(FileParametriQuery)) {
    CurrentDesktop().ShowMessage("File mancante " + FileParametriQuery);
    return;
  }
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(FileParametriQuery);
  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);
}

TUserLogin TQorIni22::LoginTolvaUser(const std::string& Nome, const std::string& Password) {
  TUserLogin login;
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return login;
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);

  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);

  std::string nomeMaiuscolo = Nome;
  for (char& c : nomeMaiuscolo)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {
              "SELECT COALESCE(COUNT(*),0) TOT, MIN(CODICE) CODICE, MIN(NOMEUTENTE) NOMEUTENTE, "
              "MIN(DITTA) DITTA ",
              "FROM UTENTI ",
              "WHERE UPPER(NOMEUTENTE) = " + Quoted(nomeMaiuscolo) + " ",
              "AND PWDUTENTE=" + Quoted(Password),
          });
  query.Open();
  login.Valido = query.FieldByName("TOT").AsString() == "1";
  login.Id = query.FieldByName("CODICE").AsInteger();
  login.Nome = query.FieldByName("NOMEUTENTE").AsString();
  login.Ditta = query.FieldByName("DITTA").AsString();
  query.Close();
  return login;
}

std::vector<std::string> TQorIni22::ElencoDitteUtente(int32_t UserId) {
  std::vector<std::string> ditte;
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return ditte;
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);

  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {"SELECT PLENVIO ", "FROM UTENTI ", "WHERE CODICE = " + std::to_string(UserId) + " "});
  query.Open();
  std::string plenvio = query.FieldByName("PLENVIO").AsString();
  query.Close();

  for (const std::string& nome : SettingsText::Parse(plenvio).SectionNames())
    if (nome.find(kDittaInattiva) == std::string::npos) ditte.push_back(nome);
  return ditte;
}

int32_t TQorIni22::SettaDittaUtente(int32_t UtenteId, const std::string& ditta) {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return -1;
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);

  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {"UPDATE UTENTI ", "SET DITTA = " + Quoted(ditta),
           "WHERE CODICE = " + std::to_string(UtenteId) + " "});
  query.ExecSQL();
  query.Transaction()->CommitRetaining();
  return 1;
}

TIBDatabase* TQorIni22::DatabaseTolvaUser() {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return nullptr;
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);
  auto database = std::make_unique<TIBDatabase>();
  ApriDatabaseConfig(*database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias,
                     chiavi.letteraDisco);
  handedOut_.push_back(std::move(database));
  return handedOut_.back().get();
}

void TQorIni22::RilasciaDatabase(TIBDatabase* database) noexcept {
  for (auto it = handedOut_.begin(); it != handedOut_.end(); ++it) {
    if (it->get() == database) {
      handedOut_.erase(it);
      return;
    }
  }
}

// --- Shared values and generators -----------------------------------------------

namespace {

// Opens the archive of the parameter file's user and company into `database`.
// False when that user has no "Archivio" setting or the archive did not open.
bool ApriArchivioUtente(TQorIni22& store, TIBDatabase& database) {
  const std::string fileIni = store.PercorsoFileParametri();
  std::string archivio = store.ValoreTolvaUser(fileIni, "Archivio", "");
  if (archivio.empty()) return false;
  return ApriArchivio(database, ExtractFilePath(archivio), ExtractFileName(archivio), "", "", nullptr,
                      fileIni);
}

std::string CondizioneUtente(int32_t utente) { return "AND(UTENTE='" + std::to_string(utente) + "')"; }

std::string TestoTabX(const std::string& valore) {
  std::string out;
  for (char c : valore) {
    if (c == '\'') {
      out += "\xC2\xB4";  // the acute accent takes the apostrophe's place
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string TQorIni22::ValoreTabX(const std::string& Nome, int32_t Utente) {
  TIBDatabase database;
  if (!ApriArchivioUtente(*this, database)) return "";

  TIBQuery query;
  Prepara(query, database, NuovaTransazione(database, 0), true,
          {"SELECT TESTO FROM TABX", "WHERE (NOME=" + Quoted(Nome) + ")",
           Utente > 0 ? CondizioneUtente(Utente) : "AND(UTENTE IS NULL)"});
  query.Open();
  std::string valore = query.RecordCount() > 0 ? query.Fields(0).AsString() : "";
  query.Close();
  return valore;
}

bool TQorIni22::SettaValoreTabX(const std::string& Nome, const std::string& Valore, int32_t Utente) {
  TIBDatabase database;
  if (!ApriArchivioUtente(*this, database)) return true;

  TIBQuery query;
  std::vector<std::string> select = {"SELECT * FROM TABX", "WHERE (NOME=" + Quoted(Nome) + ")"};
  if (Utente > 0) select.push_back(CondizioneUtente(Utente));
  Prepara(query, database, TransazioneNoWait(database), true, std::move(select));
  query.Open();
  bool esiste = query.RecordCount() > 0;
  query.Close();
  query.SQL.clear();

  if (esiste) {
    query.SQL = {"UPDATE TABX SET TESTO=" + Quoted(TestoTabX(Valore)),
                 "WHERE (NOME=" + Quoted(Nome) + ")"};
    if (Utente > 0) query.SQL.push_back(CondizioneUtente(Utente));
  } else {
    query.SQL = {
        "INSERT INTO TABX (CODICE,NOME,TESTO,UTENTE) VALUES(",
        "GEN_ID(CODICETABXCOUNTER,1),",
        Quoted(Nome) + ",",
        Valore.empty() ? "NULL," : Quoted(TestoTabX(Valore)) + ",",
        Utente > 0 ? "'" + std::to_string(Utente) + "')" : "NULL)",
    };
  }
  return EseguiScrittura(query);
}

std::string TQorIni22::ValoreGeneratore(const std::string& NomeGeneratore) {
  TIBDatabase database;
  if (!ApriArchivioUtente(*this, database)) return "";
  ControllaNomeGeneratore(NomeGeneratore);

  TIBQuery query;
  Prepara(query, database, TransazioneNoWait(database), true,
          {"SELECT GEN_ID(" + NomeGeneratore + ",1) FROM RDB$DATABASE;"});
  query.Open();
  // GEN_ID gives a 64-bit value; its whole decimal text is returned.
  std::string valore = std::to_string(query.Fields(0).AsInt64());
  query.Close();
  return valore;
}

// --- Per-user settings --------------------------------------------------------

std::string TQorIni22::ValoreTolvaUser(const std::string& Nome) { return ValoreTolvaUser(Nome, ""); }

std::string TQorIni22::ValoreTolvaUser(const std::string& Nome, const std::string& Default) {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return "";
  return ValoreTolvaUser(fileIni, Nome, Default);
}

std::string TQorIni22::ValoreTolvaUser(const std::string& FileIniPercorso, const std::string& Nome,
                                       const std::string& Default) {
  const std::string utente = ReadProfileString(FileIniPercorso, kSezione, "Utente", kUtenteDefault);
  const std::string ditta = ReadProfileString(FileIniPercorso, kSezione, "Ditta", kDittaDefault);
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(FileIniPercorso);
  return ValoreTolvaUser(chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco,
                         utente, ditta, Nome, Default);
}

std::string TQorIni22::ValoreTolvaUser(const std::string& UtenteIni, const std::string& DittaIni,
                                       const std::string& Nome, const std::string& Default) {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return "";
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);
  return ValoreTolvaUser(chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco,
                         UtenteIni, DittaIni, Nome, Default);
}

std::string TQorIni22::ValoreTolvaUser(const std::string& FileUserFdb, const std::string& NomeServer,
                                       const std::string& Alias, const std::string& LetteraDiscoServer,
                                       const std::string& UtenteIni, const std::string& DittaIni,
                                       const std::string& Nome, const std::string& Default) {
  const std::string codice = CodiceUtente(UtenteIni);
  TIBDatabase database;
  ApriDatabaseConfig(database, FileUserFdb, NomeServer, Alias, LetteraDiscoServer);
  std::string plenvio =
      LeggiColonna(database, "SELECT PLENVIO FROM UTENTI WHERE CODICE = " + codice, "PLENVIO");
  return SettingsText::Parse(plenvio).ReadString(DittaIni, Nome, Default);
}

int32_t TQorIni22::ValoreTolvaUserInt(const std::string& Nome, int32_t Default) {
  std::string testo = ValoreTolvaUser(Nome);
  if (testo.empty()) return Default;
  int32_t value = 0;
  if (!ParseIniInteger(testo, value)) throw EConvertError("'" + testo + "' is not a valid integer value");
  return value;
}

void TQorIni22::SettaValoreTolvaUser(const std::string& Nome, const std::string& Valore) {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return;
  const std::string codice = CodiceUtente(ReadProfileString(fileIni, kSezione, "Utente", kUtenteDefault));
  const std::string ditta = ReadProfileString(fileIni, kSezione, "Ditta", kDittaDefault);
  std::string problema = SettingsText::CheckWritable(ditta, Nome, Valore);
  if (!problema.empty())
    throw EIniFileException("Cannot store setting \"" + Nome + "\" in section \"" + ditta +
                            "\": " + problema);
  // The write below drops its own errors; a text the database cannot hold
  // is refused here, where the caller still hears of it.
  ToClientText(ditta, "The company name");
  ToClientText(Nome, "The setting name");
  ToClientText(Valore, "The setting value");
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);

  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {"SELECT PLENVIO FROM UTENTI WHERE CODICE = " + codice});
  query.Open();
  SettingsText testo = SettingsText::Parse(query.FieldByName("PLENVIO").AsString());
  testo.WriteString(ditta, Nome, Valore);

  query.Close();
  query.SQL.clear();
  query.SQL = {"UPDATE UTENTI SET PLENVIO = " + Quoted(testo.Render()) + " WHERE CODICE = " + codice +
               " "};
  EseguiScrittura(query);  // a failing write leaves the old text stored
}

std::string TQorIni22::ValoreTolvaUserInfo2(const std::string& UtenteIni, const std::string& DittaIni) {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return "";
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);
  return ValoreTolvaUserInfo2(chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco,
                              UtenteIni, DittaIni);
}

std::string TQorIni22::ValoreTolvaUserInfo2(const std::string& FileUserFdb, const std::string& NomeServer,
                                            const std::string& Alias, const std::string& LetteraDiscoServer,
                                            const std::string& UtenteIni, const std::string& /*DittaIni*/) {
  const std::string codice = CodiceUtente(UtenteIni);
  TIBDatabase database;
  ApriDatabaseConfig(database, FileUserFdb, NomeServer, Alias, LetteraDiscoServer);
  return LeggiColonna(database, "SELECT INFO2 FROM UTENTI WHERE CODICE = " + codice, "INFO2");
}

std::string TQorIni22::PlenvioTolvaUser(int32_t UtenteIni) {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return "";
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);
  TIBDatabase database;
  ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias, chiavi.letteraDisco);
  return LeggiColonna(database, "SELECT PLENVIO FROM UTENTI WHERE CODICE = " + std::to_string(UtenteIni),
                      "PLENVIO");
}

}  // namespace velmora
