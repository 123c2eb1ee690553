// TQorIni22: the shared named values of table TABX and the generators.
#include "archive/DBUtility.h"
#include "archive/IBSQL.h"
#include "archive/QorDB.h"
#include "config/QorIni22.h"
#include "config/QorIni22Statements.h"
#include "platform/Paths.h"

namespace velmora {

using qorini22::EseguiScrittura;
using qorini22::Prepara;

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

// The last value of the INSERT: the user code as a quoted text, then ")".
// (Appended piece by piece: GCC 12 at -O3 reports a false overlap for the
// same expression written with operator+.)
std::string ValoreUtente(int32_t utente) {
  std::string out = "'";
  out += std::to_string(utente);
  out += "')";
  return out;
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
          {"SELECT TESTO FROM TABX", "WHERE (NOME=" + QuotedSQLText(Nome) + ")",
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
  std::vector<std::string> select = {"SELECT * FROM TABX", "WHERE (NOME=" + QuotedSQLText(Nome) + ")"};
  if (Utente > 0) select.push_back(CondizioneUtente(Utente));
  Prepara(query, database, TransazioneNoWait(database), true, std::move(select));
  query.Open();
  bool esiste = query.RecordCount() > 0;
  query.Close();
  query.SQL.clear();

  if (esiste) {
    query.SQL = {"UPDATE TABX SET TESTO=" + QuotedSQLText(TestoTabX(Valore)),
                 "WHERE (NOME=" + QuotedSQLText(Nome) + ")"};
    if (Utente > 0) query.SQL.push_back(CondizioneUtente(Utente));
  } else {
    query.SQL = {
        "INSERT INTO TABX (CODICE,NOME,TESTO,UTENTE) VALUES(",
        "GEN_ID(CODICETABXCOUNTER,1),",
        QuotedSQLText(Nome) + ",",
        Valore.empty() ? "NULL," : QuotedSQLText(TestoTabX(Valore)) + ",",
        Utente > 0 ? ValoreUtente(Utente) : "NULL)",
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

}  // namespace velmora
