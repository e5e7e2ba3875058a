// Removing what a killed process left in the attachment directory.
#pragma once

#include <string>

namespace tessel::cycle {

// kObjectDirectoryPrefix - every stored object is rebuilt in a directory whose name starts so.
inline constexpr const char* kObjectDirectoryPrefix = "obj-";

// RemoveLeftoverAttachments - removes the object directories under root, and the files in them,
// that no running process holds (a live one keeps an exclusive lock on its directory while it
// sends). A link or file planted under such a name is removed itself, never followed. A missing
// root, or one that is not the service's alone (see OwnershipProblem), is nothing to do; a failure
// is a warning record naming the path that failed. Never throws.
void RemoveLeftoverAttachments(const std::string& root) noexcept;

}  // namespace tessel::cycle
