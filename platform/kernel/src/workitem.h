// What the loader asks of the work queues when a driver unloads.
#pragma once

#include <wdm.h>

#include <chrono>
#include <string>
#include <vector>

namespace wrk::detail {

// The driver's work items still allocated, queued or running, one line each,
// after letting running work finish for up to `grace`. `willRun` tells
// whether any of the driver's code is still to run from a work queue.
std::vector<std::string> WorkItemLeaks(PDRIVER_OBJECT driver, std::chrono::milliseconds grace, bool& willRun);

}  // namespace wrk::detail
