// Rebuilding stored objects into attachment files, confined to the service's attachment directory.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "util/error.h"
#include "util/unique_fd.h"

namespace tessel::cycle {

// AttachmentError - an attachment file that cannot be created or written; ends the cycle.
class AttachmentError : public Error {
public:
    using Error::Error;
};

// AttachmentFileName - the last path component of a stored name ('/' and '\' both separate; the
// name ends at a NUL byte); "attachment" when that is empty, "." or "..".
std::string AttachmentFileName(std::string_view nome);

// OwnershipProblem - "" when a directory with this status belongs to this process's user and
// neither group nor others may write it; otherwise why not ("belongs to user 1000, ...").
std::string OwnershipProblem(const struct stat& info);

// AttachmentDirectory - the root of the attachment files, held open while the files are written,
// sent and removed, so that every file operation goes through it and never through a path that
// someone could change meanwhile. It is opened without following a link, created (mode 0700) when
// missing, and used only when it belongs to this process's user and neither group nor others may
// write it: otherwise another local user could swap an object directory for a link.
class AttachmentDirectory {
public:
    // root - the directory's path with its trailing slash. Nothing is opened yet.
    explicit AttachmentDirectory(std::string root);

    // Problem - opens the directory on the first call; "" when it is usable, otherwise the reason
    // ("...is a symbolic link", "...belongs to user 1000", ...). Never throws (but bad_alloc).
    const std::string& Problem();
    bool Usable() { return Problem().empty(); }

    const std::string& Path() const { return root_; }
    // Fd - the open directory (-1 before a successful Problem()).
    int Fd() const { return fd_.Get(); }

private:
    std::string Open();

    std::string root_;
    UniqueFd fd_;
    bool checked_ = false;
    std::string problem_;
};

// AttachmentFiles - the files rebuilt for one spool row, in the order they were rebuilt. Each
// stored object gets a directory of its own (mode 0700) under the root, so that no stored name
// can reach outside it and equal names do not collide. The object directories stay open, and the
// paths handed out reach each file through its directory's descriptor (/proc/self/fd/N/name):
// what is sent is what was written. Removes its files and directories in Clear and when
// destroyed (so also when an error ends the cycle).
class AttachmentFiles {
public:
    // directory - usable (see AttachmentDirectory); must outlive this object.
    // owner - how records name the message the files are for ("queued mail 7 to ...").
    explicit AttachmentFiles(const AttachmentDirectory& directory, std::string owner = {});
    ~AttachmentFiles();
    AttachmentFiles(const AttachmentFiles&) = delete;
    AttachmentFiles& operator=(const AttachmentFiles&) = delete;

    // Paths - the paths of the files, for the messages of the row.
    const std::vector<std::string>& Paths() const { return paths_; }

    // RebuildAttachment - writes the object uid (its name from objectos_id, its chunks 1, 2, ...
    // from ficheiros up to the first missing number) into a new file and lists it. A uid without
    // a name is skipped with a warning record. Throws AttachmentError ("Cannot create file
    // \"%s\". %s") when the file cannot be created or written, DatabaseError / StatementError.
    void RebuildAttachment(db::Database& db, const std::string& uid);

    // Clear - deletes the files and their directories; failures are ignored. Never throws.
    void Clear() noexcept;

private:
    // ObjectDirectory - one stored object's directory under the root, and its file.
    struct ObjectDirectory {
        std::string Name;
        UniqueFd Fd;  // also holds the directory's lock (see RemoveLeftoverAttachments)
        std::string FileName;  // empty until the file exists
    };

    ObjectDirectory& NewObjectDirectory();
    void WriteChunks(db::Database& db, const std::string& uid, const std::string& path, int fd);

    const AttachmentDirectory& directory_;
    std::string owner_;
    std::vector<std::string> paths_;
    std::vector<ObjectDirectory> objects_;
};

}  // namespace tessel::cycle
