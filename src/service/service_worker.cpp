#include "service/service_worker.h"

#include "service/tessel_com_service.h"

namespace tessel::service {

void ServiceWorker::Run() noexcept {
    StatusPublisher& publisher = service_.Publisher();
    publisher.Publish(ServiceState::StartPending);
    bool started = true;
    try {
        started = service_.Handlers().ServiceStart();
    } catch (...) {
        service_.RecordFailure("start", CurrentExceptionText());
        return;
    }
    if (!started) return;
    try {
        publisher.Publish(ServiceState::Running);
        ServiceExecute();
        HandleControlRequests();
    } catch (...) {
        service_.RecordFailure("execute", CurrentExceptionText());
    }
}

void ServiceWorker::ServiceExecute() {
    for (;;) {
        if (terminate_) return;
        if (++ticks_ >= kTicksPerCycle) {
            ticks_ = 0;
            service_.Handlers().RunCycle();
        }
        // New work found during the tick: the cycle starts at once.
        if (sleeper_.SleepOrWork()) ticks_ = kTicksPerCycle - 1;
        HandleControlRequests();
    }
}

void ServiceWorker::HandleControlRequests() noexcept {
    ControlQueue& queue = service_.Queue();
    while (auto code = queue.TryPop()) {
        HandleControlRequest(*code);
        // Once the service is ending, a pause must not hold it in a wait no one will end.
        while (paused_ && !terminate_) HandleControlRequest(queue.WaitPop());
    }
}

void ServiceWorker::HandleControlRequest(ControlCode code) noexcept {
    const ServiceState before = service_.Publisher().CurrentState();
    try {
        ApplyControl(code, before);
    } catch (...) {
        std::string reason = CurrentExceptionText();
        if (ControlName(code).empty()) {
            service_.RecordCustomFailure(code, reason);
        } else {
            service_.RecordFailure(ControlName(code), reason);
        }
        if (code == kControlShutdown) {
            // A shutdown cannot be refused.
            terminate_ = true;
            paused_ = false;
        } else {
            if (code == kControlStop) ResumeWork();
            service_.Publisher().Publish(before);
        }
    }
}

void ServiceWorker::ResumeWork() noexcept {
    // The stop that interrupted the cycles did not end the service: the next cycles must work.
    const auto& resume = service_.Handlers().ResumeWork;
    if (resume) resume();
}

void ServiceWorker::ApplyControl(ControlCode code, ServiceState before) {
    StatusPublisher& publisher = service_.Publisher();
    switch (code) {
        case kControlStop: {
            publisher.Publish(ServiceState::StopPending);
            const auto& stop = service_.Handlers().ServiceStop;
            bool stopped = stop ? stop() : true;
            if (stopped) {
                terminate_ = true;
                paused_ = false;
            } else {
                ResumeWork();
            }
            break;
        }
        case kControlPause:
            publisher.Publish(ServiceState::PausePending);
            publisher.Publish(ServiceState::Paused);
            paused_ = true;
            break;
        case kControlContinue:
            publisher.Publish(ServiceState::ContinuePending);
            publisher.Publish(ServiceState::Running);
            paused_ = false;
            if (const auto& resume = service_.Handlers().ContinueWork) resume();
            break;
        case kControlInterrogate:
            publisher.Publish(before);
            break;
        case kControlShutdown:
            publisher.Publish(ServiceState::StopPending);
            terminate_ = true;
            paused_ = false;
            break;
        case kControlFlush:
            // The back-offs are cleared by the cycle itself (RequestFlush): it starts after this tick.
            ticks_ = kTicksPerCycle - 1;
            break;
        default:
            break;  // user-defined: no effect, no report
    }
}

}  // namespace tessel::service
