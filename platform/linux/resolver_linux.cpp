#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "velmor/platform/resolver.h"

namespace velmor::platform {
namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

bool IsAddressCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' ||
           c == 'X' || c == '.';
}

}  // namespace

std::optional<std::uint32_t> ParseIpv4Text(std::string_view text) {
    // glibc's inet_aton also takes anything after a blank ("10.1.2.3 junk"); the classic reader
    // does not, so only address characters reach it (and no NUL that would cut the text short).
    if (text.empty() || text.size() > 64) return std::nullopt;
    for (const char c : text) {
        if (!IsAddressCharacter(c)) return std::nullopt;
    }
    const std::string terminated(text);
    in_addr address{};
    if (::inet_aton(terminated.c_str(), &address) == 0) return std::nullopt;
    return address.s_addr;
}

std::optional<std::uint32_t> ResolveFirstIpv4(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const std::string terminated(name);
    if (::getaddrinfo(terminated.c_str(), nullptr, &hints, &raw) != 0 || raw == nullptr) return std::nullopt;
    const std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
            entry->ai_addrlen < static_cast<socklen_t>(sizeof(sockaddr_in))) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ai_addr, sizeof address);
        return address.sin_addr.s_addr;
    }
    return std::nullopt;
}

namespace {

std::optional<std::string> NameOf(const sockaddr* address, socklen_t size) {
    char host[NI_MAXHOST] = {};
    // NI_NAMEREQD: an address without a name is a failure, not its own numeric text.
    const int result = ::getnameinfo(address, size, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (result != 0) return std::nullopt;
    return std::string(host, ::strnlen(host, sizeof host));
}

}  // namespace

std::optional<std::string> ReverseLookupIpv4(std::uint32_t address) {
    sockaddr_in socket_address{};
    socket_address.sin_family = AF_INET;
    socket_address.sin_addr.s_addr = address;
    return NameOf(reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
}

std::optional<std::string> ReverseLookupIpv6(const std::uint32_t (&address)[4]) {
    sockaddr_in6 socket_address{};
    socket_address.sin6_family = AF_INET6;
    std::memcpy(&socket_address.sin6_addr, address, sizeof socket_address.sin6_addr);
    return NameOf(reinterpret_cast<const sockaddr*>(&socket_address), sizeof socket_address);
}

}  // namespace velmor::platform
