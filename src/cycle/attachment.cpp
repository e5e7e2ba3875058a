#include "cycle/attachment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "cycle/attachment_leftovers.h"
#include "cycle/record_kinds.h"
#include "util/event_log.h"
#include "util/record_text.h"

namespace tessel::cycle {
namespace {

constexpr const char* kFallbackFileName = "attachment";
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
// The name of one stored object's directory: kObjectDirectoryPrefix and random letters and digits.
constexpr std::size_t kObjectDirectoryRandomChars = 6;
constexpr int kObjectDirectoryAttempts = 100;

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void ThrowCannotCreate(const std::string& path, int error) {
    throw AttachmentError("Cannot create file \"" + RecordText(path) + "\". " + SystemText(error));
}

[[noreturn]] void ThrowCannotWrite(const std::string& path, int error) {
    throw AttachmentError("Cannot write file \"" + RecordText(path) + "\". " + SystemText(error));
}

std::string RandomObjectDirectoryName() {
    static constexpr std::string_view kSymbols =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static std::mt19937 source{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, kSymbols.size() - 1);
    std::string name = kObjectDirectoryPrefix;
    for (std::size_t i = 0; i < kObjectDirectoryRandomChars; ++i) name += kSymbols[pick(source)];
    return name;
}

// ProcPath - the path that reaches name inside the open directory fd, whatever happens to the
// directory's own path.
std::string ProcPath(int fd, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(fd) + "/" + name;
}

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned int>(mode & 07777));
    return text;
}

}  // namespace

std::string AttachmentFileName(std::string_view nome) {
    nome = nome.substr(0, nome.find('\0'));
    std::size_t separator = nome.find_last_of("/\\");
    if (separator != std::string_view::npos) nome.remove_prefix(separator + 1);
    if (nome.empty() || nome == "." || nome == "..") return kFallbackFileName;
    return std::string(nome);
}

AttachmentDirectory::AttachmentDirectory(std::string root) : root_(std::move(root)) {}

const std::string& AttachmentDirectory::Problem() {
    if (!checked_) {
        problem_ = Open();
        checked_ = true;
        if (!problem_.empty()) {
            problem_ = "The attachment directory \"" + RecordText(root_) + "\" " + problem_;
            fd_.Reset();
        }
    }
    return problem_;
}

std::string OwnershipProblem(const struct stat& info) {
    if (info.st_uid != ::geteuid()) {
        return "belongs to user " + std::to_string(info.st_uid) + ", not to the service's user " +
               std::to_string(::geteuid());
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "may be written by group or others (mode " + Octal(info.st_mode) + ")";
    }
    return "";
}

std::string AttachmentDirectory::Open() {
    std::string path = root_;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string::size_type slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    UniqueFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd) return "cannot be reached: " + SystemText(errno);
    if (::mkdirat(parentFd.Get(), name.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
        return "cannot be created: " + SystemText(errno);
    }
    fd_ = UniqueFd(::openat(parentFd.Get(), name.c_str(), kOpenDirectory));
    if (!fd_) {
        int error = errno;
        struct stat entry{};
        bool link = ::fstatat(parentFd.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISLNK(entry.st_mode);
        if (link || error == ELOOP) return "is a symbolic link";
        if (error == ENOTDIR) return "is not a directory";
        return "cannot be opened: " + SystemText(error);
    }
    struct stat info{};
    if (::fstat(fd_.Get(), &info) != 0) return "cannot be examined: " + SystemText(errno);
    if (std::string problem = OwnershipProblem(info); !problem.empty()) return problem;
    // The files are handed out as paths through the open directory: that needs /proc.
    struct stat viaProc{};
    if (::stat(ProcPath(fd_.Get(), ".").c_str(), &viaProc) != 0 || viaProc.st_dev != info.st_dev ||
        viaProc.st_ino != info.st_ino) {
        return "cannot be reached through /proc/self/fd (is /proc mounted?)";
    }
    return "";
}

AttachmentFiles::AttachmentFiles(const AttachmentDirectory& directory, std::string owner)
    : directory_(directory), owner_(std::move(owner)) {}

AttachmentFiles::~AttachmentFiles() { Clear(); }

AttachmentFiles::ObjectDirectory& AttachmentFiles::NewObjectDirectory() {
    int root = directory_.Fd();
    for (int attempt = 0; attempt < kObjectDirectoryAttempts; ++attempt) {
        std::string name = RandomObjectDirectoryName();
        if (::mkdirat(root, name.c_str(), kDirectoryMode) != 0) {
            if (errno == EEXIST) continue;
            ThrowCannotCreate(directory_.Path() + name, errno);
        }
        // Locked while the row is sent, so that another cycle's clean-up leaves the directory alone.
        UniqueFd fd(::openat(root, name.c_str(), kOpenDirectory));
        if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            ::unlinkat(root, name.c_str(), AT_REMOVEDIR);
            ThrowCannotCreate(directory_.Path() + name, error);
        }
        objects_.push_back({name, std::move(fd), ""});
        return objects_.back();
    }
    ThrowCannotCreate(directory_.Path() + kObjectDirectoryPrefix + "*", EEXIST);
}

void AttachmentFiles::RebuildAttachment(db::Database& db, const std::string& uid) {
    db::Statement& nameQuery = db.GetNome();
    nameQuery.SetString("uid", uid);
    nameQuery.Open();
    if (nameQuery.Empty()) {
        nameQuery.Close();
        WriteRecord({Severity::Warning, kServiceSource,
                     "Attachment \"" + RecordText(uid) + "\"" + (owner_.empty() ? "" : " of " + owner_) +
                         " skipped: no stored object has this UID",
                     MessageIdOf(RecordKind::AttachmentSkipped)});
        return;
    }
    std::string fileName = AttachmentFileName(nameQuery.ReadText("Nome"));
    nameQuery.Close();

    ObjectDirectory& object = NewObjectDirectory();
    std::string shownPath = directory_.Path() + object.Name + "/" + fileName;
    UniqueFd file(::openat(object.Fd.Get(), fileName.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!file) ThrowCannotCreate(shownPath, errno);
    object.FileName = fileName;
    paths_.push_back(ProcPath(object.Fd.Get(), fileName));
    WriteChunks(db, uid, shownPath, file.Get());
    // A delayed write error shows only at close.
    if (::close(file.Release()) != 0) ThrowCannotWrite(shownPath, errno);
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
    for (ObjectDirectory& object : objects_) {
        if (!object.FileName.empty()) ::unlinkat(object.Fd.Get(), object.FileName.c_str(), 0);
        ::unlinkat(directory_.Fd(), object.Name.c_str(), AT_REMOVEDIR);
    }
    paths_.clear();
    objects_.clear();
}

}  // namespace tessel::cycle
