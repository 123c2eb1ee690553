// The statement helpers that the members of TQorIni22 share across its
// source files (config/QorIni22.cpp, config/QorIni22TabX.cpp). Not part of
// the layer's interface.
#pragma once

#include <string>
#include <vector>

#include "archive/IBDatabase.h"
#include "archive/IBSQL.h"
#include "archive/SQLText.h"  // QuotedSQLText, ControllaNomeGeneratore

namespace velmora::qorini22 {

// Makes the writes of `query`'s transaction durable. When running the
// statement or committing fails, the transaction's changes are rolled back
// (so releasing the connection cannot commit them later) and false is
// returned; the error itself is dropped, as the callers' contracts say.
bool EseguiScrittura(TIBQuery& query);

// A query object bound to `database` and `transaction`, parameter scanning
// as given, holding `lines`.
void Prepara(TIBQuery& query, TIBDatabase& database, TIBTransaction* transaction, bool paramCheck,
             std::vector<std::string> lines);

}  // namespace velmora::qorini22
