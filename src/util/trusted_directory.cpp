#include "util/trusted_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/error.h"

namespace tessel {
namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

bool IsTrustedOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

bool OthersMayWrite(const struct stat& info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

[[noreturn]] void Refuse(const std::string& directory, const std::string& reason) {
    throw Error("Cannot use the directory " + directory + ": " + reason);
}

// CheckDirectory - refuses a directory that others may write without the sticky bit; returns
// whether others may write it (with the sticky bit, then).
bool CheckDirectory(int fd, const std::string& directory, const std::string& shown) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) Refuse(directory, shown + " cannot be examined: " + SystemText(errno));
    if (OthersMayWrite(info) && (info.st_mode & S_ISVTX) == 0) {
        Refuse(directory, shown + " may be written by other users");
    }
    return OthersMayWrite(info);
}

}  // namespace

UniqueFd OpenTrustedDirectory(const std::string& directory) {
    const bool absolute = !directory.empty() && directory.front() == '/';
    UniqueFd current(::open(absolute ? "/" : ".", kOpenDirectory));
    std::string shown = absolute ? "/" : ".";
    if (!current) Refuse(directory, shown + " cannot be opened: " + SystemText(errno));
    std::size_t start = 0;
    while (start <= directory.size()) {
        std::size_t end = directory.find('/', start);
        if (end == std::string::npos) end = directory.size();
        const std::string name = directory.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;

        const bool shared = CheckDirectory(current.Get(), directory, shown);
        shown += (shown.back() == '/' ? "" : "/") + name;
        struct stat entry {};
        if (::fstatat(current.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            Refuse(directory, shown + ": " + SystemText(errno));
        }
        const bool link = S_ISLNK(entry.st_mode);
        if ((shared || link) && !IsTrustedOwner(entry.st_uid)) {
            Refuse(directory, shown + (link ? " is a link" : " is a directory") + " of user " +
                                  std::to_string(entry.st_uid) + ", which the service does not follow");
        }
        UniqueFd next(::openat(current.Get(), name.c_str(), kOpenDirectory | (link ? 0 : O_NOFOLLOW)));
        if (!next) Refuse(directory, shown + " cannot be opened: " + SystemText(errno));
        current = std::move(next);
    }
    CheckDirectory(current.Get(), directory, shown);
    return current;
}

}  // namespace tessel
