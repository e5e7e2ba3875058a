// Where the service reads its configuration and keeps its state: next to the executable, unless
// the command line names other places (a packaged install keeps them under /etc and /var/lib).
#pragma once

#include <optional>
#include <string>

namespace tessel::config {

struct FileLocations {
    std::optional<std::string> ConfigFile;      // --config: the configs.ini to read
    std::optional<std::string> StateDirectory;  // --state-dir: the directory that holds attachments/
};

// ConfigFilePath - the given configuration file, else configs.ini in the executable's directory.
std::string ConfigFilePath(const FileLocations& locations);

// AttachmentRoot - "attachments/" in the given state directory, else in the executable's
// directory; with its trailing slash.
std::string AttachmentRoot(const FileLocations& locations);

// StateDirectory - the given state directory, else the executable's directory; with its
// trailing slash.
std::string StateDirectory(const FileLocations& locations);

// CheckGivenLocations - a place named on the command line must exist: the configuration file as
// a readable file, the state directory as a directory. The places next to the executable are not
// checked (a missing configs.ini there gives the defaults). Throws Error naming the path.
void CheckGivenLocations(const FileLocations& locations);

}  // namespace tessel::config
