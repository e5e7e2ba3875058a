// --check and --send-test: the service's path from configs.ini to the mail server, step by step,
// for an operator setting it up.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

#include "config/file_locations.h"

namespace tessel::service {

// Exit statuses of --check and --send-test beside 0 (every step passed); those of --once where
// they mean the same.
inline constexpr int kExitCheckConfigFile = 1;  // configs.ini cannot be used
inline constexpr int kExitCheckDatabase = 2;    // the database cannot be reached
inline constexpr int kExitCheckMailServer = 3;  // the settings or the mail server cannot be used

struct CheckOptions {
    std::chrono::seconds Timeout;  // each wait on the mail server or the token endpoint
    std::string TestAddress;       // set: --send-test to this address after AUTH
};

// RunCheck - reads configs.ini, connects to the database, reads the settings (also while the hold
// switch is on), fetches a token when XOAUTH2 is used, then opens a session with the mail server
// through the client the drain uses (connect, TLS with the configured checks, greeting, EHLO, AUTH),
// sends the test message when options ask for one, and ends with QUIT. One line per step on out:
// its name, its result and what it found; for a failure the reason and the setting to look at, and
// the later steps are not tried. No password, secret or token is printed. The queue is not read or
// changed. Returns 0 when every step passed, else the status of the failed step. Never throws.
int RunCheck(const config::FileLocations& locations, const CheckOptions& options, std::ostream& out) noexcept;

}  // namespace tessel::service
