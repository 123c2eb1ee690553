#include "archive/FbClient.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "archive/ParameterBlocks.h"
#include "archive/SharedEngine.h"
#include "platform/CodePage.h"
#include "platform/DynamicLibrary.h"

namespace velmora {

namespace {

std::mutex gLoadMutex;
// The loaded library lives in static storage and is never destroyed: handles
// and the engine's threads live until the process ends, so it must not be
// closed by an exit-time destructor.
alignas(DynamicLibrary) unsigned char gLibraryStorage[sizeof(DynamicLibrary)];
FbClient gClient{};
bool gLoaded = false;

// Ends the client library and its engine threads before exit handlers that
// run after this one.
void ShutdownAtExit() {
  if (gLoaded && gClient.fb_shutdown) gClient.fb_shutdown(10000, fb_shutrsn_exit_called);
}

// The library starts its shutdown from its signal handler; the program acts
// on the signal itself and releases its connections on its own path.
int RefuseShutdownOnSignal(const int reason, const int /*mask*/, void* /*arg*/) {
  return reason == fb_shutrsn_signal ? 1 : 0;
}

}  // namespace

const char* FbClientLibraryName() noexcept { return "libfbclient.so.2"; }

const FbClient& LoadFbClient() {
  std::lock_guard<std::mutex> lock(gLoadMutex);
  if (gLoaded) return gClient;
  // The library reads its configuration when it is loaded: local database
  // files must be opened in shared mode from the first attach on.
  static bool sharedEngine = (UseSharedEngine(), true);
  (void)sharedEngine;
  std::string error;
  DynamicLibrary lib = DynamicLibrary::Open({FbClientLibraryName()}, error);
  if (!lib.Loaded()) IBClientError(kIBLibraryNotFound, FbClientLibraryName());
  FbClient c{};
  std::string missing;
// The first name the library lacks is kept for the error.
#define VELMORA_BIND(name)                                            \
  do {                                                                \
    if (!lib.Bind(#name, c.name) && missing.empty()) missing = #name; \
  } while (0)
  VELMORA_BIND(isc_attach_database);
  VELMORA_BIND(isc_create_database);
  VELMORA_BIND(isc_detach_database);
  VELMORA_BIND(isc_dsql_execute_immediate);
  VELMORA_BIND(isc_database_info);
  VELMORA_BIND(isc_start_multiple);
  VELMORA_BIND(isc_commit_retaining);
  VELMORA_BIND(isc_commit_transaction);
  VELMORA_BIND(isc_rollback_transaction);
  VELMORA_BIND(isc_dsql_alloc_statement2);
  VELMORA_BIND(isc_dsql_prepare);
  VELMORA_BIND(isc_dsql_sql_info);
  VELMORA_BIND(isc_dsql_describe);
  VELMORA_BIND(isc_dsql_describe_bind);
  VELMORA_BIND(isc_dsql_execute);
  VELMORA_BIND(isc_dsql_execute2);
  VELMORA_BIND(isc_dsql_fetch);
  VELMORA_BIND(isc_dsql_free_statement);
  VELMORA_BIND(isc_sqlcode);
  VELMORA_BIND(fb_interpret);
  VELMORA_BIND(isc_vax_integer);
  VELMORA_BIND(isc_portable_integer);
  VELMORA_BIND(isc_decode_sql_date);
  VELMORA_BIND(isc_decode_sql_time);
  VELMORA_BIND(isc_decode_timestamp);
  VELMORA_BIND(isc_open_blob2);
  VELMORA_BIND(isc_get_segment);
  VELMORA_BIND(isc_close_blob);
  VELMORA_BIND(fb_shutdown);
  VELMORA_BIND(fb_shutdown_callback);
#undef VELMORA_BIND
  if (!missing.empty()) IBClientError(kIBLibraryIncomplete, missing + " in " + FbClientLibraryName());
  // The library is never closed: handles and the engine's threads live until
  // the process ends.
  new (gLibraryStorage) DynamicLibrary(std::move(lib));
  gClient = c;
  gLoaded = true;
  ISC_STATUS_ARRAY status{};
  gClient.fb_shutdown_callback(status, RefuseShutdownOnSignal, fb_shut_confirmation, nullptr);
  std::atexit(ShutdownAtExit);
  return gClient;
}

void ShutdownFbClient() noexcept {
  std::lock_guard<std::mutex> lock(gLoadMutex);
  ShutdownAtExit();
}

ISC_STATUS* ClientStatus() noexcept {
  thread_local ISC_STATUS_ARRAY status;
  for (ISC_STATUS& s : status) s = 0;
  return status;
}

StatusReport ReadStatus(const FbClient& fb, const ISC_STATUS* status) {
  StatusReport report;
  report.sqlCode = static_cast<int32_t>(fb.isc_sqlcode(status));
  report.errorCode = static_cast<int32_t>(status[1]);
  std::vector<std::string> lines;
  const ISC_STATUS* cursor = status;
  char buffer[1024];
  // fb_interpret is bounded by the buffer size; each call yields one line.
  for (int guard = 0; guard < 64; ++guard) {
    ISC_LONG n = fb.fb_interpret(buffer, sizeof buffer, &cursor);
    if (n <= 0) break;
    lines.push_back(Cp1252ToUtf8(std::string_view(buffer, static_cast<size_t>(n))));
  }
  report.message = JoinErrorLines(lines);
  return report;
}

void RaiseStatus(const StatusReport& report) {
  RaiseIBError(report.message, report.sqlCode, report.errorCode);
}

void RaiseStatus(const FbClient& fb, const ISC_STATUS* status) { RaiseStatus(ReadStatus(fb, status)); }

}  // namespace velmora
