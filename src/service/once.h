// The --once mode and the --encipher helper.
#pragma once

#include <iosfwd>
#include <string>

#include "service/tessel_com_service.h"

namespace tessel::service {

// Exit status of --once when the database could not be reached.
inline constexpr int kExitNotConnected = 2;
// Exit status of --once when the drain deferred: the mail server could not be used, mail waits.
inline constexpr int kExitDeferred = 3;

// RunOnce - ServiceStart, then exactly one RunCycle; no poll loop and no status reports. SIGTERM
// and SIGINT during the run are a stop request (InterruptWork): the drain ends at the next message
// boundary and the run ends as usual; FlushSignal is a flush request (RequestFlush). Returns 0 when the cycle completed (or was stopped) or was
// held; 3 when the drain deferred; 2 with one line on err when the database could not be reached;
// 1 after a "Service failed on start/execute" record. Call before any other thread exists (the
// signals are blocked in it). Never throws.
int RunOnce(TesselComService& service, std::ostream& err) noexcept;

// EncipherPasswordLine - reads one line from in (up to LF, which is dropped; every other byte is
// part of the password) and returns the hexadecimal text to store under Password.
std::string EncipherPasswordLine(std::istream& in);

}  // namespace tessel::service
