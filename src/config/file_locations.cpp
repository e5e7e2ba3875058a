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

// 0 when path names a file that this process can open for reading, else the errno value.
int ConfigFileProblem(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat info;
    int problem = ::fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
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

std::string AttachmentRoot(const FileLocations& locations) {
    std::string directory = locations.StateDirectory ? WithTrailingSlash(*locations.StateDirectory)
                                                     : ExecutableDirectory();
    return directory + kAttachmentDirectoryName;
}

void CheckGivenLocations(const FileLocations& locations) {
    if (locations.ConfigFile) {
        if (int problem = ConfigFileProblem(*locations.ConfigFile)) {
            throw Error("the configuration file " + *locations.ConfigFile +
                        " cannot be read: " + SystemText(problem));
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
