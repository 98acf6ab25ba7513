#pragma once

// The socket helpers of velmor/test/sockets.h in the form the connection table tests use: blocking
// sockets of the calling thread's namespace, owned by an Fd, and every failure fails the test.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "velmor/platform/connection_table.h"
#include "velmor/test/sockets.h"

namespace velmor::test {

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

// A socket of any type bound to `address` (SO_REUSEADDR).
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
    Fd fd(OpenListener(address, port));
    EXPECT_TRUE(fd.valid()) << "listen " << address << ":" << port << ": " << std::strerror(errno);
    return fd;
}

// An IPv6 listener; with `v6only` false it also takes IPv4 connections (as ::ffff:a.b.c.d).
inline Fd Listen6(const char* address, std::uint16_t port, bool v6only) {
    Fd fd(OpenListener(address, port, v6only));
    EXPECT_TRUE(fd.valid()) << "listen [" << address << "]:" << port << ": " << std::strerror(errno);
    return fd;
}

// A blocking IPv4 connect, from `local_port` when it is not 0.
inline Fd Connect4(const char* address, std::uint16_t port, std::uint16_t local_port = 0) {
    Fd fd(OpenConnection(address, port, "", local_port));
    EXPECT_TRUE(fd.valid()) << "connect " << address << ":" << port << ": " << std::strerror(errno);
    return fd;
}

inline Fd Connect6(const char* address, std::uint16_t port, std::uint16_t local_port = 0) {
    Fd fd(OpenConnection(address, port, "", local_port));
    EXPECT_TRUE(fd.valid()) << "connect [" << address << "]:" << port << ": " << std::strerror(errno);
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
