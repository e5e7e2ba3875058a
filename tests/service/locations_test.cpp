// --config and --state-dir: how the command line takes them, and how /install hands them to the unit.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "service/command_line.h"
#include "service/installer.h"

namespace tessel::service {
namespace {

struct PathOptionCase {
    std::vector<std::string> Arguments;
    Mode Expected;
    std::optional<std::string> ConfigFile;
    std::optional<std::string> StateDirectory;
    std::string Error;
};

TEST(CommandLineTest, PlacesGivenOnTheCommandLine) {
    using Opt = std::optional<std::string>;
    const std::string configError =
        "--config takes the path of a configs.ini file: --config=PATH";
    const std::string stateError = "--state-dir takes the path of a directory: --state-dir=DIR";
    const std::vector<PathOptionCase> cases = {
        {{}, Mode::Run, Opt(), Opt(), ""},
        {{"--config=/etc/t/configs.ini"}, Mode::Run, "/etc/t/configs.ini", Opt(), ""},
        {{"--once", "--state-dir=/var/lib/t", "--config=c.ini"}, Mode::Once, "c.ini", "/var/lib/t", ""},
        {{"/install", "--state-dir=state dir/"}, Mode::Install, Opt(), "state dir/", ""},
        {{"--config=a", "--config=b"}, Mode::Run, "b", Opt(), ""},
        {{"--config==x"}, Mode::Run, "=x", Opt(), ""},
        // Without its value the option would be ignored and the path taken for an argument.
        {{"--config", "/etc/t/configs.ini"}, Mode::Invalid, Opt(), Opt(), configError},
        {{"--once", "--config="}, Mode::Invalid, Opt(), Opt(), configError},
        {{"/install", "--state-dir"}, Mode::Invalid, Opt(), Opt(), stateError},
        {{"--state-dir=", "--once"}, Mode::Invalid, Opt(), Opt(), stateError},
        {{"--config", "--version"}, Mode::Version, Opt(), Opt(), configError},
        // Not these options: ignored, as any other argument.
        {{"--configs=x"}, Mode::Run, Opt(), Opt(), ""},
        {{"--CONFIG=x"}, Mode::Run, Opt(), Opt(), ""},
        {{"-config=x"}, Mode::Run, Opt(), Opt(), ""},
        {{"--state-directory=x"}, Mode::Run, Opt(), Opt(), ""},
    };
    for (const PathOptionCase& c : cases) {
        std::string shown;
        for (const auto& a : c.Arguments) shown += "[" + a + "]";
        CommandLine parsed = ParseCommandLine(c.Arguments);
        EXPECT_EQ(parsed.Selected, c.Expected) << shown;
        EXPECT_EQ(parsed.Locations.ConfigFile, c.ConfigFile) << shown;
        EXPECT_EQ(parsed.Locations.StateDirectory, c.StateDirectory) << shown;
        EXPECT_EQ(parsed.Error, c.Error) << shown;
    }
}

TEST(InstallerArgumentsTest, PlacesBecomeAbsoluteOptionsOnExecStart) {
    EXPECT_TRUE(ServiceArguments({}).empty());
    std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(ServiceArguments({"conf/configs.ini", "/var/lib/t"}),
              (std::vector<std::string>{"--config=" + cwd + "/conf/configs.ini",
                                        "--state-dir=/var/lib/t"}));

    // Arguments, unlike the program's path, go through variable and specifier expansion.
    const std::vector<std::pair<std::string, std::string>> quoted = {
        {"--state-dir=/srv/a b", "\"--state-dir=/srv/a b\""},
        {"--config=$HOME/${X}.ini", "\"--config=$$HOME/$${X}.ini\""},
        {"--config=/100%", "\"--config=/100%%\""},
        {"--config=/q\"b\\", "\"--config=/q\\\"b\\\\\""},
        {"--config=/t\tn\n;", "\"--config=/t\\x09n\\x0a;\""},
    };
    for (const auto& [argument, word] : quoted) EXPECT_EQ(QuoteExecArgument(argument), word);

    std::string unit = UnitFileText("/opt/t/tesselcomsvc", {"--config=/etc/t.ini", "--state-dir=/s $"});
    EXPECT_NE(unit.find("\nExecStart=\"/opt/t/tesselcomsvc\" \"--config=/etc/t.ini\" "
                        "\"--state-dir=/s $$\"\n"),
              std::string::npos)
        << unit;
}

}  // namespace
}  // namespace tessel::service
