// Opening a directory that a process running as root may write into without being led elsewhere.
#pragma once

#include <string>

#include "util/unique_fd.h"

namespace tessel {

// OpenTrustedDirectory - a descriptor of directory, reached one name at a time from "/" (or the
// working directory for a relative path), refused when another user could change where it leads or
// what it holds: a directory on the way (itself included) that group or others may write without
// the sticky bit; in a directory they may write with the sticky bit, a name that belongs to neither
// root nor this process's user (the sticky bit protects only the owner's names); a symbolic link
// that belongs to neither. Throws tessel::Error naming directory and the reason.
UniqueFd OpenTrustedDirectory(const std::string& directory);

}  // namespace tessel
