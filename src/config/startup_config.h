// The start-up configuration: the database connection parameters from configs.ini.
#pragma once

#include <string>

#include "config/connection_parameters.h"

namespace tessel::config {

// ReadStartupConfiguration - reads the five DBCONFIG keys of the file at path; every parameter
// is set, a missing one to its default. Throws ConversionError for a Password pair that is not
// hexadecimal.
ConnectionParameters ReadStartupConfiguration(const std::string& path);

// ParsePortValue - "0x"/"0X" in front of at least one more character becomes "$"; then the
// lenient integer conversion with default 0.
std::int32_t ParsePortValue(const std::string& text);

}  // namespace tessel::config
