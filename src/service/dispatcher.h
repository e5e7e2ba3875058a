// The process in run mode: the dispatcher thread turns signals into control requests, the service
// entry thread runs the service, the main thread waits for both.
#pragma once

#include <signal.h>

#include <optional>

#include "service/service_state.h"
#include "service/sleeper.h"
#include "service/tessel_com_service.h"

namespace tessel::service {

// ControlCodeForSignal - the control code a received signal carries: SIGTERM and SIGINT stop,
// SIGUSR1 pause, SIGUSR2 continue, SIGHUP interrogate, SIGPWR shutdown, FlushSignal flush, and
// SIGRTMIN sent with sigqueue the code in its value. Nothing for any other signal, or for SIGRTMIN
// without a value.
std::optional<ControlCode> ControlCodeForSignal(const siginfo_t& info) noexcept;

// BlockControlSignals - blocks the control signals in the calling thread, so that from now on they
// wait for the dispatcher instead of ending the process. Returns 0 or the error number.
int BlockControlSignals() noexcept;

// RunServiceProcess - blocks the control signals in the calling thread (so in every thread it
// starts), runs the dispatcher and service entry threads until the stopped report, and returns
// the process's exit status. Call before any other thread exists. Never throws.
int RunServiceProcess(TesselComService& service, Sleeper& sleeper) noexcept;

}  // namespace tessel::service
