// The dispatcher's share of deferred work (see deferred.cpp).
#pragma once

#include <wdm.h>

#include <mutex>

namespace wrk::detail {

// Called by a waiting thread with the dispatcher lock held, before it
// sleeps: runs one item of deferred work if this thread may (giving up the
// lock meanwhile), and says whether it did; the wait then looks at its
// object again.
bool RunDeferredWorkBeforeSleeping(std::unique_lock<std::mutex>& dispatcherLock, PKTHREAD thread);

}  // namespace wrk::detail
