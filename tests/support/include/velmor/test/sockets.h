#pragma once

// The socket helpers of the tests and the benchmarks: plain system calls and no test framework, so
// the benchmarks use the same ones. A helper that fails returns -1 (or an empty Fd) with errno set.

#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>

namespace velmor::test {

// A descriptor closed when it goes.
class Fd final {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Moves the calling thread into the network namespace `name` (made with `ip netns add`).
bool EnterNetworkNamespace(const std::string& name);

// A listening TCP socket on `address`:`port` (SO_REUSEADDR), in the calling thread's namespace:
// IPv4 text, or IPv6 text ("::" for every address) that also takes IPv4 unless `v6only`.
int OpenListener(const std::string& address, int port, bool v6only = false, int backlog = 1024);
// A TCP socket connected to `address`:`port` (IPv4 or IPv6 text; blocking), bound first to the
// address `source` and the port `source_port` when either is given (SO_REUSEADDR for a port).
int OpenConnection(const std::string& address, int port, const std::string& source = "", int source_port = 0);

// The same two, made on a thread inside the network namespace `netns` (a socket stays in the
// namespace it was made in); the listener is dual-stack for "::".
int ListenIn(const std::string& netns, const std::string& address, int port);
int ConnectFrom(const std::string& netns, const std::string& address, int port,
                const std::string& source = "");
// Whether a TCP handshake from `netns` (from `source`, else the address the route picks) with
// `address`:`port` completes within `timeout`; the connection is closed again.
bool ConnectsWithin(const std::string& netns, const std::string& address, int port,
                    std::chrono::milliseconds timeout, const std::string& source = "");

// Accepts one pending connection, waiting at most `timeout`.
int AcceptOne(int listener, std::chrono::milliseconds timeout);
// The local port of a socket in host order.
int LocalPort(int fd);
// True when the peer reset or aborted the connection within `timeout` (a read fails with a reset,
// or the socket reports an error); false when it stayed up for that long.
bool SeesReset(int fd, std::chrono::milliseconds timeout);
// True when a byte sent on `from` arrives on `to` within a second.
bool CanExchange(int from, int to);
void CloseSocket(int fd);

}  // namespace velmor::test
