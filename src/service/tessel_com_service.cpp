#include "service/tessel_com_service.h"

#include <exception>
#include <optional>
#include <thread>

#include "cycle/record_kinds.h"
#include "service/service_worker.h"
#include "util/event_log.h"

namespace tessel::service {

TesselComService::TesselComService(ServiceHandlers handlers, StatusChannel& channel)
    : handlers_(std::move(handlers)), publisher_(channel) {}

void TesselComService::ControlHandler(ControlCode code) {
    queue_.Push(code);
    if ((code == kControlStop || code == kControlShutdown) && handlers_.InterruptWork) {
        handlers_.InterruptWork();
    }
    if (code == kControlFlush && handlers_.RequestFlush) handlers_.RequestFlush();
    if (code == kControlPause && handlers_.PauseWork) handlers_.PauseWork();
}

void TesselComService::ServiceEntry(Sleeper& sleeper) noexcept {
    publisher_.Publish(ServiceState::StartPending);
    std::optional<std::string> workerError;
    try {
        ServiceWorker worker(*this, sleeper);
        std::thread thread([&worker] { worker.Run(); });
        thread.join();
    } catch (...) {
        workerError = CurrentExceptionText();
    }
    publisher_.Publish(ServiceState::Stopped);
    if (workerError) RecordFailure("execute", *workerError);
}

void TesselComService::RecordFailure(std::string_view what, std::string_view reason) {
    failed_ = true;
    RecordKind kind = what == "start"     ? RecordKind::FailedOnStart
                      : what == "execute" ? RecordKind::FailedOnExecute
                                          : RecordKind::General;
    WriteRecord({Severity::Error, kServiceName,
                 "Service failed on " + std::string(what) + ": " + std::string(reason), MessageIdOf(kind)});
}

void TesselComService::RecordCustomFailure(ControlCode code, std::string_view reason) {
    failed_ = true;
    WriteEventLog(kServiceName, "Service failed in custom message(" + std::to_string(code) +
                                    "): " + std::string(reason));
}

std::string CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace tessel::service
