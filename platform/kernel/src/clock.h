// Driver time: a clock that runs at a settable fraction of real time, so that
// the driver's one- and five-second time-outs can pass in milliseconds.
#pragma once

#include <wdm.h>

#include <chrono>

namespace wrk::detail {

using RealClock = std::chrono::steady_clock;

// Driver time as Windows system time: 100 ns units since 1 January 1601.
LONGLONG SystemTime();
// The system time at which a kernel time-out expires: a negative value is
// relative driver time, a positive one absolute system time (100 ns units).
LONGLONG DeadlineFor(LONGLONG timeout);
// The real moment at which driver time reaches `systemTime` at the present
// time scale (now, for a moment already past).
RealClock::time_point RealMomentOf(LONGLONG systemTime);

}  // namespace wrk::detail
