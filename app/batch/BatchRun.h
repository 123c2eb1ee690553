// The batch itself: finds the archive as a run does, selects the transfer
// rows, and publishes them album row by album row (one login, the album
// when it is missing, one listing), with up to --jobs uploads at once, each
// worker on its own HTTP client. Database work stays on the calling thread;
// the workers only hash, upload and file into the album.
#pragma once

#include <string>

#include "app/batch/BatchOptions.h"

namespace velmora {

// Runs the batch with the parameter file "ParametriKelvora.ini" of
// `baseDir` (ending with "/"). Writes one line per row and the summary on
// standard output, configuration errors and the progress line (only on a
// terminal) on standard error, and the report file. Returns the exit code:
// 0 every selected row published, 1 some not, 2 a configuration error. After
// a stop signal it returns as soon as the rows in flight are settled (at
// once on a second signal); the caller then ends the process by the signal.
// Never throws.
int EseguiBatch(const OpzioniBatch& opzioni, const std::string& baseDir);

}  // namespace velmora
