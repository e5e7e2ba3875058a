#include "service/status_report.h"

namespace tessel::service {

StatusReport MakeStatusReport(ServiceState state, std::uint32_t checkpoint) noexcept {
    StatusReport report;
    report.State = state;
    report.ControlsAccepted = state == ServiceState::StartPending ? 0 : kControlsAcceptedAll;
    report.Checkpoint = checkpoint;
    return report;
}

std::string ComposeNotifyDatagram(const StatusReport& report) {
    const std::string checkpoint = std::to_string(report.Checkpoint);
    std::string text;
    text += "STATUS=" + std::string(StateName(report.State)) + " (checkpoint " + checkpoint + ")\n";
    text += "X_SERVICE_TYPE=" + std::to_string(kServiceTypeOwnProcess) + "\n";
    text += "X_CURRENT_STATE=" + std::to_string(static_cast<std::uint32_t>(report.State)) + "\n";
    text += "X_CONTROLS_ACCEPTED=" + std::to_string(report.ControlsAccepted) + "\n";
    text += "X_EXIT_CODE=0\n";
    text += "X_SERVICE_EXIT_CODE=0\n";
    text += "X_CHECKPOINT=" + checkpoint + "\n";
    text += "X_WAIT_HINT=" + std::to_string(kWaitHintMs) + "\n";
    if (report.State == ServiceState::Running) text += "READY=1\n";
    if (report.State == ServiceState::StopPending) text += "STOPPING=1\n";
    if (IsPending(report.State)) {
        text += "EXTEND_TIMEOUT_USEC=" + std::to_string(kExtendTimeoutUsec) + "\n";
    }
    return text;
}

}  // namespace tessel::service
