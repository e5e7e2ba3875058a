#include "service/dispatcher.h"

#include <string>
#include <thread>

#include "service/instance_file.h"
#include "service/signal_watcher.h"
#include "util/error.h"
#include "util/event_log.h"

namespace tessel::service {
namespace {

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) sigaddset(&set, signal);
    sigaddset(&set, SIGRTMIN);
    sigaddset(&set, FlushSignal());
    return set;
}

// Dispatch - the service entry thread runs the service while the watcher's thread, the dispatcher,
// hands every control signal to ControlHandler; the watcher ends once stopped has been reported.
void Dispatch(TesselComService& service, Sleeper& sleeper) {
    SignalWatcher dispatcher(ControlSignals(), [&service](const siginfo_t& info) {
        if (auto code = ControlCodeForSignal(info)) service.ControlHandler(*code);
    });
    std::thread entry([&] { service.ServiceEntry(sleeper); });
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
    if (info.si_signo == FlushSignal()) return kControlFlush;
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
        Dispatch(service, sleeper);
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
