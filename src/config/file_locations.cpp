#include "config/file_locations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/error.h"
#include "util/exe_path.h"

namespace tessel::config {
namespace {

constexpr const char* kConfigFileName = "configs.ini";
constexpr const char* kAttachmentDirectoryName = "attachments/";

std::string WithTrailingSlash(std::string directory) {
    if (!directory.ends_with('/')) directory += '/';
    return directory;
}

// ConfigFileProblem - why path cannot serve as the configuration file; empty when it can. A FIFO
// or a device would block or never end the read, so only a regular file will do.
std::string ConfigFileProblem(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SystemText(errno);
    struct stat info;
    std::string problem;
    if (::fstat(fd, &info) != 0) problem = SystemText(errno);
    else if (S_ISDIR(info.st_mode)) problem = SystemText(EISDIR);
    else if (!S_ISREG(info.st_mode)) problem = "not a regular file";
    ::close(fd);
    return problem;
}

int DirectoryProblem(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

std::string ConfigFilePath(const FileLocations& locations) {
    return locations.ConfigFile ? *locations.ConfigFile : ExecutableDirectory() + kConfigFileName;
}

std::string StateDirectory(const FileLocations& locations) {
    return locations.StateDirectory ? WithTrailingSlash(*locations.StateDirectory)
                                    : ExecutableDirectory();
}

std::string AttachmentRoot(const FileLocations& locations) {
    return StateDirectory(locations) + kAttachmentDirectoryName;
}

void CheckGivenLocations(const FileLocations& locations) {
    if (locations.ConfigFile) {
        std::string problem = ConfigFileProblem(*locations.ConfigFile);
        if (!problem.empty()) {
            throw Error("the configuration file " + *locations.ConfigFile + " cannot be read: " +
                        problem);
        }
    }
    if (locations.StateDirectory) {
        if (int problem = DirectoryProblem(*locations.StateDirectory)) {
            throw Error("the state directory " + *locations.StateDirectory +
                        " cannot be used: " + SystemText(problem));
        }
    }
}

}  // namespace tessel::config
