// Process-wide heap policy.
#pragma once

#include <cstddef>

namespace velmora {

// Lets the heap keep up to `bytes` of released memory for reuse instead of
// handing it back to the system as soon as a little more than that is free.
// The default policy returns the top of the heap after every large release,
// so a program that builds and drops large trees (a parsed 10 MB answer holds
// about 50 MB) has every page of the next one faulted in and zeroed afresh.
// Meant to be called once, at the start of the program, before other threads
// run; it also fixes the size above which single blocks are mapped on their
// own (they are still returned at once). Never raises.
void KeepReleasedMemory(size_t bytes);

}  // namespace velmora
