#include "e2e_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "velmor/test/test_network.h"

namespace velmor::test {

int ListenIn(const std::string& netns, const std::string& address, int port) {
    int result = -1;
    TestNetwork::RunIn(netns, [&] {
        const bool v6 = address.find(':') != std::string::npos;
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        const int one = 1;
        const int zero = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int bound = -1;
        if (v6) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            sockaddr_in6 where{};
            where.sin6_family = AF_INET6;
            where.sin6_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET6, address.c_str(), &where.sin6_addr);
            bound = ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
        } else {
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
            bound = ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
        }
        if (bound != 0 || ::listen(fd, 1024) != 0) {
            ::close(fd);
            return;
        }
        result = fd;
    });
    return result;
}

int ConnectFrom(const std::string& netns, const std::string& address, int port, const std::string& source) {
    int result = -1;
    TestNetwork::RunIn(netns, [&] {
        const bool v6 = address.find(':') != std::string::npos;
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        sockaddr_storage from{};
        sockaddr_storage to{};
        socklen_t size = 0;
        if (v6) {
            auto& where = reinterpret_cast<sockaddr_in6&>(to);
            where.sin6_family = AF_INET6;
            where.sin6_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET6, address.c_str(), &where.sin6_addr);
            auto& local = reinterpret_cast<sockaddr_in6&>(from);
            local.sin6_family = AF_INET6;
            if (!source.empty()) ::inet_pton(AF_INET6, source.c_str(), &local.sin6_addr);
            size = sizeof(sockaddr_in6);
        } else {
            auto& where = reinterpret_cast<sockaddr_in&>(to);
            where.sin_family = AF_INET;
            where.sin_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
            auto& local = reinterpret_cast<sockaddr_in&>(from);
            local.sin_family = AF_INET;
            if (!source.empty()) ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
            size = sizeof(sockaddr_in);
        }
        if ((!source.empty() && ::bind(fd, reinterpret_cast<sockaddr*>(&from), size) != 0) ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), size) != 0) {
            ::close(fd);
            return;
        }
        result = fd;
    });
    return result;
}

int AcceptOne(int listener, std::chrono::milliseconds timeout) {
    pollfd entry{listener, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int LocalPort(int fd) {
    sockaddr_storage where{};
    socklen_t size = sizeof where;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) return -1;
    if (where.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&where)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&where)->sin6_port);
}

bool SeesReset(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) return false;
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n < 0) return errno == ECONNRESET || errno == ECONNABORTED || errno == EPIPE;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return error == ECONNRESET || error == ECONNABORTED;
}

bool CanExchange(int from, int to) {
    const char byte = 'v';
    if (::send(from, &byte, 1, MSG_NOSIGNAL) != 1) return false;
    pollfd entry{to, POLLIN, 0};
    if (::poll(&entry, 1, 1000) != 1) return false;
    char received = 0;
    return ::recv(to, &received, 1, 0) == 1 && received == byte;
}

void CloseSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace velmor::test
