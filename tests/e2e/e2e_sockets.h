#pragma once

#include <chrono>
#include <string>

namespace velmor::test {

// Small socket helpers for end-to-end tests. Sockets belong to the namespace they were made in,
// so each helper makes its socket on a thread inside the named namespace.

// A listening TCP socket on `address`:`port` ("0.0.0.0", or "::" for a dual-stack IPv6 socket that
// also accepts IPv4). Returns the descriptor or -1.
int ListenIn(const std::string& netns, const std::string& address, int port);
// A connected TCP socket to `address`:`port` (IPv4 or IPv6 text), made in `netns` and bound to
// `source` when that is given; -1 on failure.
int ConnectFrom(const std::string& netns, const std::string& address, int port,
                const std::string& source = "");
// Accepts one pending connection, waiting at most `timeout`; -1 on failure.
int AcceptOne(int listener, std::chrono::milliseconds timeout);
// The local port of a socket in host order.
int LocalPort(int fd);
// True when the peer reset or aborted the connection within `timeout` (a read fails with a
// reset, or the socket reports an error); false when it stayed up for that long.
bool SeesReset(int fd, std::chrono::milliseconds timeout);
// True when a byte sent on `from` arrives on `to` within a second.
bool CanExchange(int from, int to);
void CloseSocket(int fd);

}  // namespace velmor::test
