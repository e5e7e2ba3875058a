#include "service/service_state.h"

namespace tessel::service {

std::string_view StateName(ServiceState state) noexcept {
    switch (state) {
        case ServiceState::Stopped: return "stopped";
        case ServiceState::StartPending: return "start pending";
        case ServiceState::StopPending: return "stop pending";
        case ServiceState::Running: return "running";
        case ServiceState::ContinuePending: return "continue pending";
        case ServiceState::PausePending: return "pause pending";
        case ServiceState::Paused: return "paused";
    }
    return "unknown";
}

bool IsPending(ServiceState state) noexcept {
    return state == ServiceState::StartPending || state == ServiceState::StopPending ||
           state == ServiceState::ContinuePending || state == ServiceState::PausePending;
}

std::string_view ControlName(ControlCode code) noexcept {
    switch (code) {
        case kControlStop: return "stop";
        case kControlPause: return "pause";
        case kControlContinue: return "continue";
        case kControlInterrogate: return "interrogate";
        case kControlShutdown: return "shutdown";
        default: return {};
    }
}

}  // namespace tessel::service
