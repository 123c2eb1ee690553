// A connection to a Firebird database (TIBDatabase) and a transaction on it
// (TIBTransaction), over the client library libfbclient.so.2 opened at run
// time. Every text that crosses the client API (database name, parameter
// values, statement texts, CHAR/VARCHAR values) is converted between the
// program's UTF-8 and Windows-1252: the connection's character set is "NONE".
//
// Errors: EIBClientError (the layer's own checks, SQLCode = number of its
// message), EIBInterBaseError / EIBInterBaseRoleError (an error status of the
// client library, see IBErrorFromStatus in ParameterBlocks.h). Objects are
// single-threaded and not copyable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Exceptions.h"

namespace velmora {

class TIBTransaction;
class TIBSQL;

// The client library's handle type (FB_API_HANDLE of <ibase.h> on 64-bit
// Linux); 0 means "no handle".
using IBHandle = unsigned int;

// A heap cell holding one client library handle. The client library keeps
// the address of the variable a handle was returned in and clears it later
// (when a connection detaches it clears its statements' and transactions'
// handles), so the address must stay valid as long as the library holds the
// handle: a cell whose handle could not be freed is abandoned, never deleted.
class IBHandleCell {
 public:
  IBHandleCell();
  // Deletes the cell when it holds no handle, else abandons it.
  ~IBHandleCell();
  IBHandleCell(const IBHandleCell&) = delete;
  IBHandleCell& operator=(const IBHandleCell&) = delete;

  IBHandle* get() const noexcept { return cell_; }
  IBHandle value() const noexcept { return *cell_; }
  // Forgets a handle the library may still hold: the old cell is kept for the
  // life of the process and a fresh, empty one takes its place.
  void Abandon() noexcept;

 private:
  IBHandle* cell_;
};

// How a transaction is ended when its connection closes while it is active.
enum class TTransactionAction { Rollback, Commit, RollbackRetaining, CommitRetaining };

class TIBDatabase {
 public:
  TIBDatabase();
  // Closes the connection as Close() does, by force: errors are ignored, open
  // transactions are committed (rolled back when the commit fails). Then
  // destroys the transactions the connection owns (see AdoptTransaction) and
  // detaches every other transaction and statement object from it.
  virtual ~TIBDatabase();
  TIBDatabase(const TIBDatabase&) = delete;
  TIBDatabase& operator=(const TIBDatabase&) = delete;

  // The connect string, handed to the client library unchanged (converted to
  // Windows-1252): a file path (embedded engine), or "host:path" / "host:alias"
  // (server).
  std::string DatabaseName;
  // For attaching: lines "name=value" ("user_name=SYSDBA", "password=..."),
  // blank lines skipped. For CreateDatabase without a "user_name" value: the
  // clauses of the CREATE DATABASE statement, one per line. The attach
  // request is rebuilt from these lines at every attach.
  std::vector<std::string> Params;
  // Kept for the callers that set it; this layer never prompts, credentials
  // come from Params alone.
  bool LoginPrompt = true;

  // Dialect in which statements are prepared and executed (initially 3).
  int SQLDialect() const noexcept { return sqlDialect_; }
  // Raises EIBClientError 87 "SQL Dialect Invalid" when n < 1, or when
  // connected and n is above the database's own dialect.
  void SetSQLDialect(int n);
  // The attached database's own dialect; 0 when unconnected.
  int DBSQLDialect() const noexcept { return dbSqlDialect_; }

  virtual bool Connected() const noexcept { return handle_.value() != 0; }
  // true: Open(); false: Close(). Setting the current state again does nothing.
  void SetConnected(bool value);

  // Attaches to DatabaseName with the parameter block built from Params
  // (BuildDPB). Loads the client library on first need.
  // Raises: EIBClientError 1 (library missing), 16 "Cannot perform operation
  // -- DB is currently open", 17 "Database name is missing", 11/114/120/121
  // (bad Params line, see BuildDPB), 120 (a name with a NUL byte or a
  // character outside Windows-1252); EIBInterBaseError for a refused attach. On
  // any failure the connection stays unconnected and usable for another try.
  // After success the database's dialect is read and SQLDialect lowered to it.
  virtual void Open();
  // Closes every statement object on the connection, ends every active
  // transaction on it with its DefaultAction (forced: a failed commit rolls
  // back, no error), then detaches. When the detach itself fails the
  // connection is still unconnected afterwards and EIBInterBaseError is
  // raised. Does nothing when unconnected.
  virtual void Close();
  // Same as Close() but never raises.
  virtual void ForceClose() noexcept;

  // Creates the database DatabaseName and leaves the connection attached to it.
  // Without a "user_name=" value in Params: runs "CREATE DATABASE '<name>' "
  // followed by the Params lines joined by blanks (CreateDatabaseStatement)
  // through execute-immediate in SQLDialect. With one: creates through the
  // client library's create call with the parameter block of Params.
  // Raises EIBClientError 1, 16 or 120 (as Open), or EIBInterBaseError (e.g.
  // the file exists); on failure the connection stays unconnected.
  virtual void CreateDatabase();

  // Takes ownership of a transaction object: it is destroyed with the
  // connection (after the connection is closed). Returns the raw pointer,
  // valid until the connection is destroyed. Used by the transaction presets.
  TIBTransaction* AdoptTransaction(std::unique_ptr<TIBTransaction> transaction);

  // Transactions whose DefaultDatabase is this connection, in joining order.
  const std::vector<TIBTransaction*>& Transactions() const noexcept { return transactions_; }
  // Number of those that are active.
  int ActiveTransactionCount() const noexcept;

  // The client library's database handle (0 when unconnected); for the
  // statement objects of this layer.
  IBHandle* Handle() noexcept { return handle_.get(); }
  // Raises EIBClientError 15 "Cannot perform operation -- DB is not open"
  // when unconnected.
  void CheckActive() const;

 private:
  friend class TIBTransaction;
  friend class TIBSQL;
  void AddTransaction(TIBTransaction* t);
  void RemoveTransaction(TIBTransaction* t) noexcept;
  void AddStatement(TIBSQL* s);
  void RemoveStatement(TIBSQL* s) noexcept;
  void ReadDatabaseDialect();
  void CloseInternal(bool force);

  IBHandleCell handle_;
  int sqlDialect_ = 3;
  int dbSqlDialect_ = 0;
  std::vector<TIBTransaction*> transactions_;
  std::vector<TIBSQL*> statements_;
  std::vector<std::unique_ptr<TIBTransaction>> owned_;
};

class TIBTransaction {
 public:
  TIBTransaction();
  // An active transaction is ended with its DefaultAction, forced (no error).
  // Then it leaves its connection's list and unbinds its statement objects.
  ~TIBTransaction();
  TIBTransaction(const TIBTransaction&) = delete;
  TIBTransaction& operator=(const TIBTransaction&) = delete;

  TIBDatabase* DefaultDatabase() const noexcept { return database_; }
  // Joins the connection's transaction list (leaving the previous one's).
  // nullptr detaches. Raises EIBClientError 19 "Transaction is active" when
  // the transaction is active and the connection changes.
  void SetDefaultDatabase(TIBDatabase* database);

  // Transaction options, one per line: "isc_tpb_<name>" or, for lock_read /
  // lock_write / wait_time, "isc_tpb_<name>=<value>" (BuildTPB).
  std::vector<std::string> Params;
  // How the transaction is ended when its connection closes (initially commit).
  TTransactionAction DefaultAction = TTransactionAction::Commit;

  bool Active() const noexcept { return handle_.value() != 0; }
  // true: StartTransaction(); false: ends with DefaultAction (not forced).
  void SetActive(bool value);

  // Raises EIBClientError 19 "Transaction is active", 21 "No databases are
  // listed in transaction component", 15 "Cannot perform operation -- DB is
  // not open", 13 (kIBTPBUnsupported: isc_tpb_verb_time, isc_tpb_commit_time,
  // isc_tpb_autocommit) or 114 (unknown option), then
  // EIBInterBaseError when the server refuses to start it.
  void StartTransaction();
  // Makes every change durable and keeps the transaction active with its
  // context; statement objects and cursors stay usable.
  // Raises EIBClientError 18 "Transaction is not active" or EIBInterBaseError.
  void CommitRetaining();
  // Close the transaction's statement objects, then end it.
  // Raise EIBClientError 18 or EIBInterBaseError (then still active).
  void Commit();
  void Rollback();

  // The client library's transaction handle (0 when inactive).
  IBHandle* Handle() noexcept { return handle_.get(); }
  // Raises EIBClientError 18 "Transaction is not active".
  void CheckActive() const;

 private:
  friend class TIBDatabase;
  friend class TIBSQL;
  // Ends an active transaction with `action`; forced: a failed commit rolls
  // back and nothing is raised.
  void EndForced(TTransactionAction action) noexcept;
  void CloseStatements() noexcept;
  void AddStatement(TIBSQL* s);
  void RemoveStatement(TIBSQL* s) noexcept;

  TIBDatabase* database_ = nullptr;
  IBHandleCell handle_;
  std::vector<TIBSQL*> statements_;
};

}  // namespace velmora
