// Interrupt lines: a device's input that a sleeping system thread polls and
// serves itself. A line belongs to the system thread that went to sleep last,
// which is most often the one waiting for what the line brings: its request is
// then completed in its own context, where otherwise the line's thread would
// have taken the input and woken it. Ownership outlives the wait (the thread
// usually sleeps again within microseconds), so that a receive loop takes a
// line once, not once per packet.
#include "interrupt_lines.h"

#include "deferred.h"
#include "dispatcher.h"
#include "kthread.h"

#include <host/kernel.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <system_error>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace wrk::detail {
namespace {

struct LineState {
    InterruptLine* line;
    PKTHREAD owner = nullptr;  // null: the line's own thread serves it
    bool ready = false;        // the owner's poll found input to serve
    bool disconnected = false;
    int users = 0;             // threads polling or serving it right now
};

// Every field under the dispatcher lock.
struct Lines {
    std::vector<std::unique_ptr<LineState>> lines;
    std::condition_variable idle;  // a line's users went to 0
};

Lines& TheLines() {
    static auto* lines = new Lines;  // outlives detached threads
    return *lines;
}

// The line the calling thread serves right now, whose disconnection from
// inside its own Service() cannot wait for itself.
[[gnu::tls_model("initial-exec")]] thread_local InterruptLine* tServing = nullptr;

// A thread polls at most this many lines at once; more are left to their own threads.
constexpr size_t kMostLinesPolled = 8;

bool Live(const LineState& state) {
    return !state.disconnected && state.line->Fd() >= 0;
}

// The last user of a disconnected line frees it.
void DropUser(Lines& lines, LineState& state) {
    if (--state.users != 0) return;
    if (state.disconnected) {
        lines.lines.erase(std::find_if(lines.lines.begin(), lines.lines.end(),
                                       [&state](const auto& each) { return each.get() == &state; }));
    }
    lines.idle.notify_all();
}

}  // namespace

bool TakeInterruptLinesLocked(PKTHREAD thread) {
    bool holds = false;
    for (auto& state : TheLines().lines) {
        if (!Live(*state)) continue;
        holds = true;
        if (state->owner == thread) continue;
        if (state->owner == nullptr) {
            state->line->KernelPolls(true);
        } else if (state->owner->wait.polling) {
            WakePoller(state->owner->wait);  // it finds the line gone and sleeps on
        }
        state->owner = thread;
        state->ready = false;
    }
    return holds;
}

void ReleaseInterruptLinesLocked(PKTHREAD thread) {
    for (auto& state : TheLines().lines) {
        if (state->owner != thread) continue;
        state->owner = nullptr;
        state->ready = false;
        state->line->KernelPolls(false);
    }
}

bool HoldsInterruptLinesLocked(PKTHREAD thread) {
    const auto& lines = TheLines().lines;
    return std::any_of(lines.begin(), lines.end(),
                       [thread](const auto& state) { return state->owner == thread && Live(*state); });
}

bool PollInterruptLines(std::unique_lock<std::mutex>& guard, PKTHREAD thread, const RealClock::time_point* until) {
    Lines& lines = TheLines();
    ThreadWait& wait = thread->wait;
    if (wait.wakeFd < 0) {
        wait.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wait.wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd for a thread's wake-up");
    }
    std::array<pollfd, kMostLinesPolled + 1> fds{};
    std::array<LineState*, kMostLinesPolled> polled{};
    fds[0] = {wait.wakeFd, POLLIN, 0};
    size_t count = 0;
    for (auto& state : lines.lines) {
        if (count == kMostLinesPolled) break;
        if (state->owner != thread || !Live(*state)) continue;
        fds[count + 1] = {state->line->Fd(), POLLIN, 0};
        polled[count++] = state.get();
        state->users++;
    }
    wait.polling = true;
    guard.unlock();
    timespec timeout{};
    if (until != nullptr) {
        const auto left = std::max(*until - RealClock::now(), RealClock::duration::zero());
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
        timeout.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    }
    const int result = ::ppoll(fds.data(), count + 1, until != nullptr ? &timeout : nullptr, nullptr);
    if (result < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "ppoll of interrupt lines");
    if (fds[0].revents != 0) {
        eventfd_t drained;
        (void)::eventfd_read(wait.wakeFd, &drained);
    }
    guard.lock();
    wait.polling = false;
    bool ready = false;
    for (size_t i = 0; i < count; ++i) {
        LineState& state = *polled[i];
        if (fds[i + 1].revents != 0 && state.owner == thread && Live(state)) {
            state.ready = true;
            ready = true;
        }
        DropUser(lines, state);
    }
    return ready;
}

void ServeReadyInterruptLines(std::unique_lock<std::mutex>& guard, PKTHREAD thread) {
    Lines& lines = TheLines();
    std::array<LineState*, kMostLinesPolled> ready{};
    size_t count = 0;
    for (auto& state : lines.lines) {
        if (count == kMostLinesPolled) break;
        if (!state->ready || state->owner != thread) continue;
        state->ready = false;
        state->users++;
        ready[count++] = state.get();
    }
    guard.unlock();
    for (size_t i = 0; i < count; ++i) {
        DeferredWorkScope running;
        tServing = ready[i]->line;
        ready[i]->line->Service();
        tServing = nullptr;
    }
    guard.lock();
    for (size_t i = 0; i < count; ++i) DropUser(lines, *ready[i]);
}

void WakePoller(ThreadWait& wait) {
    (void)::eventfd_write(wait.wakeFd, 1);
}

ThreadWait::~ThreadWait() {
    if (wakeFd >= 0) ::close(wakeFd);
}

}  // namespace wrk::detail

namespace wrk {

void ConnectInterruptLine(InterruptLine* line) {
    auto& lines = detail::TheLines();
    std::lock_guard guard(detail::DispatcherLock());
    auto state = std::make_unique<detail::LineState>();
    state->line = line;
    lines.lines.push_back(std::move(state));
}

void DisconnectInterruptLine(InterruptLine* line) {
    auto& lines = detail::TheLines();
    std::unique_lock guard(detail::DispatcherLock());
    auto found = std::find_if(lines.lines.begin(), lines.lines.end(),
                              [line](const auto& state) { return state->line == line; });
    if (found == lines.lines.end()) return;
    detail::LineState& state = **found;
    state.disconnected = true;
    if (state.owner != nullptr) {
        if (state.owner->wait.polling) detail::WakePoller(state.owner->wait);
        state.owner = nullptr;
        line->KernelPolls(false);
    }
    if (state.users == 0) {
        lines.lines.erase(found);
        return;
    }
    // Serving it ourselves: our own Service() frees it when it returns.
    if (detail::tServing == line) return;
    lines.idle.wait(guard, [&lines, line] {
        return std::none_of(lines.lines.begin(), lines.lines.end(),
                            [line](const auto& each) { return each->line == line; });
    });
}

}  // namespace wrk
