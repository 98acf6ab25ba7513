#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "velmor/platform/address_text.h"

namespace velmor::platform {

// inet_ntop and inet_pton convert only; they need no Windows Sockets session.

std::size_t FormatIpv6(const std::uint32_t (&address)[4], char (&out)[kIpv6TextSize]) {
    in6_addr bytes{};
    std::memcpy(&bytes, address, sizeof bytes);
    if (::inet_ntop(AF_INET6, &bytes, out, sizeof out) == nullptr) {
        out[0] = '\0';
        return 0;
    }
    return ::strnlen(out, sizeof out);
}

std::optional<Ipv6Address> ParseIpv6Text(std::string_view text) {
    // inet_pton reads up to a NUL, so a text with one inside (or too long to be an address) is none.
    if (text.empty() || text.size() >= kIpv6TextSize || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    char terminated[kIpv6TextSize] = {};
    std::memcpy(terminated, text.data(), text.size());
    in6_addr bytes{};
    if (::inet_pton(AF_INET6, terminated, &bytes) != 1) return std::nullopt;
    Ipv6Address address{};
    std::memcpy(address.data(), &bytes, sizeof bytes);
    return address;
}

std::optional<std::string> CanonicalIpv6Text(std::string_view text) {
    const auto address = ParseIpv6Text(text);
    if (!address) return std::nullopt;
    std::uint32_t words[4];
    std::memcpy(words, address->data(), sizeof words);
    char out[kIpv6TextSize];
    const std::size_t length = FormatIpv6(words, out);
    if (length == 0) return std::nullopt;
    return std::string(out, length);
}

}  // namespace velmor::platform
