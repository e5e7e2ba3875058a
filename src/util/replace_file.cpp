#include "util/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "util/error.h"

namespace tessel {
namespace {

// TemporaryFile - a file made by mkstemp, removed unless Keep is called; closed in any case.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string pattern) : path_(std::move(pattern)) {
        fd_ = ::mkstemp(path_.data());
        if (fd_ < 0) path_.clear();
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    // Close - 0 or the errno of the failed close.
    int Close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }
    void Keep() { path_.clear(); }

private:
    std::string path_;
    int fd_ = -1;
};

[[noreturn]] void ThrowFailed(const std::string& path, int error) {
    throw Error("Cannot write " + path + ": " + SystemText(error));
}

}  // namespace

void ReplaceFile(const std::string& path, std::string_view contents, mode_t mode) {
    auto slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    TemporaryFile file(directory + "." + name + ".XXXXXX");
    if (file.Fd() < 0) ThrowFailed(path, errno);
    for (std::size_t done = 0; done < contents.size();) {
        ssize_t n = ::write(file.Fd(), contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowFailed(path, errno);
        done += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file 0600 whatever the umask; readers such as node_exporter need more.
    if (::fchmod(file.Fd(), mode) != 0) ThrowFailed(path, errno);
    if (int error = file.Close(); error != 0) ThrowFailed(path, error);
    if (::rename(file.Path().c_str(), path.c_str()) != 0) ThrowFailed(path, errno);
    file.Keep();
}

}  // namespace tessel
