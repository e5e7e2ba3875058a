// ServiceWorker: the thread that runs ServiceStart, the poll loop, every cycle and all control
// handling, and sends every status report between the first start pending and stopped.
#pragma once

#include "service/service_state.h"
#include "service/sleeper.h"

namespace tessel::service {

class TesselComService;

// A cycle runs on every this many ticks.
inline constexpr int kTicksPerCycle = 30;

class ServiceWorker {
public:
    ServiceWorker(TesselComService& service, Sleeper& sleeper)
        : service_(service), sleeper_(sleeper) {}

    // Run - the worker's body: start pending again, ServiceStart, running, the poll loop, the
    // requests of the last tick. Failures are recorded, never thrown.
    void Run() noexcept;

    // ServiceExecute - the poll loop; returns once a stop or shutdown set the terminate flag.
    // Throws whatever RunCycle throws.
    void ServiceExecute();

    // HandleControlRequests - handles every queued request in order of arrival, including the
    // paused wait that a pause request begins. Never throws.
    void HandleControlRequests() noexcept;

private:
    void HandleControlRequest(ControlCode code) noexcept;
    void ApplyControl(ControlCode code, ServiceState before);
    void ResumeWork() noexcept;

    TesselComService& service_;
    Sleeper& sleeper_;
    bool terminate_ = false;  // once set it stays set
    bool paused_ = false;
    int ticks_ = 0;           // keeps its value across a pause
};

}  // namespace tessel::service
