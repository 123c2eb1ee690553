// velmora-batch --watch: the batch as a service. Every cycle (--interval
// seconds) it asks the archive, with one statement on the transfer table
// alone, which rows are pending or recorded without a photo, and publishes
// (or repairs) those that are due by the retry plan, exactly as a batch
// does. It keeps one server session per album account from cycle to cycle,
// tells each row's change once, and speaks the service manager's notify
// protocol.
#pragma once

#include <string>

#include "app/batch/BatchOptions.h"

namespace velmora {

// Runs the service with the parameter file of `baseDir` (ending with "/")
// until a stop signal. SIGHUP (taken as a reload request) makes the next
// cycle read the parameter file and the user's settings again and open the
// archive anew. Returns 2 when the parameter file or the archive cannot be
// had at the start (nothing was published); after a stop signal it returns
// 0 once the rows in flight are settled, and the caller ends the process by
// the signal. Never throws.
int EseguiServizio(const OpzioniBatch& opzioni, const std::string& baseDir);

}  // namespace velmora
