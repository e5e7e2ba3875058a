#include "service/once.h"

#include <signal.h>

#include <istream>
#include <optional>
#include <ostream>

#include "config/password_cipher.h"
#include "service/instance_file.h"
#include "service/signal_watcher.h"

namespace tessel::service {

namespace {

// RunSignals - SIGTERM and SIGINT: while the run lasts they interrupt the work instead of ending
// the process; and the flush request of --flush.
sigset_t RunSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, FlushSignal());
    return signals;
}

}  // namespace

int RunOnce(TesselComService& service, std::ostream& err) noexcept {
    const ServiceHandlers& handlers = service.Handlers();
    std::optional<SignalWatcher> stopSignals;
    try {
        stopSignals.emplace(RunSignals(), [&handlers](const siginfo_t& info) {
            if (info.si_signo == FlushSignal()) {
                if (handlers.RequestFlush) handlers.RequestFlush();
            } else if (handlers.InterruptWork) {
                handlers.InterruptWork();
            }
        });
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
