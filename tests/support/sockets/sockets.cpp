#include "velmor/test/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <thread>

namespace velmor::test {
namespace {

// The socket address of an address text and a port; false when the text is no address.
bool Address(const std::string& text, int port, sockaddr_storage& where, socklen_t& size) {
    where = {};
    if (text.find(':') != std::string::npos) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(where);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof v6;
        return ::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(where);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof v4;
    return ::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1;
}

int Fail(int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// Runs `make` on a thread inside namespace `netns` and returns what it made; -1 when the thread
// could not enter the namespace.
template <typename Make>
int MadeIn(const std::string& netns, Make make) {
    int result = -1;
    int error = 0;
    std::thread worker([&] {
        result = EnterNetworkNamespace(netns) ? make() : -1;
        error = errno;
    });
    worker.join();
    errno = error;
    return result;
}

}  // namespace

bool EnterNetworkNamespace(const std::string& name) {
    const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

int OpenListener(const std::string& address, int port, bool v6only, int backlog) {
    sockaddr_storage where{};
    socklen_t size = 0;
    if (!Address(address, port, where, size)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    const int only = v6only ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (where.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), size) != 0 || ::listen(fd, backlog) != 0)
        return Fail(fd);
    return fd;
}

namespace {

// A TCP socket bound as OpenConnection binds it, its connect begun (non-blocking: EINPROGRESS is
// no failure); -1 on failure.
int BeginConnection(const std::string& address, int port, const std::string& source, int source_port,
                    bool nonblocking) {
    sockaddr_storage to{};
    socklen_t size = 0;
    if (!Address(address, port, to, size)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    if (!source.empty() || source_port != 0) {
        const bool v6 = to.ss_family == AF_INET6;
        sockaddr_storage from{};
        socklen_t from_size = 0;
        if (!Address(source.empty() ? (v6 ? "::" : "0.0.0.0") : source, source_port, from, from_size)) {
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        const int on = 1;
        if (source_port != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), from_size) != 0) return Fail(fd);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), size) != 0 &&
        !(nonblocking && errno == EINPROGRESS))
        return Fail(fd);
    return fd;
}

}  // namespace

int OpenConnection(const std::string& address, int port, const std::string& source, int source_port) {
    return BeginConnection(address, port, source, source_port, false);
}

bool ConnectsWithin(const std::string& netns, const std::string& address, int port,
                    std::chrono::milliseconds timeout, const std::string& source) {
    bool connected = false;
    MadeIn(netns, [&] {
        const int fd = BeginConnection(address, port, source, 0, true);
        if (fd < 0) return -1;
        pollfd entry{fd, POLLOUT, 0};
        int error = -1;
        socklen_t length = sizeof error;
        connected = ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        ::close(fd);
        return 0;
    });
    return connected;
}

int ListenIn(const std::string& netns, const std::string& address, int port) {
    return MadeIn(netns, [&] { return OpenListener(address, port); });
}

int ConnectFrom(const std::string& netns, const std::string& address, int port, const std::string& source) {
    return MadeIn(netns, [&] { return OpenConnection(address, port, source); });
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
