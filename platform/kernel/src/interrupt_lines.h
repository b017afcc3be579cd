// The dispatcher's share of interrupt lines (host/kernel.h): every function
// is called with the dispatcher lock held.
#pragma once

#include "clock.h"

#include <wdm.h>

#include <mutex>

namespace wrk::detail {

struct ThreadWait;

// The sleeping thread takes every live line over; says whether it has any.
bool TakeInterruptLinesLocked(PKTHREAD thread);
// The thread gives its lines back to their own threads.
void ReleaseInterruptLinesLocked(PKTHREAD thread);
bool HoldsInterruptLinesLocked(PKTHREAD thread);
// Sleeps, with the lock given up, until the thread is woken, `until` has come
// (when not null) or a line it holds has input; says whether one has.
bool PollInterruptLines(std::unique_lock<std::mutex>& guard, PKTHREAD thread, const RealClock::time_point* until);
// Serves the lines PollInterruptLines found ready, with the lock given up.
void ServeReadyInterruptLines(std::unique_lock<std::mutex>& guard, PKTHREAD thread);
// Wakes a thread asleep in PollInterruptLines.
void WakePoller(ThreadWait& wait);

}  // namespace wrk::detail
