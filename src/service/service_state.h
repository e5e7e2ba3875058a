// The service's identity, its states and the control codes it answers.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessel::service {

// Identity towards the service manager; also the event-log source of the service's records.
inline constexpr const char* kServiceName = "TesselComService";
inline constexpr const char* kDisplayName = "Tessel Com Service";

// The seven states with the values the status reports carry.
enum class ServiceState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

// Control codes; 128 to 255 are the user-defined range, which the service ignores.
using ControlCode = std::uint32_t;
inline constexpr ControlCode kControlStop = 1;
inline constexpr ControlCode kControlPause = 2;
inline constexpr ControlCode kControlContinue = 3;
inline constexpr ControlCode kControlInterrogate = 4;
inline constexpr ControlCode kControlShutdown = 5;
// The service's own code for --flush (every back-off cleared, and a cycle at once), above the
// user-defined range so that no code a client may send today changes its meaning.
inline constexpr ControlCode kControlFlush = 256;

// StateName - the state as the status line names it ("start pending", "running", ...).
std::string_view StateName(ServiceState state) noexcept;

// IsPending - true for the four pending states.
bool IsPending(ServiceState state) noexcept;

// ControlName - "stop", "pause", "continue", "interrogate" or "shutdown" for codes 1 to 5;
// empty for any other code.
std::string_view ControlName(ControlCode code) noexcept;

}  // namespace tessel::service
