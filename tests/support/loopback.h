// TCP sockets on the loopback address for test peers.
#pragma once

#include <string_view>

namespace tessel::test {

// BindLoopback - a TCP socket bound to 127.0.0.1:port (0: a free port the system picks), listening
// with backlog when backlog > 0. Returns the descriptor (the caller closes it), or -1 on failure.
int BindLoopback(int port, int backlog);

// BoundPort - the local port of a bound socket, or 0 when it cannot be read.
int BoundPort(int fd);

// SendAll - a blocking write of all of bytes to the socket fd; false when the peer is gone.
bool SendAll(int fd, std::string_view bytes);

// UnusedLoopbackPort - a port on 127.0.0.1 that nothing listens on at the time of the call.
int UnusedLoopbackPort();

}  // namespace tessel::test
