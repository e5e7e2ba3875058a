#include "cycle/attachment_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "cycle/attachment.h"
#include "util/error.h"
#include "util/event_log.h"
#include "util/record_text.h"
#include "util/unique_fd.h"

namespace tessel::cycle {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// OpenDirectoryAt - a directory under parent, never through a link; -1 with errno on failure.
int OpenDirectoryAt(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// EntryNames - the names in the directory fd, without "." and ".."; the fd is not consumed.
std::vector<std::string> EntryNames(int fd) {
    std::vector<std::string> names;
    int copy = ::dup(fd);
    if (copy < 0) return names;
    DirHandle dir(::fdopendir(copy));
    if (!dir) {
        ::close(copy);
        return names;
    }
    while (dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

void Warn(const std::string& path, int error) {
    WriteWarning(kServiceSource,
                 "Leftover attachment \"" + RecordText(path) +
                     "\" could not be removed: " + SystemText(error));
}

void RemoveObjectDirectory(int root, const std::string& rootPath, const std::string& name) {
    const std::string path = rootPath + name;
    int fd = OpenDirectoryAt(root, name.c_str());
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            // Not a directory of ours: the entry goes, whatever it points to stays.
            if (::unlinkat(root, name.c_str(), 0) != 0) Warn(path, errno);
        } else if (errno != ENOENT) {
            Warn(path, errno);
        }
        return;
    }
    UniqueFd guard(fd);
    // A process that is still sending from this directory holds its lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return;
    for (const std::string& file : EntryNames(fd)) {
        if (::unlinkat(fd, file.c_str(), 0) != 0) Warn(path + "/" + file, errno);
    }
    if (::unlinkat(root, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) Warn(path, errno);
}

}  // namespace

void RemoveLeftoverAttachments(const std::string& root) noexcept {
    try {
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) Warn(root, errno);
            return;
        }
        UniqueFd guard(fd);
        // In a directory that others may write, an obj- entry may be someone else's: the drain does
        // not use such a directory (and warns), so nothing in it is the service's to remove.
        struct stat info{};
        if (::fstat(fd, &info) != 0 || !OwnershipProblem(info).empty()) return;
        for (const std::string& name : EntryNames(fd)) {
            if (name.rfind(kObjectDirectoryPrefix, 0) == 0) RemoveObjectDirectory(fd, root, name);
        }
    } catch (...) {
        // Only memory can run out here; the next cycle tries again.
    }
}

}  // namespace tessel::cycle
