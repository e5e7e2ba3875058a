// The command line: the installation switches and the program's own options.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "config/file_locations.h"
#include "service/sleeper.h"

namespace tessel::service {

enum class Mode {
    Run,        // the service in the foreground (no switch, or only ignored arguments)
    Install,    // "/install": register the unit
    Uninstall,  // "/uninstall" without "/install": remove it
    Once,       // --once: start-up configuration and exactly one cycle
    Encipher,   // --encipher: password from standard input to its configs.ini text
    Check,      // --check: every step from configs.ini to the mail server's QUIT, sending nothing
    SendTest,   // --send-test=ADDRESS: --check's steps, then one test message to ADDRESS
    Queue,      // --queue: the queued rows and their retry state, read only
    Flush,      // --flush: every row's back-off cleared; a running instance cycles at once
    Help,       // --help
    Version,    // --version
    Invalid,    // an option of ours with a value it cannot take (Error says which)
};

// Bounds of --tick-ms.
inline constexpr long kMinTickMs = 1;
inline constexpr long kMaxTickMs = 3600000;

// Bounds of --timeout, and the default: each wait of --check and --send-test on a peer.
inline constexpr long kMinCheckTimeoutSeconds = 1;
inline constexpr long kMaxCheckTimeoutSeconds = 600;
inline constexpr std::chrono::seconds kDefaultCheckTimeout{30};

// Exit status for a malformed option value (the other statuses have their own meanings).
inline constexpr int kExitUsage = 64;

struct CommandLine {
    Mode Selected = Mode::Run;
    bool Silent = false;
    std::chrono::milliseconds Tick = kDefaultTick;
    config::FileLocations Locations;  // --config, --state-dir: honoured by every mode
    std::string TestAddress;          // --send-test's ADDRESS
    std::chrono::seconds CheckTimeout = kDefaultCheckTimeout;  // --timeout
    std::string Error;  // set with Mode::Invalid
};

// IsSwitch - argument is "-" or "/" followed by word, compared without regard to ASCII case.
bool IsSwitch(std::string_view argument, std::string_view word) noexcept;

// ParseCommandLine - the arguments after the program's name. Precedence: --help, --version, an
// install switch, an uninstall switch, --encipher, --check, --send-test, --queue, --flush, --once,
// run. --config and --state-dir apply to every mode (the last of each wins); without "=" and a
// value they are an error, as is --send-test without an address. Anything else is ignored. Never
// throws.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// HelpText - what --help prints: the options, the switches and the signals.
std::string HelpText();

// VersionText - what --version prints.
std::string VersionText();

}  // namespace tessel::service
