#include "service/dispatcher.h"

#include <pthread.h>

#include <atomic>
#include <string>
#include <cerrno>
#include <thread>

#include "util/error.h"
#include "util/event_log.h"

namespace tessel::service {
namespace {

// Records under the application source; never throws, even when the executable's path is gone.
void WriteApplicationRecord(const std::string& text) noexcept {
    try {
        WriteEventLog(ApplicationSource(), text);
    } catch (...) {
        WriteEventLog("tesselcomsvc", text);
    }
}

// Sent by the service entry thread to its dispatcher once stopped has been reported.
int WakeSignal() { return SIGRTMIN + 1; }

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) sigaddset(&set, signal);
    sigaddset(&set, SIGRTMIN);
    sigaddset(&set, WakeSignal());
    return set;
}

// The dispatcher thread's body: starts the service entry thread and hands every control signal
// to ControlHandler until the entry thread has reported stopped.
void Dispatch(TesselComService& service, Sleeper& sleeper) {
    const sigset_t signals = ControlSignals();
    const pthread_t dispatcher = ::pthread_self();
    std::atomic<bool> stopped{false};
    std::thread entry([&] {
        service.ServiceEntry(sleeper);
        stopped = true;
        ::pthread_kill(dispatcher, WakeSignal());
    });
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&signals, &info) < 0) {
            if (errno == EINTR) continue;
            WriteApplicationRecord(SystemText(errno));
            break;
        }
        if (info.si_signo == WakeSignal()) {
            if (stopped) break;
            continue;
        }
        if (auto code = ControlCodeForSignal(info)) service.ControlHandler(*code);
    }
    entry.join();
}

}  // namespace

std::optional<ControlCode> ControlCodeForSignal(const siginfo_t& info) noexcept {
    switch (info.si_signo) {
        case SIGTERM:
        case SIGINT: return kControlStop;
        case SIGUSR1: return kControlPause;
        case SIGUSR2: return kControlContinue;
        case SIGHUP: return kControlInterrogate;
        case SIGPWR: return kControlShutdown;
        default: break;
    }
    if (info.si_signo == SIGRTMIN && info.si_code == SI_QUEUE) {
        return static_cast<ControlCode>(info.si_value.sival_int);
    }
    return std::nullopt;
}

int BlockControlSignals() noexcept {
    const sigset_t signals = ControlSignals();
    return ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int RunServiceProcess(TesselComService& service, Sleeper& sleeper) noexcept {
    int error = BlockControlSignals();
    if (error != 0) {
        WriteApplicationRecord(SystemText(error));
        return kExitFailed;
    }
    std::string threadError;
    try {
        std::thread dispatcher([&] {
            try {
                Dispatch(service, sleeper);
            } catch (...) {
                threadError = CurrentExceptionText();
            }
        });
        dispatcher.join();
    } catch (...) {
        threadError = CurrentExceptionText();
    }
    if (!threadError.empty()) {
        // A thread could not be started: the service never ran.
        WriteApplicationRecord(threadError);
        return kExitFailed;
    }
    return service.ExitStatus();
}

}  // namespace tessel::service
