#include "config/config_file_mode.h"

#include <sys/stat.h>

#include <cstdio>

#include "util/record_text.h"

namespace tessel::config {

std::string ConfigFileModeWarning(const std::string& path) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return "";
    mode_t open = info.st_mode & (S_IRWXG | S_IRWXO);
    if ((open & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) == 0) return "";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned int>(info.st_mode & 07777));
    return "The file \"" + RecordText(path) + "\" may be read or written by group or others (mode " +
           mode + "); it holds the database password: make it mode 0600";
}

}  // namespace tessel::config
