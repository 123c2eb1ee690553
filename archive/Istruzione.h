// One statement of the program's own SQL: a TIBSQL bound to a transaction
// and its connection with parameter scanning off, so the text goes to the
// server exactly as written. Replaces the set-up every caller wrote by hand.
// Single-threaded, not copyable; the statement handle is freed when the
// object goes, the transaction is not touched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "archive/IBSQL.h"

namespace velmora {

class Istruzione {
 public:
  // Bound to `transazione` (started, with its DefaultDatabase set) and to its
  // connection; the text is `righe` joined by "\n". Nothing is executed.
  Istruzione(TIBTransaction* transazione, std::vector<std::string> righe);
  Istruzione(const Istruzione&) = delete;
  Istruzione& operator=(const Istruzione&) = delete;

  // Executes the text (TIBSQL::ExecQuery): a SELECT has its first row
  // current. Raises what ExecQuery raises.
  Istruzione& Esegui();
  // The same through EseguiRipetendoConflitti (archive/DBUtility.h): a
  // conflict with a writer that committed meanwhile runs it again.
  Istruzione& EseguiRipetendoConflitti();

  bool Eof() const noexcept { return sql_.Eof(); }
  // Column `colonna` of the current row as text (FieldByName + AsString).
  // Raises EIBClientError 46 when there is no such column.
  std::string Testo(std::string_view colonna);
  // The rows from the current one on, at most `limite`, every column as
  // text. Raises EIBInterBaseError when a fetch fails.
  std::vector<std::vector<std::string>> Righe(size_t limite);

  // The statement object itself, for what the helpers above do not cover.
  TIBSQL& Sql() noexcept { return sql_; }
  TIBSQL* operator->() noexcept { return &sql_; }

 private:
  TIBSQL sql_;
};

// The rows of `select` (at most `limite`; every row by default), every column as text, read on a
// new read-committed transaction that is ended when they are read. Raises the
// layer's errors (the transaction is then rolled back).
std::vector<std::vector<std::string>> LeggiRighe(TIBDatabase& database, const std::string& select,
                                                 size_t limite = static_cast<size_t>(-1));

}  // namespace velmora
