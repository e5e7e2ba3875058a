// Mode selection from the command line and the unit file installer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "service/command_line.h"
#include "service/installer.h"
#include "support/temp_dir.h"
#include "util/error.h"

namespace tessel::service {
namespace {

struct SwitchCase {
    std::vector<std::string> Arguments;
    Mode Expected;
    bool Silent;
};

TEST(CommandLineTest, SwitchesAndOptionsSelectTheMode) {
    const std::vector<SwitchCase> cases = {
        {{}, Mode::Run, false},
        {{"/install"}, Mode::Install, false},
        {{"-Install"}, Mode::Install, false},
        {{"/INSTALL"}, Mode::Install, false},
        {{"extra", "-iNsTaLl", "more"}, Mode::Install, false},
        {{"--install"}, Mode::Run, false},
        {{"install"}, Mode::Run, false},
        {{"/installx"}, Mode::Run, false},
        {{"/"}, Mode::Run, false},
        {{"/silent"}, Mode::Run, true},
        {{"-UNINSTALL"}, Mode::Uninstall, false},
        {{"/uninstall", "/install"}, Mode::Install, false},
        {{"/install", "/silent"}, Mode::Install, true},
        {{"-Silent", "/uninstall"}, Mode::Uninstall, true},
        {{"--once"}, Mode::Once, false},
        {{"--ONCE"}, Mode::Run, false},
        {{"--encipher"}, Mode::Encipher, false},
        {{"--once", "/install"}, Mode::Install, false},
        {{"/install", "--help"}, Mode::Help, false},
        {{"--version"}, Mode::Version, false},
        {{"--tick-ms=abc"}, Mode::Invalid, false},
        {{"--tick-ms=0"}, Mode::Invalid, false},
        {{"--tick-ms=-5"}, Mode::Invalid, false},
        {{"--tick-ms=$10"}, Mode::Invalid, false},
        {{"--tick-ms="}, Mode::Invalid, false},
        {{"--tick-ms"}, Mode::Run, false},
        {{"--check"}, Mode::Check, false},
        {{"--send-test=ops@example.test"}, Mode::SendTest, false},
        {{"--send-test"}, Mode::Invalid, false},
        {{"--send-test="}, Mode::Invalid, false},
        {{"--queue"}, Mode::Queue, false},
        {{"--flush"}, Mode::Flush, false},
        {{"--once", "--flush"}, Mode::Flush, false},
        {{"--check", "--queue"}, Mode::Check, false},
        {{"--check", "--timeout=0"}, Mode::Invalid, false},
        {{"--check", "--timeout=601"}, Mode::Invalid, false},
    };
    for (const SwitchCase& c : cases) {
        std::string shown;
        for (const auto& a : c.Arguments) shown += "[" + a + "]";
        CommandLine parsed = ParseCommandLine(c.Arguments);
        EXPECT_EQ(parsed.Selected, c.Expected) << shown;
        EXPECT_EQ(parsed.Silent, c.Silent) << shown;
    }
}

TEST(CommandLineTest, TickLength) {
    EXPECT_EQ(ParseCommandLine({}).Tick, std::chrono::milliseconds(1000));
    EXPECT_EQ(ParseCommandLine({"--tick-ms=5"}).Tick, std::chrono::milliseconds(5));
    CommandLine bad = ParseCommandLine({"--tick-ms=x"});
    EXPECT_NE(bad.Error.find("'x'"), std::string::npos) << bad.Error;
}

TEST(CommandLineTest, CheckTimeoutAndTestAddress) {
    EXPECT_EQ(ParseCommandLine({"--check"}).CheckTimeout, kDefaultCheckTimeout);
    CommandLine parsed = ParseCommandLine({"--send-test=ops@example.test", "--timeout=7"});
    EXPECT_EQ(parsed.CheckTimeout, std::chrono::seconds(7));
    EXPECT_EQ(parsed.TestAddress, "ops@example.test");
}

// Records the commands the installer would run; can fail one of them.
struct FakeRunner {
    std::vector<std::string> Calls;
    std::string FailOn;
    CommandRunner Runner() {
        return [this](const std::vector<std::string>& argv) {
            std::string line;
            for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
            Calls.push_back(line);
            return line == FailOn ? 1 : 0;
        };
    }
};

class InstallerTest : public ::testing::Test {
protected:
    InstallerTest() { std::filesystem::create_directory(dir_.File("bin")); }
    RegistrationTarget Target() const { return {dir_.Path(), Executable(), false}; }
    std::string Executable() const { return dir_.File("bin/tesselcomsvc"); }
    std::string UnitPath() const { return dir_.File(kUnitFileName); }
    int Apply(bool install, bool silent, const RegistrationTarget& target) {
        out_.str({});
        err_.str({});
        return ApplyRegistration(install, silent, target, out_, err_, runner_.Runner());
    }

    test::TempDir dir_;
    std::ostringstream out_, err_;
    FakeRunner runner_;
};

TEST_F(InstallerTest, InstallWritesTheUnitAndUninstallRemovesIt) {
    EXPECT_EQ(Apply(true, false, Target()), 0);
    EXPECT_EQ(out_.str(), "Service installed successfully\n");
    EXPECT_EQ(err_.str(), "");
    EXPECT_EQ(test::ReadFile(UnitPath()),
              "[Unit]\n"
              "Description=Tessel Com Service\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"" + Executable() + "\"\n"
              "Restart=on-failure\n"
              "RestartSec=30\n"
              "NoNewPrivileges=yes\n"
              "PrivateTmp=yes\n"
              "PrivateDevices=yes\n"
              "ProtectSystem=strict\n"
              "ReadWritePaths=\"" + dir_.File("bin") + "\"\n"
              "ProtectHome=read-only\n"
              "ProtectKernelTunables=yes\n"
              "ProtectKernelModules=yes\n"
              "ProtectKernelLogs=yes\n"
              "ProtectControlGroups=yes\n"
              "ProtectClock=yes\n"
              "ProtectHostname=yes\n"
              "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
              "RestrictNamespaces=yes\n"
              "RestrictRealtime=yes\n"
              "RestrictSUIDSGID=yes\n"
              "LockPersonality=yes\n"
              "MemoryDenyWriteExecute=yes\n"
              "SystemCallArchitectures=native\n"
              "SystemCallFilter=@system-service\n"
              "CapabilityBoundingSet=\n"
              "UMask=0077\n"
              "LimitCORE=0\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    struct stat info;
    ASSERT_EQ(::stat(UnitPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    // The sandboxed service may be unable to make its attachment directory: the installer does.
    ASSERT_EQ(::lstat(dir_.File("bin/attachments").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());

    EXPECT_EQ(Apply(false, false, Target()), 0);
    EXPECT_EQ(out_.str(), "Service uninstalled successfully\n");
    EXPECT_NE(::access(UnitPath().c_str(), F_OK), 0);
    EXPECT_TRUE(runner_.Calls.empty());
}

TEST_F(InstallerTest, SilentSuppressesOnlyTheSuccessMessage) {
    EXPECT_EQ(Apply(true, true, Target()), 0);
    EXPECT_EQ(out_.str() + err_.str(), "");
    EXPECT_EQ(Apply(true, true, Target()), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_NE(err_.str(), "");
}

TEST_F(InstallerTest, AlreadyRegisteredKeepsTheExistingUnit) {
    dir_.Write(kUnitFileName, "[Unit]\nDescription=first\n");
    EXPECT_EQ(Apply(true, false, Target()), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(),
              "Service \"Tessel Com Service\" failed to install with error: "
              "\"System Error.  Code: 17.\r\nFile exists\"\n");
    EXPECT_EQ(test::ReadFile(UnitPath()), "[Unit]\nDescription=first\n");
}

TEST_F(InstallerTest, UninstallOfMissingUnitFails) {
    EXPECT_EQ(Apply(false, true, Target()), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(),
              "Service \"Tessel Com Service\" failed to uninstall with error: "
              "\"System Error.  Code: 2.\r\nNo such file or directory\"\n");
}

TEST_F(InstallerTest, MissingUnitDirectoryIsAnErrorBeforeAnyMessage) {
    RegistrationTarget target = Target();
    target.UnitDirectory = dir_.File("missing");
    try {
        Apply(true, false, target);
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.Code(), ENOENT);
    }
    EXPECT_EQ(out_.str() + err_.str(), "");
}

TEST_F(InstallerTest, SystemdIsReloadedAndTheUnitEnabledAndDisabled) {
    RegistrationTarget target = Target();
    target.ManageSystemd = true;
    EXPECT_EQ(Apply(true, true, target), 0);
    EXPECT_EQ(Apply(false, true, target), 0);
    EXPECT_EQ(runner_.Calls, (std::vector<std::string>{
                                 "systemctl daemon-reload",
                                 "systemctl enable TesselComService.service",
                                 "systemctl disable TesselComService.service",
                                 "systemctl daemon-reload"}));
}

// An install that cannot be enabled is not reported as done and leaves nothing behind.
TEST_F(InstallerTest, FailedEnableRemovesTheNewUnit) {
    RegistrationTarget target = Target();
    target.ManageSystemd = true;
    runner_.FailOn = "systemctl enable TesselComService.service";
    EXPECT_EQ(Apply(true, false, target), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(err_.str(),
              "Service \"Tessel Com Service\" failed to install with error: "
              "\"systemctl enable TesselComService.service exited with status 1\"\n");
    EXPECT_NE(::access(UnitPath().c_str(), F_OK), 0);
}

// systemd refuses such a path however it is quoted: installing must fail, not succeed uselessly.
TEST_F(InstallerTest, PathThatSystemdRefusesIsNotInstalled) {
    for (const std::string path : {"/opt/a\"b/x", "/opt/a'b/x", "/opt/a\\b/x", "/opt/a\nb/x"}) {
        RegistrationTarget target = Target();
        target.ExecutablePath = path;
        EXPECT_EQ(Apply(true, false, target), 1) << path;
        EXPECT_TRUE(err_.str().starts_with(
            "Service \"Tessel Com Service\" failed to install with error: \"systemd cannot start"))
            << err_.str();
        EXPECT_NE(::access(UnitPath().c_str(), F_OK), 0);
    }
}

TEST_F(InstallerTest, SaysWhatTheServiceCannotDoInADirectoryOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to another user";
    ASSERT_EQ(::chown(dir_.File("bin").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::mkdir(dir_.File("bin/attachments").c_str(), 0777), 0);
    ::chmod(dir_.File("bin/attachments").c_str(), 0777);
    EXPECT_EQ(Apply(true, false, Target()), 0);
    EXPECT_EQ(out_.str(), "Service installed successfully\n");
    EXPECT_EQ(err_.str(),
              "Note: The attachment directory \"" + dir_.File("bin/attachments/") +
                  "\" may be written by group or others (mode 0777); the service will keep the queued "
                  "mail with attachments until it is fixed\n"
                  "Note: \"" + dir_.File("bin") + "\" belongs to user 65534, not to the service's user 0: "
                  "holding no capabilities, the service can write there only in attachments/, and read "
                  "configs.ini only while its own user owns it\n");
}

// The unit as systemd itself reads it: valid, and sandboxed well enough to score "OK" or better.
TEST_F(InstallerTest, SystemdAcceptsTheUnitAndScoresItsSandbox) {
    if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is missing";
    std::filesystem::copy_file(TESSEL_EXECUTABLE, Executable());
    ASSERT_EQ(Apply(true, true, Target()), 0);
    std::string output = dir_.File("analyze.out");
    std::string quiet = " >" + output + " 2>&1";
    EXPECT_EQ(std::system(("systemd-analyze verify '" + UnitPath() + "'" + quiet).c_str()), 0)
        << test::ReadFile(output);
    ASSERT_EQ(std::system(("systemd-analyze security --offline=true '" + UnitPath() + "'" + quiet).c_str()), 0)
        << test::ReadFile(output);
    std::smatch score;
    std::string report = test::ReadFile(output);
    ASSERT_TRUE(std::regex_search(report, score, std::regex("Overall exposure level for [^:]*: ([0-9.]+)")))
        << report;
    EXPECT_LE(std::stod(score[1]), 2.5) << report;
}

TEST(QuoteExecPathTest, SpecialCharactersCannotSplitOrChangeThePath) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/opt/tessel/tesselcomsvc", "\"/opt/tessel/tesselcomsvc\""},
        {"/opt/my dir/tesselcomsvc", "\"/opt/my dir/tesselcomsvc\""},
        {"/a\"b\\c/x", "\"/a\\\"b\\\\c/x\""},
        {"/100%n/x", "\"/100%%n/x\""},
        {"/$HOME/x", "\"/$HOME/x\""},
        {"/a;b 'c'/x", "\"/a;b 'c'/x\""},
        {"/tab\there/x\n", "\"/tab\\x09here/x\\x0a\""},
    };
    for (const auto& [path, quoted] : cases) EXPECT_EQ(QuoteExecPath(path), quoted) << path;
}

}  // namespace
}  // namespace tessel::service
