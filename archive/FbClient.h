// The Firebird client library (libfbclient.so.2), opened with dlopen the first
// time a connection is attached or created and kept for the process. Every
// entry point the layer uses is bound by name into one table of function
// pointers typed from <ibase.h>.
#pragma once

#include <ibase.h>

#include <cstdint>
#include <string>

namespace velmora {

struct FbClient {
  decltype(&::isc_attach_database) isc_attach_database;
  decltype(&::isc_create_database) isc_create_database;
  decltype(&::isc_detach_database) isc_detach_database;
  decltype(&::isc_dsql_execute_immediate) isc_dsql_execute_immediate;
  decltype(&::isc_database_info) isc_database_info;
  decltype(&::isc_start_multiple) isc_start_multiple;
  decltype(&::isc_commit_retaining) isc_commit_retaining;
  decltype(&::isc_commit_transaction) isc_commit_transaction;
  decltype(&::isc_rollback_transaction) isc_rollback_transaction;
  decltype(&::isc_dsql_alloc_statement2) isc_dsql_alloc_statement2;
  decltype(&::isc_dsql_prepare) isc_dsql_prepare;
  decltype(&::isc_dsql_sql_info) isc_dsql_sql_info;
  decltype(&::isc_dsql_describe) isc_dsql_describe;
  decltype(&::isc_dsql_describe_bind) isc_dsql_describe_bind;
  decltype(&::isc_dsql_execute) isc_dsql_execute;
  decltype(&::isc_dsql_execute2) isc_dsql_execute2;
  decltype(&::isc_dsql_fetch) isc_dsql_fetch;
  decltype(&::isc_dsql_free_statement) isc_dsql_free_statement;
  decltype(&::isc_sqlcode) isc_sqlcode;
  decltype(&::fb_interpret) fb_interpret;
  decltype(&::isc_vax_integer) isc_vax_integer;
  decltype(&::isc_portable_integer) isc_portable_integer;
  decltype(&::isc_decode_sql_date) isc_decode_sql_date;
  decltype(&::isc_decode_sql_time) isc_decode_sql_time;
  decltype(&::isc_decode_timestamp) isc_decode_timestamp;
  decltype(&::isc_open_blob2) isc_open_blob2;
  decltype(&::isc_get_segment) isc_get_segment;
  decltype(&::isc_close_blob) isc_close_blob;
  decltype(&::fb_shutdown) fb_shutdown;
  decltype(&::fb_shutdown_callback) fb_shutdown_callback;
};

// The file name of the client library ("libfbclient.so.2").
const char* FbClientLibraryName() noexcept;

// The bound client library, loaded on first call (thread-safe) and kept for
// the process. Before it is loaded, local database files are set up to be
// shared with other processes (UseSharedEngine, archive/SharedEngine.h).
// At normal process exit the library is shut down (fb_shutdown,
// bounded wait) so that the embedded engine's threads end before the
// process's own exit handlers run; connections still attached then are
// detached and their open transactions rolled back, as if the process had
// ended. The library's own SIGINT/SIGTERM handler, put in place at the first
// attach, would detach every connection under work still going on: the
// database layer puts the program's handler back after each attach and
// create (StopSignalsHeld, platform/Signals.h), and should the library's
// handler run all the same, its shutdown is refused. Raises EIBClientError 1 "InterBase library
// libfbclient.so.2 not found in the path. Please install InterBase to use this functionality" when it cannot
// be opened, or 123 naming a missing entry point. A failed load is tried again at the next call.
const FbClient& LoadFbClient();

// Shuts the loaded client library down now, as at normal process exit
// (bounded wait); nothing when it was never loaded. For a process that ends
// without running its exit handlers (ended by a signal). Never throws.
void ShutdownFbClient() noexcept;

// The status vector for the next client call, cleared. One per thread, alive
// as long as the thread, so the library never holds the address of a vector
// that is gone.
ISC_STATUS* ClientStatus() noexcept;

// What an error status says: SQLCode from isc_sqlcode, IBErrorCode =
// status[1], message from the fb_interpret lines (Windows-1252 decoded)
// joined by JoinErrorLines. Read it before the next client call.
struct StatusReport {
  std::string message;
  int32_t sqlCode = 0;
  int32_t errorCode = 0;
};
StatusReport ReadStatus(const FbClient& fb, const ISC_STATUS* status);
// EIBInterBaseRoleError for SQL code -551, EIBInterBaseError otherwise.
[[noreturn]] void RaiseStatus(const StatusReport& report);
[[noreturn]] void RaiseStatus(const FbClient& fb, const ISC_STATUS* status);

// True when `status` holds an error.
inline bool StatusFailed(const ISC_STATUS* status) { return status[0] == 1 && status[1] != 0; }

}  // namespace velmora
