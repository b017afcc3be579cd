// The bus's own thread: it completes pending requests, runs the radio's
// delayed completions when their driver time has come, and serves IN
// transfers when a radio reports data.
#pragma once

#include <host/kernel.h>
#include <wdm.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <latch>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace usbsim {

class BusWorker final : private wrk::DeferredWorkSource {
public:
    using Task = std::function<void()>;

    BusWorker();
    ~BusWorker();
    BusWorker(const BusWorker &) = delete;
    BusWorker &operator=(const BusWorker &) = delete;

    // Runs the task on the bus thread, after the tasks posted before it.
    void Post(Task task);
    // The completion of a pended request: as Post, but a driver's system
    // thread that goes to wait while it is next in line may run it first,
    // as a processor runs its DPCs before it switches threads.
    void PostCompletion(Task task);
    // Runs the task once `delay` of driver time (100 ns units) has passed.
    void After(LONGLONG delay, Task task);
    // Runs the task in a thread of its own, joined by Stop(): for work that
    // may wait for the bus thread itself.
    void Detach(Task task);

    // Joins the detached threads, runs what is posted and due, drops the
    // timers that are not, and ends the thread. Later posts run at once in
    // the caller's thread.
    void Stop();

    // Waits (real time) until the bus thread sleeps in its wait for work.
    bool WaitUntilAsleep(std::chrono::milliseconds realTimeout) const;
    // How often a post woke the bus thread (its ticks not counted).
    uint64_t WakeUps();

private:
    struct Posted {
        Task task;
        bool completion;  // may run in a waiting system thread
    };

    void Run();
    void Queue(Task task, bool completion);
    void Wake();
    bool RunDeferred() override;
    void JoinDetached();
    static LONGLONG Now();

    std::mutex mutex_;
    std::deque<Posted> ready_;
    std::multimap<LONGLONG, Task> timers_;  // by due driver time
    bool stopping_ = false;
    bool stopped_ = false;
    // Completions left to the threads that posted them since the bus
    // thread last looked, and whether it sleeps on its tick because there
    // were some.
    uint64_t unannounced_ = 0;
    bool ticking_ = false;
    uint64_t wakeUps_ = 0;
    static constexpr double kTickSeconds = 0.001;  // real time
    // Tasks run in order: the bus thread starts on a batch only once the
    // completions other threads took before it have ended, and they take
    // none while it runs one.
    bool running_ = false;
    int runningElsewhere_ = 0;
    std::condition_variable elsewhereDone_;
    KEVENT wake_;  // a kernel wait, so that time-outs run on driver time
    std::vector<std::thread> detached_;
    std::latch started_{1};
    PKTHREAD threadRecord_ = nullptr;  // the bus thread's, set before started_
    std::thread thread_;
};

}  // namespace usbsim
