#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

namespace velmor::platform {

// An address of either family: IPv4 in the first four bytes (the rest zero) or IPv6, in network
// byte order.
struct IpAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    auto operator<=>(const IpAddress&) const = default;

    // An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as its IPv4 address; any other as it is.
    IpAddress Unmapped() const;
};

// Dotted IPv4 text or any IPv6 text the system reads; nullopt for anything else (zone ids, prefix
// lengths, spaces included). An IPv4-mapped text stays IPv6 here; Unmapped() folds it.
[[nodiscard]] std::optional<IpAddress> ParseIpAddress(std::string_view text);

// Dotted IPv4 or the RFC 5952 form the connection table writes (inet_ntop's).
std::string FormatIpAddress(const IpAddress& address);

// The text the connection table would show for an address written in any form: dotted for IPv4
// and for IPv4-mapped IPv6, RFC 5952 for IPv6; a zone id ("fe80::1%eth0") is dropped. nullopt when
// `text` is no address.
std::optional<std::string> CanonicalAddressText(std::string_view text);

// An address and the length of its prefix: "10.0.0.0/8", "fd00::/8", or one address ("10.0.0.1",
// "::1") as a prefix of its whole length.
struct AddressRange {
    IpAddress address;  // with the bits past the prefix cleared
    int prefix = 0;     // 0..32 for IPv4, 0..128 for IPv6
    auto operator<=>(const AddressRange&) const = default;

    // An IPv4-mapped address counts as its IPv4 address on either side.
    bool Contains(const IpAddress& candidate) const;
};

// "ADDRESS" or "ADDRESS/LENGTH" with a decimal length no longer than the family's; bits set past the
// prefix are cleared ("10.0.0.1/8" is 10.0.0.0/8). A range written over IPv4-mapped addresses
// ("::ffff:10.0.0.0/104") becomes its IPv4 range. nullopt for anything else.
[[nodiscard]] std::optional<AddressRange> ParseAddressRange(std::string_view text);

// "10.0.0.0/8", or the address alone when the range holds one address.
std::string FormatAddressRange(const AddressRange& range);

// A few ranges searched one by one: lifelines and trusted lists are short.
class AddressRangeSet {
public:
    AddressRangeSet() = default;
    explicit AddressRangeSet(std::vector<AddressRange> ranges) : ranges_(std::move(ranges)) {}

    // False (and nothing added) when `text` is no range.
    bool Add(std::string_view text);
    void Add(const AddressRange& range) { ranges_.push_back(range); }
    void Clear() { ranges_.clear(); }

    bool Contains(const IpAddress& address) const;
    // False for a text that is no address.
    bool Contains(std::string_view address_text) const;

    const std::vector<AddressRange>& ranges() const { return ranges_; }
    bool empty() const { return ranges_.empty(); }

private:
    std::vector<AddressRange> ranges_;
};

}  // namespace velmor::platform
