// Paths of trusted CA certificates named by settings: checked before a library opens them.
#pragma once

#include <string>

namespace tessel {

// CaPathProblem - why path cannot serve as a file or directory of CA certificates, or empty when it
// can. It is opened without blocking (a FIFO must not hang the caller) and must be a regular file or
// a directory. Never throws (but std::bad_alloc).
std::string CaPathProblem(const std::string& path);

}  // namespace tessel
