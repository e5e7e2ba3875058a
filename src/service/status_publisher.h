// PublishStatus and the status memory: the current state, the state last reported, the checkpoint.
#pragma once

#include <cstdint>

#include "service/service_state.h"
#include "service/status_report.h"

namespace tessel::service {

// Reports come from one thread at a time (the entry thread before and after the worker, the
// worker in between), so the memory needs no lock.
class StatusPublisher {
public:
    explicit StatusPublisher(StatusChannel& channel) : channel_(channel) {}

    // Publish - sets the current state and sends one report. The checkpoint rises by one when a
    // pending state repeats the state last reported, else it is 0. A failed send writes the
    // system's text to the event log (service source); the new state stays set. Never throws.
    void Publish(ServiceState state) noexcept;

    // CurrentState - the state last published (stopped before the first report).
    ServiceState CurrentState() const noexcept { return current_; }

private:
    StatusChannel& channel_;
    ServiceState current_ = ServiceState::Stopped;
    ServiceState lastReported_ = ServiceState::StartPending;
    std::uint32_t checkpoint_ = 0;
};

}  // namespace tessel::service
