// Writing a file that readers must only ever see whole.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tessel {

// ReplaceFileAt - writes contents to a new temporary file in the directory directoryFd (a name that
// starts with "." and does not end like name, created without following any link), gives it mode,
// and renames it to name in the same directory: a reader sees the old file or the new one, never a
// part. shown names the file in errors. Throws tessel::Error naming shown and the system's reason;
// the temporary file is removed then.
void ReplaceFileAt(int directoryFd, const std::string& name, std::string_view contents, mode_t mode,
                   const std::string& shown);

// ReplaceFile - ReplaceFileAt in path's directory. Throws like it.
void ReplaceFile(const std::string& path, std::string_view contents, mode_t mode);

}  // namespace tessel
