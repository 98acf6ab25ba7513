#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::platform {

// The longest IPv6 address text with its NUL ("ffff:...:255.255.255.255").
inline constexpr std::size_t kIpv6TextSize = 46;

// An IPv6 address as four 32-bit words in network byte order, the way the kernel reports it.
using Ipv6Address = std::array<std::uint32_t, 4>;

// Writes the RFC 5952 text of `address` ("fd00:77::2", "::1") into `out`, NUL-terminated, and
// returns its length (0 if the system cannot format it). Allocates nothing.
std::size_t FormatIpv6(const std::uint32_t (&address)[4], char (&out)[kIpv6TextSize]);

// The address of an IPv6 text in any form the system reads ("FD00:0077:0::2", "::ffff:1.2.3.4");
// nullopt for anything else, dotted IPv4 text included.
[[nodiscard]] std::optional<Ipv6Address> ParseIpv6Text(std::string_view text);

// The RFC 5952 form of an IPv6 text; nullopt when `text` is no IPv6 address.
std::optional<std::string> CanonicalIpv6Text(std::string_view text);

}  // namespace velmor::platform
