#include "cycle/attachment.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cycle/attachment_leftovers.h"
#include "util/event_log.h"
#include "util/unique_fd.h"

namespace tessel::cycle {
namespace {

constexpr const char* kFallbackFileName = "attachment";
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
// mkdtemp's pattern for the directory of one stored object.
const std::string kObjectDirectoryPattern = std::string(kObjectDirectoryPrefix) + "XXXXXX";

// Descriptor - closes the file on every path; Close reports the error of a final close.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    // Close - returns the errno of a failed close, 0 on success.
    int Close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

[[noreturn]] void ThrowCannotCreate(const std::string& path, int error) {
    throw AttachmentError("Cannot create file \"" + path + "\". " + SystemText(error));
}

[[noreturn]] void ThrowCannotWrite(const std::string& path, int error) {
    throw AttachmentError("Cannot write file \"" + path + "\". " + SystemText(error));
}

}  // namespace

std::string AttachmentFileName(std::string_view nome) {
    nome = nome.substr(0, nome.find('\0'));
    std::size_t separator = nome.find_last_of("/\\");
    if (separator != std::string_view::npos) nome.remove_prefix(separator + 1);
    if (nome.empty() || nome == "." || nome == "..") return kFallbackFileName;
    return std::string(nome);
}

AttachmentFiles::AttachmentFiles(std::string root, std::string owner)
    : root_(std::move(root)), owner_(std::move(owner)) {}

AttachmentFiles::~AttachmentFiles() { Clear(); }

std::string AttachmentFiles::NewObjectDirectory() {
    if (::mkdir(root_.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
        ThrowCannotCreate(root_.substr(0, root_.find_last_not_of('/') + 1), errno);
    }
    std::string directory = root_ + kObjectDirectoryPattern;
    if (::mkdtemp(directory.data()) == nullptr) ThrowCannotCreate(directory, errno);
    directories_.push_back(directory);
    // Held while the row is sent, so that another cycle's clean-up leaves the directory alone.
    UniqueFd lock(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock || ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) ThrowCannotCreate(directory, errno);
    locks_.push_back(std::move(lock));
    return directory + "/";
}

void AttachmentFiles::RebuildAttachment(db::Database& db, const std::string& uid) {
    db::Statement& nameQuery = db.GetNome();
    nameQuery.SetString("uid", uid);
    nameQuery.Open();
    if (nameQuery.Empty()) {
        nameQuery.Close();
        WriteWarning(kServiceSource, "Attachment \"" + uid + "\"" + (owner_.empty() ? "" : " of " + owner_) +
                                         " skipped: no stored object has this UID");
        return;
    }
    std::string fileName = AttachmentFileName(nameQuery.ReadText("Nome"));
    nameQuery.Close();

    std::string path = NewObjectDirectory() + fileName;
    paths_.push_back(path);
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (file.Get() < 0) ThrowCannotCreate(path, errno);
    WriteChunks(db, uid, path, file.Get());
    if (int error = file.Close(); error != 0) ThrowCannotWrite(path, error);
}

void AttachmentFiles::WriteChunks(db::Database& db, const std::string& uid, const std::string& path,
                                  int fd) {
    db::Statement& chunks = db.Ficheiros();
    // Chunks are numbered from 1; the first missing number ends the object. One chunk number's
    // rows are in memory at a time.
    for (std::int32_t number = 1;; ++number) {
        chunks.SetString("uid", uid);
        chunks.SetInteger("id", number);
        chunks.Open();
        if (chunks.Empty()) {
            chunks.Close();
            return;
        }
        for (; !chunks.AtEnd(); chunks.Next()) {
            try {
                chunks.AppendToFile("package", fd);
            } catch (const PlatformError& e) {
                chunks.Close();
                ThrowCannotWrite(path, e.Code());
            }
        }
        chunks.Close();
    }
}

void AttachmentFiles::Clear() noexcept {
    for (const std::string& path : paths_) ::unlink(path.c_str());
    for (const std::string& directory : directories_) ::rmdir(directory.c_str());
    paths_.clear();
    directories_.clear();
    locks_.clear();
}

}  // namespace tessel::cycle
