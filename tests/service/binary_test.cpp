// The real executable: run mode with signals and status datagrams, --encipher, the installer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "config/password_cipher.h"
#include "service/command_line.h"
#include "service/notify_socket.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/temp_dir.h"
#include "util/error.h"

namespace tessel::service {
namespace {

// A generous bound so that a broken binary fails the test instead of hanging it.
constexpr int kReceiveLimitMs = 120000;

pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnvironment,
            const std::string& in, const std::string& out, const std::string& err) {
    return test::SpawnChild(argv, extraEnvironment, in, out, err);
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct RunResult {
    int Status;
    std::string Out, Err;
};

// RunProgram - runs the program to its end with the given standard input.
RunResult RunProgram(const test::TempDir& dir, std::vector<std::string> argv,
                     const std::string& input,
                     const std::vector<std::string>& extraEnvironment = {}) {
    std::string in = dir.Write("stdin", input);
    pid_t pid =
        Spawn(std::move(argv), extraEnvironment, in, dir.File("stdout"), dir.File("stderr"));
    int status = WaitExit(pid);
    return {status, test::ReadFile(dir.File("stdout")), test::ReadFile(dir.File("stderr"))};
}

// CopyExecutable - the binary alone in directory (created when missing); returns its path.
std::string CopyExecutable(const std::string& directory) {
    std::filesystem::create_directories(directory);
    std::string target = directory + "/tesselcomsvc";
    std::filesystem::copy_file(TESSEL_EXECUTABLE, target);
    return target;
}

using Datagram = std::map<std::string, std::string>;

// A bound datagram socket standing in for the service manager's notification socket.
class NotifyReceiver {
public:
    explicit NotifyReceiver(const std::string& address) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        std::memcpy(un.sun_path, address.data(), address.size());
        if (address[0] == '@') un.sun_path[0] = '\0';
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&un), length), 0) << std::strerror(errno);
    }
    ~NotifyReceiver() { ::close(fd_); }

    // Next - the next datagram as its assignments (empty when none came within the bound).
    Datagram Next() {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, kReceiveLimitMs) != 1) return {};
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return {};
        Datagram result;
        std::istringstream lines(std::string(buffer, static_cast<std::size_t>(n)));
        std::string line;
        while (std::getline(lines, line)) {
            auto equals = line.find('=');
            result[line.substr(0, equals)] = line.substr(equals + 1);
        }
        EXPECT_EQ(buffer[n - 1], '\n');
        return result;
    }

private:
    int fd_ = -1;
};

// What every report must carry for the state and checkpoint given.
void ExpectReport(const Datagram& d, const std::string& state, int value, int checkpoint) {
    SCOPED_TRACE(state);
    ASSERT_FALSE(d.empty()) << "no report came";
    bool pending = state.ends_with("pending");
    EXPECT_EQ(d.at("STATUS"), state + " (checkpoint " + std::to_string(checkpoint) + ")");
    EXPECT_EQ(d.at("X_SERVICE_TYPE"), "16");
    EXPECT_EQ(d.at("X_CURRENT_STATE"), std::to_string(value));
    EXPECT_EQ(d.at("X_CONTROLS_ACCEPTED"), state == "start pending" ? "0" : "7");
    EXPECT_EQ(d.at("X_EXIT_CODE"), "0");
    EXPECT_EQ(d.at("X_SERVICE_EXIT_CODE"), "0");
    EXPECT_EQ(d.at("X_CHECKPOINT"), std::to_string(checkpoint));
    EXPECT_EQ(d.at("X_WAIT_HINT"), "5000");
    EXPECT_EQ(d.count("READY"), state == "running" ? 1u : 0u);
    EXPECT_EQ(d.count("STOPPING"), state == "stop pending" ? 1u : 0u);
    if (pending) EXPECT_EQ(d.at("EXTEND_TIMEOUT_USEC"), "5000000");
    else EXPECT_EQ(d.count("EXTEND_TIMEOUT_USEC"), 0u);
    std::size_t expectedFields = 8 + (state == "running" || state == "stop pending") + pending;
    EXPECT_EQ(d.size(), expectedFields);
}

class RunModeTest : public ::testing::Test {
protected:
    RunModeTest() : receiver_(dir_.File("notify")) {
        executable_ = CopyExecutable(dir_.File("bin"));
        WriteConfig("[DBCONFIG]\nServer=127.0.0.1\nPort=" + std::to_string(test::UnusedLoopbackPort()) +
                    "\nDatabase=tessel\nUsername=tessel\n");
    }

    // WriteConfig - configs.ini as an operator keeps it, readable by its owner only.
    void WriteConfig(const std::string& text, mode_t mode = 0600) {
        ::chmod(dir_.Write("bin/configs.ini", text).c_str(), mode);
    }

    pid_t Start() {
        return Spawn({executable_, "--tick-ms=2"}, {"NOTIFY_SOCKET=" + dir_.File("notify")},
                     "/dev/null", dir_.File("stdout"), dir_.File("stderr"));
    }

    void ExpectStartedNormally() {
        ExpectReport(receiver_.Next(), "start pending", 2, 1);
        ExpectReport(receiver_.Next(), "start pending", 2, 2);
        ExpectReport(receiver_.Next(), "running", 4, 0);
    }

    test::TempDir dir_;
    NotifyReceiver receiver_;
    std::string executable_;
};

TEST_F(RunModeTest, StartsReportsAndStopsOnSigterm) {
    pid_t pid = Start();
    ExpectStartedNormally();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ExpectReport(receiver_.Next(), "stop pending", 3, 0);
    ExpectReport(receiver_.Next(), "stopped", 1, 0);
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_EQ(test::ReadFile(dir_.File("stderr")), "");
}

TEST_F(RunModeTest, SignalsBecomeControlRequests) {
    pid_t pid = Start();
    ExpectStartedNormally();
    // A user-defined code changes nothing and is not reported.
    sigval value{};
    value.sival_int = 200;
    ASSERT_EQ(::sigqueue(pid, SIGRTMIN, value), 0);
    ::kill(pid, SIGUSR1);
    ExpectReport(receiver_.Next(), "pause pending", 6, 0);
    ExpectReport(receiver_.Next(), "paused", 7, 0);
    ::kill(pid, SIGHUP);
    ExpectReport(receiver_.Next(), "paused", 7, 0);
    value.sival_int = 3;  // continue, by its code
    ::sigqueue(pid, SIGRTMIN, value);
    ExpectReport(receiver_.Next(), "continue pending", 5, 0);
    ExpectReport(receiver_.Next(), "running", 4, 0);
    ::kill(pid, SIGPWR);
    ExpectReport(receiver_.Next(), "stop pending", 3, 0);
    ExpectReport(receiver_.Next(), "stopped", 1, 0);
    EXPECT_EQ(WaitExit(pid), 0);
}

TEST_F(RunModeTest, OnceReportsAnUnreachableDatabase) {
    RunResult once = RunProgram(dir_, {executable_, "--once"}, "",
                                {"NOTIFY_SOCKET=" + dir_.File("notify")});
    EXPECT_EQ(once.Status, 2);
    EXPECT_EQ(once.Out, "");
    EXPECT_TRUE(once.Err.starts_with("tesselcomsvc: the database could not be reached"));
    EXPECT_EQ(std::count(once.Err.begin(), once.Err.end(), '\n'), 1) << once.Err;
}

TEST_F(RunModeTest, AConfigFileOthersMayReadOrWriteIsWarnedAtStart) {
    std::string config = test::ReadFile(dir_.File("bin/configs.ini"));
    for (mode_t mode : {0644, 0604, 0620, 0640, 0602}) {
        WriteConfig(config, mode);
        RunResult once = RunProgram(dir_, {executable_, "--once"}, "");
        EXPECT_EQ(once.Status, 2);
        char expected[160];
        std::snprintf(expected, sizeof expected, "(mode %04o); it holds the database password: make it mode 0600\n",
                      static_cast<unsigned int>(mode));
        EXPECT_TRUE(once.Err.starts_with("TesselComService: The file \"" + dir_.File("bin/configs.ini") +
                                         "\" may be read or written by group or others " + expected))
            << once.Err;
    }
    WriteConfig(config, 0600);
    EXPECT_TRUE(RunProgram(dir_, {executable_, "--once"}, "").Err.starts_with("tesselcomsvc: the database"));
}

// Neither a core file nor another process of the same user can read the passwords out of the
// process: its /proc entries belong to root even when it runs as another user.
TEST_F(RunModeTest, TheProcessIsNotDumpable) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run the service as another user";
    }
    ::chmod(dir_.Path().c_str(), 0755);
    ::chmod(dir_.File("bin").c_str(), 0755);
    pid_t pid = Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", executable_},
                      {}, "/dev/null", dir_.File("stdout"), dir_.File("stderr"));
    const std::string proc = "/proc/" + std::to_string(pid);
    struct stat info{};
    // Bounded wait for the service's own code to run (setpriv first execs it as that user).
    for (int i = 0; i < 2000; ++i) {
        std::error_code ignored;
        bool started = std::filesystem::read_symlink(proc + "/exe", ignored) == executable_;
        if (started && ::stat((proc + "/status").c_str(), &info) == 0 && info.st_uid == 0) break;
        ::usleep(10000);
    }
    std::string status = test::ReadFile(proc + "/status");
    EXPECT_NE(status.find("\nUid:\t65534\t65534"), std::string::npos) << status;
    EXPECT_EQ(info.st_uid, 0u);
    ::kill(pid, SIGTERM);
    WaitExit(pid);
}

TEST_F(RunModeTest, MalformedPasswordFailsTheStartWithStatusOne) {
    WriteConfig("[DBCONFIG]\nServer=127.0.0.1\nPassword=G1\n");
    pid_t pid = Start();
    ExpectReport(receiver_.Next(), "start pending", 2, 1);
    ExpectReport(receiver_.Next(), "start pending", 2, 2);
    ExpectReport(receiver_.Next(), "stopped", 1, 0);
    EXPECT_EQ(WaitExit(pid), 1);
    EXPECT_EQ(test::ReadFile(dir_.File("stderr")),
              "TesselComService: Service failed on start: '$G1' is not a valid integer value\n");

    RunResult once = RunProgram(dir_, {executable_, "--once"}, "");
    EXPECT_EQ(once.Status, 1);
    EXPECT_EQ(once.Err,
              "TesselComService: Service failed on start: '$G1' is not a valid integer value\n");
}

// --config and --state-dir in every mode that reads them: the file next to the executable is
// malformed, so reaching the database stage (status 2) shows that the given file was read.
TEST_F(RunModeTest, GivenPlacesAreUsedAndMissingOnesFailTheStart) {
    dir_.Write("bin/configs.ini", "[DBCONFIG]\nPassword=G1\n");
    std::filesystem::create_directory(dir_.File("etc"));
    std::string given = dir_.Write("etc/configs.ini",
                                   "[DBCONFIG]\nServer=127.0.0.1\nPort=" +
                                       std::to_string(test::UnusedLoopbackPort()) + "\n");
    ::chmod(given.c_str(), 0600);
    std::filesystem::create_directory(dir_.File("state"));
    const std::string failed = "TesselComService: Service failed on start: ";
    struct Case {
        std::vector<std::string> Arguments;
        int Status;
        std::string ErrStart;
    };
    const std::vector<Case> cases = {
        {{"--once", "--config=" + given}, 2, "tesselcomsvc: the database could not be reached"},
        {{"--once", "--config=" + given, "--state-dir=" + dir_.File("state")}, 2,
         "tesselcomsvc: the database could not be reached"},
        {{"--once", "--config=" + dir_.File("absent.ini")}, 1,
         failed + "the configuration file " + dir_.File("absent.ini") +
             " cannot be read: No such file or directory\n"},
        {{"--once", "--config=" + dir_.File("etc")}, 1,
         failed + "the configuration file " + dir_.File("etc") + " cannot be read: Is a directory\n"},
        {{"--once", "--config=/dev/null"}, 1,
         failed + "the configuration file /dev/null cannot be read: not a regular file\n"},
        {{"--once", "--config=" + given, "--state-dir=" + dir_.File("absent")}, 1,
         failed + "the state directory " + dir_.File("absent") +
             " cannot be used: No such file or directory\n"},
        {{"--once", "--config=" + given, "--state-dir=" + given}, 1,
         failed + "the state directory " + given + " cannot be used: Not a directory\n"},
        // Run mode checks the same, and ends the same way.
        {{"--tick-ms=2", "--state-dir=" + dir_.File("absent")}, 1,
         failed + "the state directory " + dir_.File("absent") +
             " cannot be used: No such file or directory\n"},
        {{"--once", "--config"}, kExitUsage,
         "tesselcomsvc: --config takes the path of a configs.ini file: --config=PATH\n"},
        {{"--state-dir=", "/install"}, kExitUsage,
         "tesselcomsvc: --state-dir takes the path of a directory: --state-dir=DIR\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {executable_};
        argv.insert(argv.end(), c.Arguments.begin(), c.Arguments.end());
        RunResult result = RunProgram(dir_, argv, "");
        SCOPED_TRACE(argv.back());
        EXPECT_EQ(result.Status, c.Status);
        EXPECT_EQ(result.Out, "");
        EXPECT_TRUE(result.Err.starts_with(c.ErrStart)) << result.Err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.File("bin/attachments")));
}

TEST(NotifySocketTest, AbstractAddressesAreReached) {
    std::string name = "@tessel-notify-test-" + std::to_string(::getpid());
    NotifyReceiver receiver(name);
    NotifySocketChannel(name).Send(MakeStatusReport(ServiceState::Running, 0));
    ExpectReport(receiver.Next(), "running", 4, 0);
}

TEST(NotifySocketTest, UnusableAddressesFail) {
    for (const std::string address : {"relative/path", "/nonexistent-dir/socket"}) {
        EXPECT_THROW(SendNotifyDatagram(address, "READY=1\n"), PlatformError) << address;
    }
    NotifySocketChannel("").Send(MakeStatusReport(ServiceState::Running, 0));  // sends nothing
}

TEST(EncipherTest, RoundTripThroughTheBinaryForAnyByte) {
    test::TempDir dir;
    std::string everyByte;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n') everyByte += static_cast<char>(b);
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"secret", "secret\n"},
        {"", "\n"},
        {"", ""},
        {"no line end", "no line end"},
        {"cr stays\r", "cr stays\r\n"},
        {"first line", "first line\nsecond\n"},
        {everyByte, everyByte + "\n"},
    };
    for (const auto& [password, input] : cases) {
        RunResult result = RunProgram(dir, {TESSEL_EXECUTABLE, "--encipher"}, input);
        EXPECT_EQ(result.Status, 0);
        ASSERT_TRUE(result.Out.ends_with("\n")) << result.Out;
        std::string hex = result.Out.substr(0, result.Out.size() - 1);
        EXPECT_EQ(hex.size(), password.size() * 2);
        EXPECT_EQ(config::DecryptString(config::HexDecode(hex), config::kCipherStartKey), password);
    }
}

// ExecStart's value as systemd reads it: one double-quoted word, C escapes, "%%" for "%".
std::string UnquoteExecStart(const std::string& unit) {
    auto start = unit.find("ExecStart=\"");
    std::string path;
    for (std::size_t i = start + 11; i < unit.size() && unit[i] != '"'; ++i) {
        if (unit[i] == '%') {
            path += unit[++i];
        } else if (unit[i] == '\\' && unit[i + 1] == 'x') {
            path += static_cast<char>(std::stoi(unit.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else if (unit[i] == '\\') {
            path += unit[++i];
        } else {
            path += unit[i];
        }
    }
    return path;
}

TEST(InstallerBinaryTest, ExecutableInDirectoryWithBlanksGetsAQuotedPath) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.File("units"));
    std::string unitDir = "TESSELCOM_UNIT_DIR=" + dir.File("units");
    const bool haveVerify = ::access("/usr/bin/systemd-analyze", X_OK) == 0;
    for (const std::string folder : {"with blanks", "odd 100% $HOME;x #y \xc3\xa9"}) {
        SCOPED_TRACE(folder);
        std::string executable = CopyExecutable(dir.File(folder));
        RunResult installed = RunProgram(dir, {executable, "/install", "/silent"}, "", {unitDir});
        EXPECT_EQ(installed.Status, 0);
        EXPECT_EQ(installed.Out + installed.Err, "");
        std::string unit = dir.File("units") + "/TesselComService.service";
        EXPECT_EQ(UnquoteExecStart(test::ReadFile(unit)), executable);
        if (haveVerify) {
            // verify resolves ExecStart and complains when it names no executable file.
            RunResult verify = RunProgram(dir, {"/usr/bin/systemd-analyze", "verify", unit}, "");
            EXPECT_EQ(verify.Status, 0) << verify.Err;
        }
        RunResult removed = RunProgram(dir, {executable, "-UNINSTALL"}, "", {unitDir});
        EXPECT_EQ(removed.Status, 0);
        EXPECT_EQ(removed.Out, "Service uninstalled successfully\n");
    }
}

TEST(InstallerBinaryTest, GivenPlacesGoOntoExecStartAbsoluteAndQuoted) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.File("units"));
    std::string executable = CopyExecutable(dir.File("bin"));
    RunResult installed =
        RunProgram(dir, {executable, "/install", "/silent", "--config=relative.ini",
                         "--state-dir=" + dir.File("odd 100% $HOME")},
                   "", {"TESSELCOM_UNIT_DIR=" + dir.File("units")});
    EXPECT_EQ(installed.Status, 0) << installed.Err;
    std::string unit = dir.File("units") + "/TesselComService.service";
    std::string cwd = std::filesystem::current_path().string();
    EXPECT_NE(test::ReadFile(unit).find("\nExecStart=\"" + executable + "\" \"--config=" + cwd +
                                        "/relative.ini\" \"--state-dir=" + dir.File("odd 100%% $$HOME") +
                                        "\"\n"),
              std::string::npos)
        << test::ReadFile(unit);
    if (::access("/usr/bin/systemd-analyze", X_OK) == 0) {
        RunResult verify = RunProgram(dir, {"/usr/bin/systemd-analyze", "verify", unit}, "");
        EXPECT_EQ(verify.Status, 0) << verify.Err;
    }
}

TEST(InstallerBinaryTest, FailuresExitWithStatusOne) {
    test::TempDir dir;
    std::string unitDir = "TESSELCOM_UNIT_DIR=" + dir.Path();
    RunResult missing =
        RunProgram(dir, {TESSEL_EXECUTABLE, "/uninstall", "/silent"}, "", {unitDir});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_EQ(missing.Out, "");
    EXPECT_EQ(missing.Err, "Service \"Tessel Com Service\" failed to uninstall with error: "
                           "\"System Error.  Code: 2.\r\nNo such file or directory\"\n");

    RunResult noDirectory = RunProgram(dir, {TESSEL_EXECUTABLE, "-install"}, "",
                                {"TESSELCOM_UNIT_DIR=" + dir.File("absent")});
    EXPECT_EQ(noDirectory.Status, 1);
    EXPECT_EQ(noDirectory.Out, "");
    EXPECT_EQ(noDirectory.Err, "System Error.  Code: 2.\r\nNo such file or directory\n");
}

}  // namespace
}  // namespace tessel::service
