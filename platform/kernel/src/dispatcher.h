// The dispatcher: one lock and one wake-up for every waitable object, as the
// Windows kernel's dispatcher lock.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <mutex>

namespace wrk::detail {

// DISPATCHER_HEADER.Type of a thread object (events use their EVENT_TYPE).
constexpr UCHAR kThreadObjectType = 6;

std::mutex& DispatcherLock();
std::condition_variable& DispatcherWake();

// With the dispatcher lock held: signals a notification-type object for good
// (a thread that has ended) and releases everyone waiting on it.
void SignalForeverLocked(DISPATCHER_HEADER* header);

}  // namespace wrk::detail
