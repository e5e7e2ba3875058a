// The service object: the handlers, the status memory, the worker's control queue, and the entry
// routine that runs one worker from the first start-pending report to the stopped report.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "service/control_queue.h"
#include "service/service_handlers.h"
#include "service/sleeper.h"
#include "service/status_publisher.h"

namespace tessel::service {

// Exit statuses of the process.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitFailed = 1;  // after a "Service failed ..." record

class TesselComService {
public:
    TesselComService(ServiceHandlers handlers, StatusChannel& channel);

    // ControlHandler - queues code for the worker and wakes a paused worker; a stop or shutdown also
    // interrupts the work in progress (InterruptWork), and a pause ends it at a message boundary
    // (PauseWork), since the worker reads the queue only between cycles; a flush is noted at once
    // (RequestFlush). Changes no state. Safe from any thread. Codes that arrive before the worker exists
    // wait in the queue.
    void ControlHandler(ControlCode code);

    // ServiceEntry - reports start pending, runs a ServiceWorker on a thread of its own with the
    // given tick, waits for it and reports stopped. Never throws.
    void ServiceEntry(Sleeper& sleeper) noexcept;

    // RecordFailure - writes "Service failed on <what>: <reason>" (service source) and marks the
    // run as failed.
    void RecordFailure(std::string_view what, std::string_view reason);
    // RecordCustomFailure - "Service failed in custom message(<code>): <reason>", same rules.
    void RecordCustomFailure(ControlCode code, std::string_view reason);

    // ExitStatus - kExitFailed once any failure was recorded, else kExitNormal.
    int ExitStatus() const noexcept { return failed_ ? kExitFailed : kExitNormal; }

    const ServiceHandlers& Handlers() const noexcept { return handlers_; }
    StatusPublisher& Publisher() noexcept { return publisher_; }
    ControlQueue& Queue() noexcept { return queue_; }

private:
    ServiceHandlers handlers_;
    StatusPublisher publisher_;
    ControlQueue queue_;
    std::atomic<bool> failed_{false};
};

// CurrentExceptionText - the text of the exception being handled; call only inside a catch.
std::string CurrentExceptionText();

}  // namespace tessel::service
