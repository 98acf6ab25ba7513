// The text forms of ports and addresses declared in module_tcp_table.h. They sit in a file of their
// own so that Hostlet links them with the name routines, without the rest of the engine.
#include <array>
#include <charconv>

#include "velmor/engine/module_tcp_table.h"
#include "velmor/platform/address_text.h"

namespace velmor::engine {

bool IsUnlistedAddress(std::string_view address) {
    return address == "0.0.0.0" || address == "127.0.0.1" || address == "::" || address == "::1";
}

std::uint16_t PortOf(std::uint32_t port_field) {
    // The first two bytes in memory hold the port, most significant byte first.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&port_field);
    return static_cast<std::uint16_t>((static_cast<unsigned>(bytes[0]) << 8) | bytes[1]);
}

std::string PortToString(std::uint32_t port_field) {
    return std::to_string(PortOf(port_field));
}

std::string IpToString(std::uint32_t address_field) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address_field);
    std::array<char, 16> text{};
    char* out = text.data();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *out++ = '.';
        out = std::to_chars(out, text.data() + text.size(), bytes[i]).ptr;
    }
    return std::string(text.data(), out);
}

std::string Ipv6ToString(const std::uint32_t (&address)[4]) {
    char text[platform::kIpv6TextSize];
    return std::string(text, platform::FormatIpv6(address, text));
}

void RemoteAddressText(const TcpRow& row, std::string& out) {
    if (row.family == platform::AddressFamily::kIpv6) {
        char text[platform::kIpv6TextSize];
        out.assign(text, platform::FormatIpv6(row.dwRemoteAddr6, text));
        return;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(&row.dwRemoteAddr);
    std::array<char, 16> text{};
    char* end = text.data();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *end++ = '.';
        end = std::to_chars(end, text.data() + text.size(), bytes[i]).ptr;
    }
    out.assign(text.data(), end);
}

std::string RemoteAddressText(const TcpRow& row) {
    std::string text;
    RemoteAddressText(row, text);
    return text;
}

}  // namespace velmor::engine
