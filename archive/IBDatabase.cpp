#include "archive/IBDatabase.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "archive/FbClient.h"
#include "archive/IBSQL.h"
#include "archive/ParameterBlocks.h"
#include "platform/CodePage.h"
#include "platform/Signals.h"

namespace velmora {

static_assert(std::is_same_v<IBHandle, isc_db_handle>, "IBHandle must be the client API's handle type");
static_assert(std::is_same_v<IBHandle, isc_tr_handle>, "IBHandle must be the client API's handle type");
static_assert(std::is_same_v<IBHandle, isc_stmt_handle>, "IBHandle must be the client API's handle type");

namespace {

// One entry of isc_start_multiple: the layout the client library reads.
struct TransactionEntry {
  isc_db_handle* database;
  int tpbLength;
  const char* tpb;
};

}  // namespace

// --------------------------------------------------------------- IBHandleCell

namespace {
std::mutex gAbandonedMutex;
// Cells whose handles the client library may still clear; kept reachable.
std::vector<IBHandle*>* gAbandoned = nullptr;
}  // namespace

IBHandleCell::IBHandleCell() : cell_(new IBHandle(0)) {}

IBHandleCell::~IBHandleCell() {
  if (*cell_ == 0) {
    delete cell_;
  } else {
    Abandon();
    delete cell_;
  }
}

void IBHandleCell::Abandon() noexcept {
  if (*cell_ == 0) return;
  IBHandle* fresh = new (std::nothrow) IBHandle(0);
  if (!fresh) return;  // out of memory: keep using the old cell
  {
    std::lock_guard<std::mutex> lock(gAbandonedMutex);
    try {
      if (!gAbandoned) gAbandoned = new std::vector<IBHandle*>;
      gAbandoned->push_back(cell_);
    } catch (...) {
      // Could not record it: the cell is simply never freed.
    }
  }
  cell_ = fresh;
}

// ---------------------------------------------------------------- TIBDatabase

TIBDatabase::TIBDatabase() = default;

TIBDatabase::~TIBDatabase() {
  CloseInternal(true);
  // Owned transactions go first; each leaves the list on destruction.
  owned_.clear();
  for (TIBTransaction* t : transactions_) t->database_ = nullptr;
  transactions_.clear();
  for (TIBSQL* s : statements_) s->database_ = nullptr;
  statements_.clear();
}

void TIBDatabase::SetSQLDialect(int n) {
  if (n < 1 || (Connected() && n > dbSqlDialect_)) IBClientError(kIBSQLDialectInvalid);
  sqlDialect_ = n;
}

void TIBDatabase::SetConnected(bool value) {
  if (value == Connected()) return;
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TIBDatabase::Open() {
  const FbClient& fb = LoadFbClient();
  if (Connected()) IBClientError(kIBDatabaseOpen);
  if (DatabaseName.empty()) IBClientError(kIBDatabaseNameMissing);
  std::string dpb = BuildDPB(Params);
  std::string name = ToClientText(DatabaseName, "database name");
  if (name.size() > 32767) IBClientError(kIBTextNotSendable, "database name too long");
  ISC_STATUS* status = ClientStatus();
  {
    // The library puts its own SIGINT/SIGTERM handler in place here.
    StopSignalsHeld held;
    fb.isc_attach_database(status, static_cast<short>(name.size()), name.data(), handle_.get(),
                           static_cast<short>(dpb.size()), dpb.data());
  }
  if (StatusFailed(status)) {
    *handle_.get() = 0;
    RaiseStatus(fb, status);
  }
  ReadDatabaseDialect();
}

void TIBDatabase::CreateDatabase() {
  const FbClient& fb = LoadFbClient();
  if (Connected()) IBClientError(kIBDatabaseOpen);
  ISC_STATUS* status = ClientStatus();
  IBHandle* handle = handle_.get();
  // The library may put its own SIGINT/SIGTERM handler in place here.
  StopSignalsHeld held;
  if (!ParamsHaveUserName(Params)) {
    std::string text = ToClientText(CreateDatabaseStatement(DatabaseName, Params), "statement");
    IBHandle noTransaction = 0;
    fb.isc_dsql_execute_immediate(status, handle, &noTransaction, ClientTextLength(text), text.c_str(),
                                  static_cast<unsigned short>(sqlDialect_), nullptr);
  } else {
    std::string dpb = BuildDPB(Params);
    std::string name = ToClientText(DatabaseName, "database name");
    if (name.size() > 32767) IBClientError(kIBTextNotSendable, "database name too long");
    fb.isc_create_database(status, static_cast<unsigned short>(name.size()), name.data(), handle,
                           static_cast<short>(dpb.size()), dpb.data(), 0);
  }
  if (StatusFailed(status)) {
    *handle = 0;
    RaiseStatus(fb, status);
  }
  ReadDatabaseDialect();
}

void TIBDatabase::ReadDatabaseDialect() {
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  const char items[] = {isc_info_db_sql_dialect, isc_info_end};
  char result[64] = {};
  fb.isc_database_info(status, handle_.get(), sizeof items, items, sizeof result, result);
  if (StatusFailed(status)) {
    StatusReport report = ReadStatus(fb, status);
    fb.isc_detach_database(ClientStatus(), handle_.get());
    handle_.Abandon();
    dbSqlDialect_ = 0;
    RaiseStatus(report);
  }
  // Databases without the item predate dialects: they are dialect 1.
  int dialect = 1;
  if (static_cast<unsigned char>(result[0]) == isc_info_db_sql_dialect) {
    int length = static_cast<int>(fb.isc_vax_integer(result + 1, 2));
    if (length > 0 && length <= 4)
      dialect = static_cast<int>(fb.isc_vax_integer(result + 3, static_cast<short>(length)));
  }
  dbSqlDialect_ = dialect;
  if (sqlDialect_ > dbSqlDialect_) sqlDialect_ = dbSqlDialect_;
}

void TIBDatabase::Close() { CloseInternal(false); }

void TIBDatabase::ForceClose() noexcept { CloseInternal(true); }

void TIBDatabase::CloseInternal(bool force) {
  if (handle_.value() == 0) return;
  for (TIBSQL* s : statements_) s->FreeHandle();
  for (TIBTransaction* t : transactions_) {
    if (t->Active()) t->EndForced(t->DefaultAction);
  }
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  fb.isc_detach_database(status, handle_.get());
  // A failed detach (a server gone away) still leaves the connection closed.
  handle_.Abandon();
  dbSqlDialect_ = 0;
  if (StatusFailed(status) && !force) RaiseStatus(fb, status);
}

TIBTransaction* TIBDatabase::AdoptTransaction(std::unique_ptr<TIBTransaction> transaction) {
  TIBTransaction* raw = transaction.get();
  owned_.push_back(std::move(transaction));
  return raw;
}

int TIBDatabase::ActiveTransactionCount() const noexcept {
  return static_cast<int>(std::count_if(transactions_.begin(), transactions_.end(),
                                        [](TIBTransaction* t) { return t->Active(); }));
}

void TIBDatabase::CheckActive() const {
  if (!Connected()) IBClientError(kIBDatabaseClosed);
}

void TIBDatabase::AddTransaction(TIBTransaction* t) { transactions_.push_back(t); }

void TIBDatabase::RemoveTransaction(TIBTransaction* t) noexcept {
  transactions_.erase(std::remove(transactions_.begin(), transactions_.end(), t), transactions_.end());
}

void TIBDatabase::AddStatement(TIBSQL* s) { statements_.push_back(s); }

void TIBDatabase::RemoveStatement(TIBSQL* s) noexcept {
  statements_.erase(std::remove(statements_.begin(), statements_.end(), s), statements_.end());
}

// ------------------------------------------------------------- TIBTransaction

TIBTransaction::TIBTransaction() = default;

TIBTransaction::~TIBTransaction() {
  if (Active()) EndForced(DefaultAction);
  for (TIBSQL* s : statements_) s->transaction_ = nullptr;
  statements_.clear();
  if (database_) database_->RemoveTransaction(this);
}

void TIBTransaction::SetDefaultDatabase(TIBDatabase* database) {
  if (database == database_) return;
  if (Active()) IBClientError(kIBInTransaction);
  if (database_) database_->RemoveTransaction(this);
  database_ = database;
  if (database_) database_->AddTransaction(this);
}

void TIBTransaction::SetActive(bool value) {
  if (value == Active()) return;
  if (value) {
    StartTransaction();
  } else if (DefaultAction == TTransactionAction::Rollback ||
             DefaultAction == TTransactionAction::RollbackRetaining) {
    Rollback();
  } else {
    Commit();
  }
}

void TIBTransaction::StartTransaction() {
  if (Active()) IBClientError(kIBInTransaction);
  if (!database_) IBClientError(kIBNoDatabasesInTransaction);
  database_->CheckActive();
  std::string tpb = BuildTPB(Params);
  const FbClient& fb = LoadFbClient();
  TransactionEntry entry;
  std::memset(&entry, 0, sizeof entry);  // no stray bytes in the padding
  entry.database = database_->Handle();
  entry.tpbLength = static_cast<int>(tpb.size());
  entry.tpb = tpb.empty() ? nullptr : tpb.data();
  ISC_STATUS* status = ClientStatus();
  fb.isc_start_multiple(status, handle_.get(), 1, &entry);
  if (StatusFailed(status)) {
    *handle_.get() = 0;
    RaiseStatus(fb, status);
  }
}

void TIBTransaction::CheckActive() const {
  if (!Active()) IBClientError(kIBNotInTransaction);
}

void TIBTransaction::CommitRetaining() {
  CheckActive();
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  fb.isc_commit_retaining(status, handle_.get());
  if (StatusFailed(status)) RaiseStatus(fb, status);
}

void TIBTransaction::Commit() {
  CheckActive();
  CloseStatements();
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  fb.isc_commit_transaction(status, handle_.get());
  if (StatusFailed(status)) RaiseStatus(fb, status);
}

void TIBTransaction::Rollback() {
  CheckActive();
  CloseStatements();
  const FbClient& fb = LoadFbClient();
  ISC_STATUS* status = ClientStatus();
  fb.isc_rollback_transaction(status, handle_.get());
  if (StatusFailed(status)) RaiseStatus(fb, status);
}

void TIBTransaction::EndForced(TTransactionAction action) noexcept {
  if (!Active()) return;
  CloseStatements();
  const FbClient* fb = nullptr;
  try {
    fb = &LoadFbClient();
  } catch (...) {
    handle_.Abandon();
    return;
  }
  ISC_STATUS* status = ClientStatus();
  if (action == TTransactionAction::Commit || action == TTransactionAction::CommitRetaining) {
    fb->isc_commit_transaction(status, handle_.get());
    if (!StatusFailed(status)) return;
  }
  ISC_STATUS* rollbackStatus = ClientStatus();
  fb->isc_rollback_transaction(rollbackStatus, handle_.get());
  // Whatever the outcome, the transaction is over for this program.
  handle_.Abandon();
}

void TIBTransaction::CloseStatements() noexcept {
  for (TIBSQL* s : statements_) s->Close();
}

void TIBTransaction::AddStatement(TIBSQL* s) { statements_.push_back(s); }

void TIBTransaction::RemoveStatement(TIBSQL* s) noexcept {
  statements_.erase(std::remove(statements_.begin(), statements_.end(), s), statements_.end());
}

}  // namespace velmora
