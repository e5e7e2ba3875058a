#include "service/installer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cycle/attachment.h"
#include "service/service_state.h"
#include "service/unit_sandbox.h"
#include "util/unique_fd.h"
#include "util/error.h"
#include "util/exe_path.h"
#include "util/ascii.h"

extern char** environ;

namespace tessel::service {
namespace {

constexpr mode_t kUnitFileMode = 0644;

// The "service manager": the unit directory, open for as long as the registration runs.
UniqueFd OpenUnitDirectory(const std::string& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throw PlatformError(errno);
    if (::faccessat(fd.Get(), ".", W_OK, AT_EACCESS) != 0) throw PlatformError(errno);
    return fd;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw PlatformError(errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

void RunSystemctl(const CommandRunner& run, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "systemctl");
    int status = run(arguments);
    if (status != 0) {
        std::string command;
        for (const auto& argument : arguments) command += (command.empty() ? "" : " ") + argument;
        throw Error(command + " exited with status " + std::to_string(status));
    }
}

// systemd refuses a program path holding a quotation mark, a backslash or a control byte,
// however it is quoted; such a unit would never start.
bool SystemdAcceptsPath(std::string_view path) {
    for (char c : path) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '\\') return false;
    }
    return true;
}

// ExecutableDirectoryOf - the directory part of a program's path, without a trailing slash ("/"
// for a program in the root).
std::string ExecutableDirectoryOf(std::string_view executablePath) {
    std::string_view::size_type slash = executablePath.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(executablePath.substr(0, slash));
}

// StateDirectoryOf - where the service will write: the --state-dir among its arguments, else the
// executable's directory.
std::string StateDirectoryOf(std::string_view executablePath, const std::vector<std::string>& arguments) {
    constexpr std::string_view kStateOption = "--state-dir=";
    for (const std::string& argument : arguments) {
        if (argument.starts_with(kStateOption)) return argument.substr(kStateOption.size());
    }
    return ExecutableDirectoryOf(executablePath);
}

// Sandbox - the directives, with the state directory the one writable place. The sandbox keeps
// "runs as root, writes only its own directory": holding no capabilities, the service can write
// only where root owns the directory (or its mode lets anyone write).
std::string Sandbox(const std::string& stateDirectory) {
    constexpr std::string_view kStatePlace = "@STATE_DIRECTORY@";
    std::string sandbox(kUnitSandbox);
    sandbox.replace(sandbox.find(kStatePlace), kStatePlace.size(), QuoteExecPath(stateDirectory));
    return sandbox;
}

// PrepareStateDirectory - attachments/ in the state directory, made now (mode 0700, root's)
// because the sandboxed service may be unable to make it; notes on err what the service will not
// be able to do there.
void PrepareStateDirectory(const RegistrationTarget& target, std::ostream& err) {
    const std::string directory = StateDirectoryOf(target.ExecutablePath, target.ServiceArguments);
    cycle::AttachmentDirectory attachments(directory + (directory == "/" ? "" : "/") + "attachments/");
    if (!attachments.Usable()) {
        err << "Note: " << attachments.Problem()
            << "; the service will keep the queued mail with attachments until it is fixed\n";
    }
    struct stat info{};
    // The unit runs the service as the user who installs it (root).
    if (::stat(directory.c_str(), &info) == 0 && info.st_uid != ::geteuid()) {
        err << "Note: \"" << directory << "\" belongs to user " << info.st_uid
            << ", not to the service's user " << ::geteuid()
            << ": holding no capabilities, the service can write there only in attachments/, and "
               "read configs.ini only while its own user owns it\n";
    }
    err.flush();
}

void Install(int directory, const RegistrationTarget& target, const CommandRunner& run, std::ostream& err) {
    if (!SystemdAcceptsPath(target.ExecutablePath)) {
        throw Error("systemd cannot start a program whose path holds a quotation mark, a "
                    "backslash or a control character: " + target.ExecutablePath);
    }
    UniqueFd unit(::openat(directory, kUnitFileName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                           kUnitFileMode));
    if (!unit) throw PlatformError(errno);
    // From here on a failure removes the new file: the unit is registered whole or not at all.
    try {
        WriteAll(unit.Get(), UnitFileText(target.ExecutablePath, target.ServiceArguments));
        // A delayed write error shows only at close.
        if (::close(unit.Release()) != 0) throw PlatformError(errno);
        PrepareStateDirectory(target, err);
        if (target.ManageSystemd) {
            RunSystemctl(run, {"daemon-reload"});
            RunSystemctl(run, {"enable", kUnitFileName});
        }
    } catch (...) {
        ::unlinkat(directory, kUnitFileName, 0);
        throw;
    }
}

void Uninstall(int directory, const RegistrationTarget& target, const CommandRunner& run) {
    struct stat info;
    if (::fstatat(directory, kUnitFileName, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        throw PlatformError(errno);
    }
    // disable reads the unit's [Install] section, so it runs while the file is still there.
    if (target.ManageSystemd) RunSystemctl(run, {"disable", kUnitFileName});
    if (::unlinkat(directory, kUnitFileName, 0) != 0) throw PlatformError(errno);
    if (target.ManageSystemd) RunSystemctl(run, {"daemon-reload"});
}

}  // namespace

// "$" stays as it is: systemd expands variables only in the arguments, never in the program's
// path, so "$$" there would name a file that does not exist.
std::string QuoteExecPath(std::string_view path) {
    std::string quoted = "\"";
    for (char c : path) {
        unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': quoted += "\\\\"; break;
            case '"': quoted += "\\\""; break;
            case '%': quoted += "%%"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    quoted += "\\x";
                    AppendHexByte(quoted, byte, kLowerHexDigits);
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

std::string QuoteExecArgument(std::string_view argument) {
    std::string quoted;
    for (char c : QuoteExecPath(argument)) {
        quoted += c;
        if (c == '$') quoted += '$';
    }
    return quoted;
}

std::vector<std::string> ServiceArguments(const config::FileLocations& locations) {
    std::vector<std::string> arguments;
    auto absolute = [](const std::string& path) { return std::filesystem::absolute(path).string(); };
    if (locations.ConfigFile) arguments.push_back("--config=" + absolute(*locations.ConfigFile));
    if (locations.StateDirectory) {
        arguments.push_back("--state-dir=" + absolute(*locations.StateDirectory));
    }
    return arguments;
}

std::string UnitFileText(std::string_view executablePath, const std::vector<std::string>& arguments) {
    std::string execStart = QuoteExecPath(executablePath);
    for (const std::string& argument : arguments) {
        execStart += ' ';
        execStart += QuoteExecArgument(argument);
    }
    return std::string("[Unit]\n") +
           "Description=" + kDisplayName + "\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" + execStart + "\n"
           "Restart=on-failure\n"
           "RestartSec=30\n"
           + Sandbox(StateDirectoryOf(executablePath, arguments)) +
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

RegistrationTarget DefaultRegistrationTarget() {
    RegistrationTarget target;
    const char* directory = std::getenv("TESSELCOM_UNIT_DIR");
    if (directory != nullptr) {
        target.UnitDirectory = directory;
    } else {
        target.UnitDirectory = kDefaultUnitDirectory;
        target.ManageSystemd = ::access(kSystemdRunDirectory, F_OK) == 0;
    }
    target.ExecutablePath = ExecutablePath();
    return target;
}

int RunCommand(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const auto& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);

    // The child must not inherit signals blocked for the service's dispatcher.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    int error = ::posix_spawnp(&child, pointers[0], nullptr, &attributes, pointers.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) throw PlatformError(error);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw PlatformError(errno);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int ApplyRegistration(bool install, bool silent, const RegistrationTarget& target,
                      std::ostream& out, std::ostream& err, const CommandRunner& run) {
    UniqueFd directory = OpenUnitDirectory(target.UnitDirectory);
    try {
        if (install) {
            Install(directory.Get(), target, run, err);
        } else {
            Uninstall(directory.Get(), target, run);
        }
    } catch (const std::exception& error) {
        err << "Service \"" << kDisplayName << "\" failed to "
            << (install ? "install" : "uninstall") << " with error: \"" << error.what() << "\"\n";
        err.flush();
        return 1;
    }
    if (!silent) {
        out << (install ? "Service installed successfully" : "Service uninstalled successfully")
            << "\n";
        out.flush();
    }
    return 0;
}

int ApplyRegistration(bool install, bool silent, const config::FileLocations& locations) {
    RegistrationTarget target = DefaultRegistrationTarget();
    target.ServiceArguments = ServiceArguments(locations);
    return ApplyRegistration(install, silent, target, std::cout, std::cerr, RunCommand);
}

}  // namespace tessel::service
