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
constexpr std::string_view kTimeoutOption = "--timeout=";
constexpr std::string_view kSendTestOption = "--send-test";

// NumberOption - an option that takes a whole number within bounds after its "=".
struct NumberOption {
    std::string_view Prefix;  // the name with its "="
    std::string_view Unit;
    long Low;
    long High;
};

// ParseNumberOption - the value when argument is option with plain decimal digits (no sign, blank or
// hexadecimal form) within its bounds; nothing otherwise, with error set when argument is the option
// with an unusable value.
std::optional<long> ParseNumberOption(std::string_view argument, const NumberOption& option, std::string& error) {
    if (!argument.starts_with(option.Prefix)) return std::nullopt;
    std::string_view value = argument.substr(option.Prefix.size());
    bool digits = !value.empty() && value.find_first_not_of("0123456789") == value.npos;
    auto number = digits ? TryParseInteger(value) : std::nullopt;
    if (number && *number >= option.Low && *number <= option.High) return *number;
    error = std::string(option.Prefix.substr(0, option.Prefix.size() - 1)) + " takes a whole number of " +
            std::string(option.Unit) + " from " + std::to_string(option.Low) + " to " + std::to_string(option.High) +
            ", not '" + std::string(value) + "'";
    return std::nullopt;
}

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
    bool help = false, version = false, check = false, sendTest = false, queue = false, flush = false;
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
        else if (argument == "--check") check = true;
        else if (argument == "--queue") queue = true;
        else if (argument == "--flush") flush = true;
        else if (argument == kSendTestOption || argument.starts_with(std::string(kSendTestOption) + "=")) {
            sendTest = true;
            result.TestAddress = argument.size() > kSendTestOption.size() ? argument.substr(kSendTestOption.size() + 1) : "";
            if (result.TestAddress.empty()) result.Error = "--send-test takes the address to send to: --send-test=ADDRESS";
        } else if (auto seconds = ParseNumberOption(argument, {kTimeoutOption, "seconds", kMinCheckTimeoutSeconds,
                                                               kMaxCheckTimeoutSeconds}, result.Error)) {
            result.CheckTimeout = std::chrono::seconds(*seconds);
        } else if (auto ms = ParseNumberOption(argument, {kTickOption, "milliseconds", kMinTickMs, kMaxTickMs},
                                               result.Error)) {
            result.Tick = std::chrono::milliseconds(*ms);
        }
    }
    if (help) result.Selected = Mode::Help;
    else if (version) result.Selected = Mode::Version;
    else if (!result.Error.empty()) result.Selected = Mode::Invalid;
    else if (install) result.Selected = Mode::Install;
    else if (uninstall) result.Selected = Mode::Uninstall;
    else if (encipher) result.Selected = Mode::Encipher;
    else if (check) result.Selected = Mode::Check;
    else if (sendTest) result.Selected = Mode::SendTest;
    else if (queue) result.Selected = Mode::Queue;
    else if (flush) result.Selected = Mode::Flush;
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
        "  --check       read configs.ini, connect to the database, read the settings, fetch\n"
        "                a token (XOAUTH2), connect to the mail server, TLS, EHLO, AUTH, QUIT;\n"
        "                one line per step, and for a failure the reason and the setting to\n"
        "                look at; sends nothing: 0 every step passed, 1 configs.ini unusable,\n"
        "                2 database unreachable, 3 settings or mail server not usable\n"
        "  --send-test=ADDRESS\n"
        "                the steps of --check, then one short test message to ADDRESS; prints\n"
        "                the reply to the final \".\" and the Message-ID; the queue is not\n"
        "                touched; exit statuses as --check (3 also: the message was refused)\n"
        "  --timeout=N   with --check and --send-test: seconds each wait on the mail server\n"
        "                or the token endpoint may last (default 30)\n"
        "  --queue       list the queued mail with its retry state (attempts, last reply,\n"
        "                next attempt, give-up time) and a summary; reads only: 0 listed,\n"
        "                1 configs.ini unusable, 2 database unreachable or unreadable\n"
        "  --flush       clear every row's back-off: a running instance (of the same state\n"
        "                directory) clears its own and starts a cycle at once; without one,\n"
        "                the retry state file is rewritten: 0 done, 1 failed\n"
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
        "  SIGRTMIN+2       clear every back-off and start a cycle (what --flush sends)\n"
        "\n"
        "Exit status: 0 normal stop; 1 after a \"Service failed ...\" record or a failed\n"
        "installation; 2 database unreachable (--once); 3 mail server unusable (--once);\n"
        "64 malformed option value; --check, --send-test, --queue, --flush: see above.\n";
}

std::string VersionText() { return std::string("tesselcomsvc ") + TESSEL_VERSION + "\n"; }

}  // namespace tessel::service
