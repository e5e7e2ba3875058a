// A stop request that any thread can raise and that a blocked poll notices at once.
#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <mutex>

namespace tessel {

// StopSignal - raised once by the thread that receives the stop (the dispatcher, or the signal
// thread of --once), read by the worker at message boundaries and by poll through Fd(), which
// stays readable while the signal is raised. Throws PlatformError when the eventfd cannot be made.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Request - raises the signal; repeated requests change nothing. Never throws.
    void Request() noexcept;
    // Clear - lowers it again (a stop that did not end the service). Never throws.
    void Clear() noexcept;
    bool Requested() const noexcept { return requested_.load(std::memory_order_acquire); }
    // Fd - readable exactly while the signal is raised.
    int Fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
    std::mutex mutex_;  // keeps the flag and the eventfd's counter in step
    std::atomic<bool> requested_{false};
};

// WaitForSignals - waits until deadline, or less when one of signals (a null one is ignored) is or
// gets raised; true in that case. Throws PlatformError when the wait itself fails.
bool WaitForSignals(std::chrono::steady_clock::time_point deadline,
                    std::initializer_list<const StopSignal*> signals);

}  // namespace tessel
