// Writing a file that readers must only ever see whole.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tessel {

// ReplaceFile - writes contents to a new temporary file in path's directory (a name that starts
// with "." and does not end like path), gives it mode, and renames it to path: a reader sees the
// old file or the new one, never a part. Throws tessel::Error naming path and the system's reason;
// the temporary file is removed then.
void ReplaceFile(const std::string& path, std::string_view contents, mode_t mode);

}  // namespace tessel
