#include "service/once.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <thread>

#include "config/password_cipher.h"

namespace tessel::service {

namespace {

// StopSignals - while it lives, SIGTERM and SIGINT do not end the process: a thread of its own
// takes them and interrupts the work instead.
class StopSignals {
public:
    explicit StopSignals(std::function<void()> interrupt) : interrupt_(std::move(interrupt)) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGINT);
        // Blocked in this thread before any other starts, so in every thread the run makes.
        ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        try {
            watcher_ = std::thread([this] { Watch(); });
        } catch (...) {
            ::pthread_sigmask(SIG_UNBLOCK, &signals_, nullptr);
            throw;
        }
    }
    ~StopSignals() {
        done_.store(true);
        // Woken at once rather than at the end of its slice: the run would otherwise end up to a
        // slice later than its work.
        ::pthread_kill(watcher_.native_handle(), SIGTERM);
        watcher_.join();
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void Watch() noexcept {
        // A short wait in a loop: the thread must also notice that the run is over.
        const timespec slice{0, 100 * 1000 * 1000};
        while (!done_.load()) {
            if (::sigtimedwait(&signals_, nullptr, &slice) > 0 && !done_.load() && interrupt_) interrupt_();
        }
    }

    std::function<void()> interrupt_;
    sigset_t signals_{};
    std::atomic<bool> done_{false};
    std::thread watcher_;
};

}  // namespace

int RunOnce(TesselComService& service, std::ostream& err) noexcept {
    const ServiceHandlers& handlers = service.Handlers();
    std::optional<StopSignals> stopSignals;
    try {
        stopSignals.emplace(handlers.InterruptWork);
    } catch (...) {
        // Without the watcher a signal ends the process as it did before; the run itself goes on.
    }
    try {
        if (!handlers.ServiceStart()) return kExitNormal;
    } catch (...) {
        service.RecordFailure("start", CurrentExceptionText());
        return kExitFailed;
    }
    CycleResult result;
    try {
        result = handlers.RunCycle();
    } catch (...) {
        service.RecordFailure("execute", CurrentExceptionText());
        return kExitFailed;
    }
    if (result == CycleResult::NotConnected) {
        try {
            std::string reason = handlers.LastConnectError ? handlers.LastConnectError() : "";
            err << "tesselcomsvc: the database could not be reached"
                << (reason.empty() ? "" : ": " + reason) << "\n"
                << std::flush;
        } catch (...) {
        }
        return kExitNotConnected;
    }
    return result == CycleResult::Deferred ? kExitDeferred : kExitNormal;
}

std::string EncipherPasswordLine(std::istream& in) {
    std::string line;
    std::getline(in, line, '\n');
    return config::HexEncode(config::EncryptString(line, config::kCipherStartKey));
}

}  // namespace tessel::service
