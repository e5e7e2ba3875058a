#include "util/host_name.h"

#include <climits>
#include <cstring>

#include <sys/utsname.h>
#include <unistd.h>

namespace tessel {

namespace {

std::string ReadMachineName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, HOST_NAME_MAX) == 0 && name[0] != '\0') {
        return std::string(name, ::strnlen(name, HOST_NAME_MAX));
    }
    utsname node{};
    if (::uname(&node) == 0) {
        return std::string(node.nodename, ::strnlen(node.nodename, sizeof node.nodename));
    }
    return {};
}

}  // namespace

const std::string& MachineName() {
    static const std::string name = ReadMachineName();
    return name;
}

}  // namespace tessel
