#include "archive/Istruzione.h"

#include <utility>

#include "archive/AmbitoTransazione.h"
#include "archive/DBUtility.h"

namespace velmora {

Istruzione::Istruzione(TIBTransaction* transazione, std::vector<std::string> righe) {
  sql_.SetDatabase(transazione->DefaultDatabase());
  sql_.SetTransaction(transazione);
  sql_.ParamCheck = false;
  sql_.SQL = std::move(righe);
}

Istruzione& Istruzione::Esegui() {
  sql_.ExecQuery();
  return *this;
}

Istruzione& Istruzione::EseguiRipetendoConflitti() {
  velmora::EseguiRipetendoConflitti(sql_);
  return *this;
}

std::string Istruzione::Testo(std::string_view colonna) { return sql_.FieldByName(colonna).AsString(); }

std::vector<std::vector<std::string>> Istruzione::Righe(size_t limite) {
  std::vector<std::vector<std::string>> righe;
  while (!sql_.Eof() && righe.size() < limite) {
    std::vector<std::string> riga;
    for (size_t i = 0; i < sql_.FieldCount(); ++i) riga.push_back(sql_.Fields(i).AsString());
    righe.push_back(std::move(riga));
    sql_.Next();
  }
  return righe;
}

std::vector<std::vector<std::string>> LeggiRighe(TIBDatabase& database, const std::string& select,
                                                 size_t limite) {
  AmbitoTransazione lettura(TransazioneReadCommitted(database));
  std::vector<std::vector<std::string>> righe;
  {
    Istruzione sql(lettura.Transazione(), {select});
    righe = sql.Esegui().Righe(limite);
  }
  lettura.Conferma();
  return righe;
}

}  // namespace velmora
