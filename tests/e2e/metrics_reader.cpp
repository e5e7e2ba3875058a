#include "metrics_reader.h"

#include <sys/wait.h>

#include <sstream>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessel::e2e {

ParsedMetrics ParseMetrics(const std::string& path) {
    test::TempDir scratch;
    std::string script = std::string(TESSEL_SOURCE_DIR) + "/tests/support/parse_metrics.py";
    pid_t pid = test::SpawnChild({"/usr/bin/python3", script, path}, {}, "/dev/null",
                                 scratch.File("out"), scratch.File("err"));
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    ParsedMetrics parsed;
    if (pid <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        parsed.Error = "parser failed: " + test::ReadFile(scratch.File("err"));
        return parsed;
    }
    std::istringstream lines(test::ReadFile(scratch.File("out")));
    std::string kind;
    while (lines >> kind) {
        std::string name, rest;
        lines >> name;
        std::getline(lines, rest);
        if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
        if (kind == "TYPE") parsed.Types[name] = rest;
        if (kind == "HELP") parsed.Help[name] = rest;
        if (kind == "SAMPLE") parsed.Samples[name] = std::stod(rest);
    }
    return parsed;
}

std::optional<double> SampleValue(const std::string& path, const std::string& sample) {
    std::istringstream lines(test::ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(sample + " ", 0) == 0) return std::stod(line.substr(sample.size() + 1));
    }
    return std::nullopt;
}

}  // namespace tessel::e2e
