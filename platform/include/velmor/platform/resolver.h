#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::platform {

// Name resolution through the system's name service (hosts file, DNS, ...). Both calls block for
// as long as the name service takes, so the live lists never call them on the user-interface
// thread: the lookup helper program does.

// The address of a dotted IPv4 text, read the way the classic inet_addr reads it (one to four
// parts, decimal, octal with a leading 0 or hexadecimal with 0x), in network byte order.
// Nothing is resolved. nullopt when the text is no such address.
[[nodiscard]] std::optional<std::uint32_t> ParseIpv4Text(std::string_view text);

// The first IPv4 address of `name`, in network byte order; nullopt when there is none.
std::optional<std::uint32_t> ResolveFirstIpv4(std::string_view name);

// The name that the name service gives for the IPv4 address `address` (network byte order);
// nullopt when it knows none (a numeric answer does not count as a name).
std::optional<std::string> ReverseLookupIpv4(std::uint32_t address);

// The same for an IPv6 address (four words in network byte order): the name the name service
// gives for its ip6.arpa entry.
std::optional<std::string> ReverseLookupIpv6(const std::uint32_t (&address)[4]);

}  // namespace velmor::platform
