// One status report to the service manager and the channel that carries it.
#pragma once

#include <cstdint>
#include <string>

#include "service/service_state.h"

namespace tessel::service {

// Fixed fields of every report.
inline constexpr std::uint32_t kServiceTypeOwnProcess = 0x10;
inline constexpr std::uint32_t kWaitHintMs = 5000;
// Stop, pause/continue and shutdown.
inline constexpr std::uint32_t kControlsAcceptedAll = 7;
// How far each pending report moves the service manager's start/stop deadline.
inline constexpr std::uint64_t kExtendTimeoutUsec = 5000000;

struct StatusReport {
    ServiceState State = ServiceState::StartPending;
    std::uint32_t ControlsAccepted = 0;
    std::uint32_t Checkpoint = 0;
};

// MakeStatusReport - the report for state with the given checkpoint: no controls are accepted
// while start pending, all others in every other state.
StatusReport MakeStatusReport(ServiceState state, std::uint32_t checkpoint) noexcept;

// ComposeNotifyDatagram - the report as sd_notify assignments, one per line, each ending in LF.
std::string ComposeNotifyDatagram(const StatusReport& report);

// StatusChannel - where reports go. Send throws PlatformError when the report cannot be sent.
class StatusChannel {
public:
    virtual ~StatusChannel() = default;
    virtual void Send(const StatusReport& report) = 0;
};

}  // namespace tessel::service
