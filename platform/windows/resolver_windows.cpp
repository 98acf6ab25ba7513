#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <memory>

#include "velmor/platform/resolver.h"
#include "wide_text.h"
#include "winsock_session.h"

namespace velmor::platform {
namespace windows {

WinsockSession::WinsockSession() {
    WSADATA data{};
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
    if (started_) ::WSACleanup();
}

}  // namespace windows

namespace {

struct AddrInfoDeleter {
    void operator()(ADDRINFOW* list) const { ::FreeAddrInfoW(list); }
};

// One part of a classic address text: decimal, octal after a leading 0, hexadecimal after 0x.
std::optional<std::uint64_t> ReadPart(std::string_view part) {
    int base = 10;
    if (part.size() > 1 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        part.remove_prefix(2);
        // "0x" alone reads as 0, as the classic reader has it.
        if (part.empty()) return 0;
    } else if (part.size() > 1 && part[0] == '0') {
        base = 8;
        part.remove_prefix(1);
    }
    if (part.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : part) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        if (digit >= base) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return value;
}

}  // namespace

// Windows' own inet_addr answers INADDR_NONE for a bad text and for 255.255.255.255 alike, so the
// classic reading (one to four parts, the last filling the remaining bytes) is done here.
std::optional<std::uint32_t> ParseIpv4Text(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    for (;;) {
        const auto dot = text.find('.');
        if (count == 4) return std::nullopt;
        const auto part = ReadPart(text.substr(0, dot));
        if (!part) return std::nullopt;
        parts[count++] = *part;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    // Every part but the last is one byte; the last fills what is left (24, 16 or 8 bits).
    std::uint32_t value = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF) return std::nullopt;
        value |= static_cast<std::uint32_t>(parts[i]) << (24 - 8 * i);
    }
    const unsigned last_bits = 32 - 8 * static_cast<unsigned>(count - 1);
    if (last_bits < 32 && parts[count - 1] >= (std::uint64_t{1} << last_bits)) return std::nullopt;
    value |= static_cast<std::uint32_t>(parts[count - 1]);
    // Network byte order: the first byte in the lowest address.
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    std::uint32_t network = 0;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

std::optional<std::uint32_t> ResolveFirstIpv4(std::string_view name) {
    if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
    const windows::WinsockSession session;
    if (!session.Started()) return std::nullopt;
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* raw = nullptr;
    if (::GetAddrInfoW(windows::Widen(name).c_str(), nullptr, &hints, &raw) != 0 || raw == nullptr)
        return std::nullopt;
    const std::unique_ptr<ADDRINFOW, AddrInfoDeleter> list(raw);
    for (const ADDRINFOW* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
            entry->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in address{};
        std::memcpy(&address, entry->ai_addr, sizeof address);
        return address.sin_addr.s_addr;
    }
    return std::nullopt;
}

namespace {

std::optional<std::string> NameOf(const sockaddr* address, int size) {
    const windows::WinsockSession session;
    if (!session.Started()) return std::nullopt;
    wchar_t host[NI_MAXHOST] = {};
    // NI_NAMEREQD: an address without a name is a failure, not its own numeric text.
    if (::GetNameInfoW(address, size, host, NI_MAXHOST, nullptr, 0, NI_NAMEREQD) != 0) return std::nullopt;
    return windows::Narrow(host);
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
