// One thread that takes a set of signals for the whole process, for both the service and --once.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace tessel::service {

// SignalWatcher - while it lives, the signals of its set do not act on the process: they are
// blocked in the constructing thread (so in every thread started after it) and a thread of the
// watcher's own takes each one with sigwaitinfo and hands it to the handler. Ending it wakes that
// thread at once with a signal of its own; nothing polls. Construct it before any other thread
// exists. Throws std::system_error when the thread cannot be started (the mask is then restored).
class SignalWatcher {
public:
    using Handler = std::function<void(const siginfo_t&)>;

    SignalWatcher(const sigset_t& signals, Handler handler);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // WakeSignal - the signal that ends the watcher's wait; part of every watcher's set.
    static int WakeSignal() noexcept;

private:
    void Watch() noexcept;

    sigset_t signals_{};
    Handler handler_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace tessel::service
