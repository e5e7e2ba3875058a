#include "util/ca_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "util/unique_fd.h"

namespace tessel {

std::string CaPathProblem(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return std::string("it cannot be opened: ") + std::strerror(errno);
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) return std::string("it cannot be examined: ") + std::strerror(errno);
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return "it is neither a regular file nor a directory";
    return {};
}

}  // namespace tessel
