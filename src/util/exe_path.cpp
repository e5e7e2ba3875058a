#include "util/exe_path.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "util/error.h"

namespace tessel {

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) throw PlatformError(errno);
        if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ExecutableDirectory() {
    std::string path = ExecutablePath();
    return path.substr(0, path.rfind('/') + 1);
}

}  // namespace tessel
