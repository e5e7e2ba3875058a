// Status reports as sd_notify datagrams to the socket named by $NOTIFY_SOCKET.
#pragma once

#include <string>

#include "service/status_report.h"

namespace tessel::service {

// SendNotifyDatagram - sends text as one datagram to the AF_UNIX socket named address: a path
// starting with "/" or an abstract name written with a leading "@". Throws PlatformError
// (EAFNOSUPPORT for any other form, ENAMETOOLONG for a name too long for the address).
void SendNotifyDatagram(const std::string& address, const std::string& text);

// NotifySocketChannel - sends every report to the address given; sends nothing when it is empty.
class NotifySocketChannel : public StatusChannel {
public:
    explicit NotifySocketChannel(std::string address) : address_(std::move(address)) {}

    // FromEnvironment - the channel for $NOTIFY_SOCKET (unset: a channel that sends nothing).
    static NotifySocketChannel FromEnvironment();

    // Send - throws PlatformError when the datagram cannot be sent.
    void Send(const StatusReport& report) override;

private:
    std::string address_;
};

}  // namespace tessel::service
