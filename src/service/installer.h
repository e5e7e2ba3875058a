// Registration of the service as a systemd unit, and its removal.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "config/file_locations.h"

namespace tessel::service {

inline constexpr const char* kUnitFileName = "TesselComService.service";
inline constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";
// Present while systemd is the running service manager.
inline constexpr const char* kSystemdRunDirectory = "/run/systemd/system";

struct RegistrationTarget {
    std::string UnitDirectory;   // where the unit file goes
    std::string ExecutablePath;  // the program the unit starts
    bool ManageSystemd = false;  // also daemon-reload and enable/disable
    std::vector<std::string> ServiceArguments = {};  // the program's options on ExecStart
};

// CommandRunner - runs a program (argv[0] looked up on PATH) and returns its exit status.
// Throws PlatformError when it cannot be started.
using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;

// QuoteExecPath - path as one double-quoted ExecStart word: backslash and double quote escaped
// with a backslash, control bytes as \xNN, "%" as "%%" (a specifier otherwise). "$" is kept:
// the program's path is never subject to variable expansion.
std::string QuoteExecPath(std::string_view path);

// QuoteExecArgument - argument as one double-quoted ExecStart word: as QuoteExecPath, and "$"
// as "$$" (arguments go through variable expansion).
std::string QuoteExecArgument(std::string_view argument);

// UnitFileText - the whole unit file for the executable at path, started with arguments.
std::string UnitFileText(std::string_view executablePath,
                         const std::vector<std::string>& arguments = {});

// ServiceArguments - the options that give the service the places named at installation, made
// absolute (the service manager starts the service in "/").
std::vector<std::string> ServiceArguments(const config::FileLocations& locations);

// DefaultRegistrationTarget - $TESSELCOM_UNIT_DIR or the default directory, this executable,
// and systemd managed only for the default directory while systemd runs. Throws PlatformError.
RegistrationTarget DefaultRegistrationTarget();

// RunCommand - the real CommandRunner: spawns argv with the default signal mask and waits.
int RunCommand(const std::vector<std::string>& argv);

// ApplyRegistration - installs or removes the unit. Success: "Service installed successfully" or
// "Service uninstalled successfully" on out unless silent; returns 0. A failure of the step
// itself (already registered, not registered, an executable path that systemd refuses, a write
// or systemctl failure): the failure message
// on err, nothing changed, returns 1. Throws PlatformError, before any message, when the unit
// directory does not exist or is not writable.
int ApplyRegistration(bool install, bool silent, const RegistrationTarget& target,
                      std::ostream& out, std::ostream& err, const CommandRunner& run);

// ApplyRegistration - the same for this executable, its default target with the places named on
// its command line, standard output/error.
int ApplyRegistration(bool install, bool silent, const config::FileLocations& locations);

}  // namespace tessel::service
