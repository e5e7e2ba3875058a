#include "util/replace_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/error.h"
#include "util/unique_fd.h"

namespace tessel {
namespace {

constexpr int kNameAttempts = 100;
constexpr std::size_t kRandomLetters = 8;

[[noreturn]] void ThrowFailed(const std::string& shown, int error) {
    throw Error("Cannot write " + shown + ": " + SystemText(error));
}

// TemporaryName - "." name "." and random letters.
std::string TemporaryName(const std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[kRandomLetters] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        throw Error("Cannot draw a temporary file name: " + SystemText(errno));
    }
    std::string result = "." + name + ".";
    for (unsigned char byte : random) result += kLetters[byte % (sizeof kLetters - 1)];
    return result;
}

// TemporaryFile - a new file in a directory, removed unless Keep is called; closed in any case.
class TemporaryFile {
public:
    TemporaryFile(int directoryFd, const std::string& name) : directoryFd_(directoryFd) {
        for (int attempt = 0; attempt < kNameAttempts && !fd_; ++attempt) {
            name_ = TemporaryName(name);
            fd_ = UniqueFd(::openat(directoryFd, name_.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!fd_ && errno != EEXIST) break;
        }
        if (!fd_) name_.clear();
    }
    ~TemporaryFile() {
        fd_.Reset();
        if (!name_.empty()) ::unlinkat(directoryFd_, name_.c_str(), 0);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int Fd() const { return fd_.Get(); }
    const std::string& Name() const { return name_; }
    // Close - 0 or the errno of the failed close.
    int Close() {
        int result = ::close(fd_.Release());
        return result == 0 ? 0 : errno;
    }
    void Keep() { name_.clear(); }

private:
    int directoryFd_;
    std::string name_;
    UniqueFd fd_;
};

}  // namespace

void ReplaceFileAt(int directoryFd, const std::string& name, std::string_view contents, mode_t mode,
                   const std::string& shown) {
    TemporaryFile file(directoryFd, name);
    if (file.Fd() < 0) ThrowFailed(shown, errno);
    for (std::size_t done = 0; done < contents.size();) {
        ssize_t n = ::write(file.Fd(), contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowFailed(shown, errno);
        done += static_cast<std::size_t>(n);
    }
    // The file is made 0600 whatever the umask; readers such as node_exporter need more.
    if (::fchmod(file.Fd(), mode) != 0) ThrowFailed(shown, errno);
    if (int error = file.Close(); error != 0) ThrowFailed(shown, error);
    // renameat replaces a link of that name; it never writes through one.
    if (::renameat(directoryFd, file.Name().c_str(), directoryFd, name.c_str()) != 0) ThrowFailed(shown, errno);
    file.Keep();
}

void ReplaceFile(const std::string& path, std::string_view contents, mode_t mode) {
    auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd) ThrowFailed(path, errno);
    ReplaceFileAt(directoryFd.Get(), name, contents, mode, path);
}

}  // namespace tessel
