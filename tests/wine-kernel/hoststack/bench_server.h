// The Windows machine as the end-to-end benchmark's instrument: one request a
// line on standard input, one answer a line on standard output, so a process
// outside Wine can time the path through Wine's kernel and the product image.
//   bdaddr      -> "bdaddr MICROSECONDS": one Read BD_ADDR round trip, timed here
//   accept      -> "scanning BD_ADDR" once discoverable, then "connected HANDLE"
//                  or "failed WHAT" when a connection came in, or none did
//   receive N   -> "received N" once N L2CAP frames came in (fewer when they stop)
//   quit, or the end of the input, ends it.
#pragma once

#include "host_stack.h"

#include <cstdio>

namespace wsim {

void ServeBenchmark(HostStack& host, std::FILE* requests, std::FILE* answers);

} // namespace wsim
