#include "service/command_line.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "util/ascii.h"
#include "util/parse_integer.h"

#ifndef TESSEL_VERSION
#define TESSEL_VERSION "0"
#endif

namespace tessel::service {
namespace {

constexpr std::string_view kTickOption = "--tick-ms=";

// The options that name a place; each needs its value after "=".
struct PathOption {
    std::string_view Name;
    std::string_view Takes;
    std::optional<std::string> config::FileLocations::*Field;
};
constexpr PathOption kPathOptions[] = {
    {"--config", "the path of a configs.ini file: --config=PATH",
     &config::FileLocations::ConfigFile},
    {"--state-dir", "the path of a directory: --state-dir=DIR",
     &config::FileLocations::StateDirectory},
};

// ParsePathOption - true when argument is one of the path options (alone, or with "=" and a value).
// A missing or empty value sets error: a path given as a separate argument would otherwise be
// ignored without a word.
bool ParsePathOption(std::string_view argument, config::FileLocations& locations,
                     std::string& error) {
    for (const PathOption& option : kPathOptions) {
        if (!argument.starts_with(option.Name)) continue;
        std::string_view rest = argument.substr(option.Name.size());
        if (!rest.empty() && rest.front() != '=') continue;
        if (rest.size() <= 1) {
            error = std::string(option.Name) + " takes " + std::string(option.Takes);
        } else {
            locations.*option.Field = std::string(rest.substr(1));
        }
        return true;
    }
    return false;
}

}  // namespace

bool IsSwitch(std::string_view argument, std::string_view word) noexcept {
    return argument.size() > 1 && (argument[0] == '-' || argument[0] == '/') &&
           EqualsNoCase(argument.substr(1), word);
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    bool install = false, uninstall = false, once = false, encipher = false;
    bool help = false, version = false;
    CommandLine result;
    for (const std::string& argument : arguments) {
        if (IsSwitch(argument, "INSTALL")) install = true;
        else if (IsSwitch(argument, "UNINSTALL")) uninstall = true;
        else if (IsSwitch(argument, "SILENT")) result.Silent = true;
        else if (argument == "--once") once = true;
        else if (argument == "--encipher") encipher = true;
        else if (argument == "--help") help = true;
        else if (argument == "--version") version = true;
        else if (ParsePathOption(argument, result.Locations, result.Error)) continue;
        else if (argument.starts_with(kTickOption)) {
            std::string_view value = std::string_view(argument).substr(kTickOption.size());
            // Plain decimal digits only: no sign, blank or hexadecimal form.
            bool digits = !value.empty() && value.find_first_not_of("0123456789") == value.npos;
            auto ms = digits ? TryParseInteger(value) : std::nullopt;
            if (!ms || *ms < kMinTickMs || *ms > kMaxTickMs) {
                result.Error = "--tick-ms takes a whole number of milliseconds from " +
                               std::to_string(kMinTickMs) + " to " + std::to_string(kMaxTickMs) +
                               ", not '" + std::string(value) + "'";
            } else {
                result.Tick = std::chrono::milliseconds(*ms);
            }
        }
    }
    if (help) result.Selected = Mode::Help;
    else if (version) result.Selected = Mode::Version;
    else if (!result.Error.empty()) result.Selected = Mode::Invalid;
    else if (install) result.Selected = Mode::Install;
    else if (uninstall) result.Selected = Mode::Uninstall;
    else if (encipher) result.Selected = Mode::Encipher;
    else if (once) result.Selected = Mode::Once;
    return result;
}

std::string HelpText() {
    return
        "Usage: tesselcomsvc [switch...] [option...]\n"
        "\n"
        "Tessel Com Service: every 30 ticks it reads the SMTP settings from the database named\n"
        "in configs.ini (next to the executable), queues the alarms that fall due and sends the\n"
        "queued mail. Without a switch it runs as the service in the foreground (systemd\n"
        "Type=notify); it reports each change of state to $NOTIFY_SOCKET when that is set.\n"
        "\n"
        "Switches (\"-\" or \"/\" followed by the word, any letter case, any position):\n"
        "  /install     register the systemd unit TesselComService.service (in\n"
        "               $TESSELCOM_UNIT_DIR, else /etc/systemd/system) and enable it\n"
        "  /uninstall   disable and remove that unit (/install wins when both are given)\n"
        "  /silent      with /install or /uninstall: no message on success\n"
        "\n"
        "Options:\n"
        "  --once        read configs.ini, run exactly one cycle, exit: 0 done, held or\n"
        "                standby (another instance works on the database),\n"
        "                2 database unreachable, 1 failed (see the event log), 3 the mail\n"
        "                server could not be used (mail is waiting)\n"
        "  --tick-ms=N   length of one poll-loop tick in milliseconds (default 1000)\n"
        "  --config=PATH the configs.ini to read (default: the one next to the executable)\n"
        "  --state-dir=DIR\n"
        "                the directory that holds attachments/ and the retry state file\n"
        "                retry-state (default: the executable's directory);\n"
        "                /install writes both options into the unit's command line\n"
        "  --encipher    read one password line from standard input and print the text to\n"
        "                put under Password in configs.ini\n"
        "  --help        this text\n"
        "  --version     the program's version\n"
        "Any other argument is ignored.\n"
        "\n"
        "Control signals while running:\n"
        "  SIGTERM, SIGINT  stop           SIGUSR1  pause       SIGUSR2  continue\n"
        "  SIGHUP           interrogate    SIGPWR   shutdown\n"
        "  SIGRTMIN sent with sigqueue: the control code in its value (128-255 user-defined)\n"
        "\n"
        "Exit status: 0 normal stop; 1 after a \"Service failed ...\" record or a failed\n"
        "installation; 2 database unreachable (--once); 3 mail server unusable (--once);\n"
        "64 malformed option value.\n";
}

std::string VersionText() { return std::string("tesselcomsvc ") + TESSEL_VERSION + "\n"; }

}  // namespace tessel::service
