// Reading the service's metrics file in tests: a quick look at one sample while waiting, and the
// whole file through prometheus_client's parser for the checks.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tessel::e2e {

// ParsedMetrics - what the independent parser understood; Error holds its complaint, if any.
struct ParsedMetrics {
    std::map<std::string, std::string> Types;   // family → gauge, counter...
    std::map<std::string, std::string> Help;    // family → HELP text
    std::map<std::string, double> Samples;      // name{labels} → value ("tesselcom_up{}")
    std::string Error;
};

// ParseMetrics - the file at path through /usr/bin/python3 and prometheus_client.parser.
ParsedMetrics ParseMetrics(const std::string& path);

// SampleValue - the value of the line that starts with "<sample> " in the file, if any (a quick
// look for waits; the checks use ParseMetrics).
std::optional<double> SampleValue(const std::string& path, const std::string& sample);

}  // namespace tessel::e2e
