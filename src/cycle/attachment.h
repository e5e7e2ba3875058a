// Rebuilding stored objects into attachment files, confined to the service's attachment directory.
#pragma once

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

// AttachmentFiles - the files rebuilt for one spool row, in the order they were rebuilt. Each
// stored object gets a directory of its own (mode 0700) under the root, so that no stored name
// can reach outside it and equal names do not collide. Removes its files and directories in
// Clear and when destroyed (so also when an error ends the cycle).
class AttachmentFiles {
public:
    // root - the attachment directory with its trailing slash; created (mode 0700) when missing.
    // owner - how records name the message the files are for ("queued mail 7 to ...").
    explicit AttachmentFiles(std::string root, std::string owner = {});
    ~AttachmentFiles();
    AttachmentFiles(const AttachmentFiles&) = delete;
    AttachmentFiles& operator=(const AttachmentFiles&) = delete;

    // Paths - the full paths of the files, for the messages of the row.
    const std::vector<std::string>& Paths() const { return paths_; }

    // RebuildAttachment - writes the object uid (its name from objectos_id, its chunks 1, 2, ...
    // from ficheiros up to the first missing number) into a new file and lists it. A uid without
    // a name is skipped with a warning record. Throws AttachmentError ("Cannot create file
    // \"%s\". %s") when the file cannot be created or written, DatabaseError / StatementError.
    void RebuildAttachment(db::Database& db, const std::string& uid);

    // Clear - deletes the files and their directories; failures are ignored. Never throws.
    void Clear() noexcept;

private:
    std::string NewObjectDirectory();
    void WriteChunks(db::Database& db, const std::string& uid, const std::string& path, int fd);

    std::string root_;
    std::string owner_;
    std::vector<std::string> paths_;
    std::vector<std::string> directories_;
    std::vector<UniqueFd> locks_;  // one per directory, held until Clear
};

}  // namespace tessel::cycle
