// KeQuerySystemTime and the scaled driver clock.
#include "clock.h"

#include "dispatcher.h"

#include <host/kernel.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace wrk {
namespace {

constexpr LONGLONG kTicksPerSecond = 10'000'000;
// Seconds between 1601-01-01 (Windows) and 1970-01-01 (Unix).
constexpr LONGLONG kEpochDifferenceSeconds = 11'644'473'600LL;
// Long enough to be "never" for any run, short enough not to overflow.
constexpr double kLongestWaitSeconds = 10.0 * 365 * 24 * 3600;

struct ClockState {
    std::mutex lock;
    double scale = 1.0;
    detail::RealClock::time_point realBase = detail::RealClock::now();
    double driverBase = 0.0;
    LONGLONG systemTimeAtStart = 0;
};

ClockState& Clock() {
    // Never destroyed: detached kernel threads may still read the clock while
    // the process exits.
    static ClockState* state = [] {
        auto* s = new ClockState;
        auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
        s->systemTimeAtStart =
            (std::chrono::duration_cast<std::chrono::seconds>(sinceUnixEpoch).count() + kEpochDifferenceSeconds) *
            kTicksPerSecond;
        return s;
    }();
    return *state;
}

double DriverSecondsLocked(const ClockState& clock, detail::RealClock::time_point now) {
    return clock.driverBase + std::chrono::duration<double>(now - clock.realBase).count() / clock.scale;
}

}  // namespace

void SetTimeScale(double realSecondsPerDriverSecond) {
    if (!(realSecondsPerDriverSecond > 0.0)) {
        throw std::invalid_argument("time scale must be positive");
    }
    {
        ClockState& clock = Clock();
        std::lock_guard guard(clock.lock);
        auto now = detail::RealClock::now();
        clock.driverBase = DriverSecondsLocked(clock, now);
        clock.realBase = now;
        clock.scale = realSecondsPerDriverSecond;
    }
    // Waits already asleep were timed at the old scale.
    detail::RetimeWaits();
}

double TimeScale() {
    ClockState& clock = Clock();
    std::lock_guard guard(clock.lock);
    return clock.scale;
}

double DriverTimeSeconds() {
    ClockState& clock = Clock();
    std::lock_guard guard(clock.lock);
    return DriverSecondsLocked(clock, detail::RealClock::now());
}

namespace detail {

LONGLONG SystemTime() {
    ClockState& clock = Clock();
    std::lock_guard guard(clock.lock);
    return clock.systemTimeAtStart +
           static_cast<LONGLONG>(DriverSecondsLocked(clock, RealClock::now()) * kTicksPerSecond);
}

LONGLONG DeadlineFor(LONGLONG timeout) {
    return timeout < 0 ? SystemTime() - timeout : timeout;
}

RealClock::time_point RealMomentOf(LONGLONG systemTime) {
    ClockState& clock = Clock();
    std::lock_guard guard(clock.lock);
    auto now = RealClock::now();
    LONGLONG current =
        clock.systemTimeAtStart + static_cast<LONGLONG>(DriverSecondsLocked(clock, now) * kTicksPerSecond);
    double realSeconds = std::min(static_cast<double>(std::max<LONGLONG>(0, systemTime - current)) /
                                      kTicksPerSecond * clock.scale,
                                  kLongestWaitSeconds);
    return now + std::chrono::duration_cast<RealClock::duration>(std::chrono::duration<double>(realSeconds));
}

}  // namespace detail
}  // namespace wrk

extern "C" void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = wrk::detail::SystemTime();
}
