#include "config/QorIni22.h"

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "archive/IBSQL.h"
#include "archive/Istruzione.h"
#include "archive/ParameterBlocks.h"
#include "archive/QorDB.h"
#include "archive/SQLText.h"
#include "config/QorIni22Statements.h"
#include "config/SettingsText.h"
#include "platform/Desktop.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace velmora {

using qorini22::EseguiScrittura;
using qorini22::Prepara;

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

namespace qorini22 {

// Makes the writes of `query`'s transaction durable. When running the
// statement or committing fails, the transaction's changes are rolled back
// (so releasing the connection cannot commit them later) and false is
// returned; the error itself is dropped, as the callers' contracts say.
bool EseguiScrittura(TIBQuery& query) {
  AmbitoTransazione scrittura(query.Transaction());
  try {
    query.ExecSQL();
    scrittura.ConfermaMantenendo();
  } catch (const Exception&) {
    return false;  // rolled back by the scope
  }
  // Durable; the transaction stays open on the connection like every other.
  scrittura.Consegna();
  return true;
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

}  // namespace qorini22

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

bool TQorIni22::ApriConfigurazione(TIBDatabase& database, const std::string& fileIni) {
  const ChiaviConnessione chiavi = LeggiChiaviConnessione(fileIni);
  return ApriDatabaseConfig(database, chiavi.percorsoDatabase, chiavi.nomeServer, chiavi.alias,
                            chiavi.letteraDisco);
}

// --- Users and companies ------------------------------------------------------

void TQorIni22::InizializzaQuery(const std::string& PercorsoArchivio) {
  const std::string fileIni = PercorsoFileParametri();
  const std::string codice = CodiceUtente(ReadProfileString(fileIni, kSezione, "Utente", kUtenteDefault));
  // The seed drops its own errors; a path the database cannot hold is
  // refused here, where the caller still hears of it.
  ToClientText(PercorsoArchivio, "The archive path");

  TIBDatabase database;
  ApriConfigurazione(database, fileIni);

  if (!EsisteTabella(database, "UTENTI")) {
    Istruzione create(TransazioneNoWait(database),
                      {
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
                      });
    try {
      create.Esegui();
      create->Transaction()->CommitRetaining();
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
        "  " + QuotedSQLText("[query_esterno]\n\rArchivio=" + PercorsoArchivio) + " ",
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
  TIBDatabase database;
  ApriConfigurazione(database, FileParametriQuery);
}

TUserLogin TQorIni22::LoginTolvaUser(const std::string& Nome, const std::string& Password) {
  TUserLogin login;
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return login;

  TIBDatabase database;
  ApriConfigurazione(database, fileIni);

  const std::string nomeMaiuscolo = UpperAscii(Nome);

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {
              "SELECT COALESCE(COUNT(*),0) TOT, MIN(CODICE) CODICE, MIN(NOMEUTENTE) NOMEUTENTE, "
              "MIN(DITTA) DITTA ",
              "FROM UTENTI ",
              "WHERE UPPER(NOMEUTENTE) = " + QuotedSQLText(nomeMaiuscolo) + " ",
              "AND PWDUTENTE=" + QuotedSQLText(Password),
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

  TIBDatabase database;
  ApriConfigurazione(database, fileIni);

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

  TIBDatabase database;
  ApriConfigurazione(database, fileIni);

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {"UPDATE UTENTI ", "SET DITTA = " + QuotedSQLText(ditta),
           "WHERE CODICE = " + std::to_string(UtenteId) + " "});
  query.ExecSQL();
  query.Transaction()->CommitRetaining();
  return 1;
}

TIBDatabase* TQorIni22::DatabaseTolvaUser() {
  const std::string fileIni = PercorsoFileParametri();
  if (!FileExists(fileIni)) return nullptr;
  auto database = std::make_unique<TIBDatabase>();
  ApriConfigurazione(*database, fileIni);
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

  TIBDatabase database;
  ApriConfigurazione(database, fileIni);

  TIBQuery query;
  Prepara(query, database, TransazioneReadCommitted(database), false,
          {"SELECT PLENVIO FROM UTENTI WHERE CODICE = " + codice});
  query.Open();
  SettingsText testo = SettingsText::Parse(query.FieldByName("PLENVIO").AsString());
  testo.WriteString(ditta, Nome, Valore);

  query.Close();
  query.SQL.clear();
  query.SQL = {"UPDATE UTENTI SET PLENVIO = " + QuotedSQLText(testo.Render()) + " WHERE CODICE = " + codice +
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
  TIBDatabase database;
  ApriConfigurazione(database, fileIni);
  return LeggiColonna(database, "SELECT PLENVIO FROM UTENTI WHERE CODICE = " + std::to_string(UtenteIni),
                      "PLENVIO");
}

}  // namespace velmora
