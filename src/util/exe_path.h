// Where the running executable lives.
#pragma once

#include <string>

namespace tessel {

// ExecutablePath - the executable's full path (from /proc/self/exe). Throws PlatformError.
std::string ExecutablePath();

// ExecutableDirectory - the executable's directory, with its trailing slash.
std::string ExecutableDirectory();

}  // namespace tessel
