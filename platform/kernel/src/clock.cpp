// KeQuerySystemTime and the scaled driver clock.
#include "clock.h"

#include "dispatcher.h"

#include <host/kernel.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace wrk {
namespace {

constexpr LONGLONG kTicksPerSecond = 10'000'000;
// Seconds between 1601-01-01 (Windows) and 1970-01-01 (Unix).
constexpr LONGLONG kEpochDifferenceSeconds = 11'644'473'600LL;
// Long enough to be "never" for any run, short enough not to overflow.
constexpr double kLongestWaitSeconds = 10.0 * 365 * 24 * 3600;

// The scale and where it last changed, read without a lock: every wait and
// every KeQuerySystemTime reads them, and only SetTimeScale writes them. A
// reader retries while the sequence is odd or moved under it.
struct ClockState {
    std::mutex writer;
    std::atomic<uint32_t> sequence{0};
    std::atomic<double> scale{1.0};
    std::atomic<detail::RealClock::rep> realBase{detail::RealClock::now().time_since_epoch().count()};
    std::atomic<double> driverBase{0.0};
    LONGLONG systemTimeAtStart = 0;  // set before any reader
};

struct Scale {
    double scale;
    detail::RealClock::time_point realBase;
    double driverBase;
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

Scale LoadScale(const ClockState& clock) {
    return {clock.scale.load(std::memory_order_acquire),
            detail::RealClock::time_point(detail::RealClock::duration(clock.realBase.load(std::memory_order_acquire))),
            clock.driverBase.load(std::memory_order_acquire)};
}

// The scale and the real time now, read as one: a moment read while the
// scale changes is read again, so that driver time never runs backwards.
Scale ReadScale(const ClockState& clock, detail::RealClock::time_point& now) {
    for (;;) {
        const uint32_t before = clock.sequence.load(std::memory_order_acquire);
        const Scale scale = LoadScale(clock);
        now = detail::RealClock::now();
        if ((before & 1) == 0 && clock.sequence.load(std::memory_order_acquire) == before) return scale;
    }
}

double DriverSeconds(const Scale& scale, detail::RealClock::time_point now) {
    return scale.driverBase + std::chrono::duration<double>(now - scale.realBase).count() / scale.scale;
}

}  // namespace

void SetTimeScale(double realSecondsPerDriverSecond) {
    if (!(realSecondsPerDriverSecond > 0.0)) {
        throw std::invalid_argument("time scale must be positive");
    }
    {
        ClockState& clock = Clock();
        std::lock_guard guard(clock.writer);
        clock.sequence.fetch_add(1, std::memory_order_acq_rel);
        const auto now = detail::RealClock::now();
        const double driverNow = DriverSeconds(LoadScale(clock), now);
        clock.driverBase.store(driverNow, std::memory_order_release);
        clock.realBase.store(now.time_since_epoch().count(), std::memory_order_release);
        clock.scale.store(realSecondsPerDriverSecond, std::memory_order_release);
        clock.sequence.fetch_add(1, std::memory_order_release);
    }
    // Waits already asleep were timed at the old scale.
    detail::RetimeWaits();
}

double TimeScale() {
    return Clock().scale.load(std::memory_order_acquire);
}

double DriverTimeSeconds() {
    detail::RealClock::time_point now;
    const Scale scale = ReadScale(Clock(), now);
    return DriverSeconds(scale, now);
}

namespace detail {

LONGLONG SystemTime() {
    ClockState& clock = Clock();
    RealClock::time_point now;
    const Scale scale = ReadScale(clock, now);
    return clock.systemTimeAtStart + static_cast<LONGLONG>(DriverSeconds(scale, now) * kTicksPerSecond);
}

LONGLONG DeadlineFor(LONGLONG timeout) {
    return timeout < 0 ? SystemTime() - timeout : timeout;
}

RealClock::time_point RealMomentOf(LONGLONG systemTime) {
    ClockState& clock = Clock();
    RealClock::time_point now;
    const Scale scale = ReadScale(clock, now);
    LONGLONG current =
        clock.systemTimeAtStart + static_cast<LONGLONG>(DriverSeconds(scale, now) * kTicksPerSecond);
    double realSeconds = std::min(static_cast<double>(std::max<LONGLONG>(0, systemTime - current)) /
                                      kTicksPerSecond * scale.scale,
                                  kLongestWaitSeconds);
    return now + std::chrono::duration_cast<RealClock::duration>(std::chrono::duration<double>(realSeconds));
}

}  // namespace detail
}  // namespace wrk

extern "C" void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = wrk::detail::SystemTime();
}
