// A check of who else may read or change the start-up configuration file.
#pragma once

#include <string>

namespace tessel::config {

// ConfigFileModeWarning - the warning record's text when the file at path (links followed) may be
// read or written by its group or by others: it holds the database password, and whoever can
// change it chooses the database the service trusts. "" when it may not, or when there is no file.
std::string ConfigFileModeWarning(const std::string& path);

}  // namespace tessel::config
