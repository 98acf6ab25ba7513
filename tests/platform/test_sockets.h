#pragma once

// Small blocking-socket helpers for the connection table tests. Everything fails the test loudly.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "velmor/platform/connection_table.h"

namespace velmor::test {

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
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

inline sockaddr_in Ipv4(const char* address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    EXPECT_EQ(::inet_pton(AF_INET, address, &result.sin_addr), 1) << address;
    return result;
}

inline sockaddr_in6 Ipv6(const char* address, std::uint16_t port) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    EXPECT_EQ(::inet_pton(AF_INET6, address, &result.sin6_addr), 1) << address;
    return result;
}

template <typename Address>
Fd Bound(int family, int type, const Address& address) {
    Fd fd(::socket(family, type | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << "bind: " << std::strerror(errno);
    return fd;
}

inline Fd Listen4(const char* address, std::uint16_t port) {
    Fd fd = Bound(AF_INET, SOCK_STREAM, Ipv4(address, port));
    EXPECT_EQ(::listen(fd.get(), 1024), 0) << std::strerror(errno);
    return fd;
}

// An IPv6 listener; with `v6only` false it also takes IPv4 connections (as ::ffff:a.b.c.d).
inline Fd Listen6(const char* address, std::uint16_t port, bool v6only) {
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    const int on = 1;
    const int only = v6only ? 1 : 0;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    const sockaddr_in6 local = Ipv6(address, port);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0)
        << std::strerror(errno);
    EXPECT_EQ(::listen(fd.get(), 1024), 0) << std::strerror(errno);
    return fd;
}

// A blocking IPv4 connect, from `local_port` when it is not 0.
inline Fd Connect4(const char* address, std::uint16_t port, std::uint16_t local_port = 0) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    if (local_port != 0) {
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in local = Ipv4("0.0.0.0", local_port);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0)
            << std::strerror(errno);
    }
    const sockaddr_in remote = Ipv4(address, port);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote), 0)
        << "connect " << address << ":" << port << ": " << std::strerror(errno);
    return fd;
}

inline Fd Connect6(const char* address, std::uint16_t port, std::uint16_t local_port = 0) {
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    if (local_port != 0) {
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in6 local = Ipv6("::", local_port);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0)
            << std::strerror(errno);
    }
    const sockaddr_in6 remote = Ipv6(address, port);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote), 0)
        << "connect [" << address << "]:" << port << ": " << std::strerror(errno);
    return fd;
}

inline Fd Accept(const Fd& listener) {
    Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << "accept: " << std::strerror(errno);
    return fd;
}

// Waits up to two seconds for data or an error; returns the errno of a failed read, 0 on data or
// end of stream, -1 when nothing happened.
inline int ReadError(const Fd& fd) {
    timeval timeout{2, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte = 0;
    const ssize_t received = ::recv(fd.get(), &byte, 1, 0);
    if (received >= 0) return 0;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : errno;
}

inline std::uint32_t AddressField(const char* address) {
    return Ipv4(address, 0).sin_addr.s_addr;
}
inline std::uint32_t PortField(std::uint16_t port) {
    return htons(port);
}

// Every row as text, "state local:port remote:port", IPv6 addresses in brackets.
inline std::vector<std::string> AllRows(const platform::TcpTable& table) {
    std::vector<std::string> result;
    for (const platform::TcpRow& row : table.rows) {
        const auto text = [&](bool local) {
            char buffer[INET6_ADDRSTRLEN] = {};
            const std::uint16_t port =
                ntohs(static_cast<std::uint16_t>(local ? row.dwLocalPort : row.dwRemotePort));
            if (row.family == platform::AddressFamily::kIpv6) {
                ::inet_ntop(AF_INET6, local ? row.dwLocalAddr6 : row.dwRemoteAddr6, buffer, sizeof buffer);
                return "[" + std::string(buffer) + "]:" + std::to_string(port);
            }
            const std::uint32_t address = local ? row.dwLocalAddr : row.dwRemoteAddr;
            ::inet_ntop(AF_INET, &address, buffer, sizeof buffer);
            return std::string(buffer) + ":" + std::to_string(port);
        };
        result.push_back(std::to_string(row.dwState) + " " + text(true) + " " + text(false));
    }
    return result;
}

}  // namespace velmor::test
