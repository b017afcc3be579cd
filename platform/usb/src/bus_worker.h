// The bus's own thread: it completes pending requests, runs the radio's
// delayed completions when their driver time has come, and serves IN
// transfers when a radio reports data.
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace usbsim {

class BusWorker {
public:
    using Task = std::function<void()>;

    BusWorker();
    ~BusWorker();
    BusWorker(const BusWorker &) = delete;
    BusWorker &operator=(const BusWorker &) = delete;

    // Runs the task on the bus thread, after the tasks posted before it.
    void Post(Task task);
    // Runs the task once `delay` of driver time (100 ns units) has passed.
    void After(LONGLONG delay, Task task);
    // Runs the task in a thread of its own, joined by Stop(): for work that
    // may wait for the bus thread itself.
    void Detach(Task task);

    // Joins the detached threads, runs what is posted and due, drops the
    // timers that are not, and ends the thread. Later posts run at once in
    // the caller's thread.
    void Stop();

private:
    void Run();
    void JoinDetached();
    static LONGLONG Now();

    std::mutex mutex_;
    std::vector<Task> ready_;
    std::multimap<LONGLONG, Task> timers_;  // by due driver time
    bool stopping_ = false;
    bool stopped_ = false;
    KEVENT wake_;  // a kernel wait, so that time-outs run on driver time
    std::vector<std::thread> detached_;
    std::thread thread_;
};

}  // namespace usbsim
