#include "app/batch/SelezioneTrasferimenti.h"

#include <algorithm>

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"
#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/Istruzione.h"

namespace velmora {

namespace {

// " AND L.IDALBUM IN (3,4)", or "" for every album row.
std::string FiltroAlbum(const std::vector<int64_t>& album) {
  if (album.empty()) return "";
  std::string sql = " AND L.IDALBUM IN (";
  for (size_t i = 0; i < album.size(); ++i) {
    if (i > 0) sql += ",";
    sql += std::to_string(album[i]);
  }
  return sql + ")";
}

std::string InAttesa(bool ripara) {
  return ripara ? std::string("(L.DATAORATRANSF IS NULL OR ") + kCondizioneSenzaFoto + ")"
                : "L.DATAORATRANSF IS NULL";
}

}  // namespace

bool RegistrataSenzaFoto(std::string_view idPrism, std::string_view hashPrism) {
  if (!hashPrism.empty() || idPrism.size() != 6) return false;
  for (char c : idPrism) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string TestoControllo(const std::vector<int64_t>& album, bool ripara) {
  return "SELECT L.ID FROM KELTRANSFLOG L WHERE " + InAttesa(ripara) + FiltroAlbum(album) + " ORDER BY L.ID";
}

std::string TestoControlloRecenti(const std::vector<int64_t>& album, bool ripara, int64_t sopraId) {
  return "SELECT L.ID, IIF(" + InAttesa(ripara) + FiltroAlbum(album) +
         ", 1, 0) AS DA_GUARDARE FROM KELTRANSFLOG L WHERE L.ID > " + std::to_string(sopraId) +
         " ORDER BY L.ID";
}

namespace {

// Runs `testo` on a new read-committed transaction and hands each row to
// `riga`; committed before return, rolled back when something raises.
template <typename F>
void Interroga(TIBDatabase& database, const std::string& testo, F&& riga) {
  AmbitoTransazione lettura(TransazioneReadCommitted(database));
  Istruzione sql(lettura.Transazione(), {testo});
  for (sql.Esegui(); !sql.Eof(); sql->Next()) riga(sql.Sql());
  sql->Close();
  lettura.Conferma();
}

}  // namespace

Controllo LeggiDaControllare(TIBDatabase& database, const std::vector<int64_t>& album, bool ripara) {
  Controllo c;
  Interroga(database, TestoControllo(album, ripara),
            [&c](TIBSQL& sql) { c.daGuardare.push_back(sql.Fields(0).AsInt64()); });
  Interroga(database, "SELECT MAX(ID) FROM KELTRANSFLOG", [&c](TIBSQL& sql) {
    if (!sql.Fields(0).IsNull()) c.idMassimo = sql.Fields(0).AsInt64();
  });
  return c;
}

Controllo LeggiRecenti(TIBDatabase& database, const std::vector<int64_t>& album, bool ripara,
                       int64_t sopraId) {
  Controllo c;
  c.idMassimo = sopraId;
  Interroga(database, TestoControlloRecenti(album, ripara, sopraId), [&c](TIBSQL& sql) {
    const int64_t id = sql.Fields(0).AsInt64();
    (sql.Fields(1).AsInteger() == 1 ? c.daGuardare : c.nonPiu).push_back(id);
    c.idMassimo = std::max(c.idMassimo, id);
  });
  return c;
}

std::string TestoSelezione(const SelezioneTrasferimenti& selezione) {
  std::string sql = kSelezioneTrasferimento;
  if (selezione.ids.empty()) {
    sql += InAttesa(selezione.ripara);
  } else {
    sql += "(";
    for (size_t i = 0; i < selezione.ids.size(); ++i) {
      const auto& r = selezione.ids[i];
      if (i > 0) sql += " OR ";
      if (r.da == r.a) {
        sql += "L.ID=" + std::to_string(r.da);
      } else {
        sql += "L.ID BETWEEN " + std::to_string(r.da) + " AND " + std::to_string(r.a);
      }
    }
    sql += ")";
  }
  sql += FiltroAlbum(selezione.album);
  sql += " ORDER BY L.IDALBUM, L.ID";
  return sql;
}

std::vector<RigaTrasferimento> LeggiTrasferimenti(TIBDatabase& database,
                                                  const SelezioneTrasferimenti& selezione,
                                                  const std::string& parameterFile) {
  std::vector<RigaTrasferimento> righe;
  // A read-only transaction: ending it keeps no old record versions alive
  // while the batch works.
  AmbitoTransazione lettura(TransazioneReadCommitted(database));
  Istruzione istruzione(lettura.Transazione(), {TestoSelezione(selezione)});
  TIBSQL& sql = istruzione.Esegui().Sql();
  for (; !sql.Eof(); sql.Next()) {
    RigaTrasferimento r = RigaDaRisultato(istruzione, parameterFile);
    r.riparazione = selezione.ripara && r.pubblicata && RegistrataSenzaFoto(r.idPrism, r.hashPrism);
    // Matched the statement's condition but not the full test: a published
    // row, not one to publish again.
    if (selezione.ids.empty() && r.pubblicata && !r.riparazione) continue;
    righe.push_back(std::move(r));
  }
  sql.Close();
  lettura.Conferma();
  return righe;
}

}  // namespace velmora
