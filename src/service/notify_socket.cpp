#include "service/notify_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "util/unique_fd.h"
#include "util/error.h"

namespace tessel::service {
namespace {

struct UnixAddress {
    sockaddr_un Address{};
    socklen_t Length = 0;
};

UnixAddress ResolveAddress(const std::string& address) {
    if (address.empty() || (address[0] != '/' && address[0] != '@')) {
        throw PlatformError(EAFNOSUPPORT);
    }
    UnixAddress result;
    result.Address.sun_family = AF_UNIX;
    if (address.size() > sizeof result.Address.sun_path) throw PlatformError(ENAMETOOLONG);
    std::memcpy(result.Address.sun_path, address.data(), address.size());
    // An abstract name starts with a NUL byte and is not terminated.
    if (address[0] == '@') result.Address.sun_path[0] = '\0';
    result.Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    return result;
}

}  // namespace

void SendNotifyDatagram(const std::string& address, const std::string& text) {
    UnixAddress target = ResolveAddress(address);
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) throw PlatformError(errno);
    ssize_t sent = ::sendto(socket.Get(), text.data(), text.size(), 0,
                            reinterpret_cast<const sockaddr*>(&target.Address), target.Length);
    if (sent < 0) throw PlatformError(errno);
}

NotifySocketChannel NotifySocketChannel::FromEnvironment() {
    const char* address = std::getenv("NOTIFY_SOCKET");
    return NotifySocketChannel(address == nullptr ? std::string() : std::string(address));
}

void NotifySocketChannel::Send(const StatusReport& report) {
    if (address_.empty()) return;
    SendNotifyDatagram(address_, ComposeNotifyDatagram(report));
}

}  // namespace tessel::service
