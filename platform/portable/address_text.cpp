// Address texts and ranges: everything but the system's own conversion between text and bytes,
// which address_bytes.h hands in per system.
#include "velmor/platform/address_text.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "address_bytes.h"

namespace velmor::platform {

std::size_t FormatIpv6(const std::uint32_t (&address)[4], char (&out)[kIpv6TextSize]) {
    if (!FormatAddressBytes(true, address, out, sizeof out)) {
        out[0] = '\0';
        return 0;
    }
    return std::char_traits<char>::length(out);
}

std::optional<Ipv6Address> ParseIpv6Text(std::string_view text) {
    // The system reads up to a NUL, so a text with one inside (or too long to be an address) is none.
    if (text.empty() || text.size() >= kIpv6TextSize || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    char terminated[kIpv6TextSize] = {};
    std::memcpy(terminated, text.data(), text.size());
    Ipv6Address address{};
    if (!ParseAddressBytes(true, terminated, address.data())) return std::nullopt;
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

namespace velmor::platform {
namespace {

constexpr std::array<std::uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const IpAddress& address) {
    return address.v6 && std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), address.bytes.begin());
}

// Clears every bit past the first `prefix`.
void Mask(IpAddress& address, int prefix) {
    for (int bit = prefix; bit < 128; ++bit) {
        address.bytes[static_cast<std::size_t>(bit / 8)] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
}

bool SamePrefix(const IpAddress& a, const IpAddress& b, int prefix) {
    const auto whole = static_cast<std::size_t>(prefix / 8);
    if (std::memcmp(a.bytes.data(), b.bytes.data(), whole) != 0) return false;
    const int rest = prefix % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF00u >> rest);
    return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

}  // namespace

IpAddress IpAddress::Unmapped() const {
    if (!IsMapped(*this)) return *this;
    IpAddress v4;
    std::copy_n(bytes.begin() + 12, 4, v4.bytes.begin());
    return v4;
}

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
    if (text.empty() || text.size() >= kIpv6TextSize || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    char terminated[kIpv6TextSize] = {};
    std::memcpy(terminated, text.data(), text.size());
    IpAddress address;
    if (text.find(':') == std::string_view::npos) {
        if (!ParseAddressBytes(false, terminated, address.bytes.data())) return std::nullopt;
        return address;
    }
    address.v6 = true;
    if (!ParseAddressBytes(true, terminated, address.bytes.data())) return std::nullopt;
    return address;
}

std::string FormatIpAddress(const IpAddress& address) {
    char out[kIpv6TextSize] = {};
    if (!FormatAddressBytes(address.v6, address.bytes.data(), out, sizeof out)) return std::string();
    return out;
}

std::optional<std::string> CanonicalAddressText(std::string_view text) {
    const std::size_t zone = text.find('%');
    // Only IPv6 texts carry a zone, and never an empty one.
    if (zone != std::string_view::npos) {
        if (zone + 1 == text.size() || text.substr(0, zone).find(':') == std::string_view::npos) {
            return std::nullopt;
        }
        text = text.substr(0, zone);
    }
    const auto address = ParseIpAddress(text);
    if (!address) return std::nullopt;
    return FormatIpAddress(address->Unmapped());
}

bool AddressRange::Contains(const IpAddress& candidate) const {
    const IpAddress unmapped = candidate.Unmapped();
    return unmapped.v6 == address.v6 && SamePrefix(unmapped, address, prefix);
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto address = ParseIpAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    AddressRange range;
    range.address = *address;
    range.prefix = address->v6 ? 128 : 32;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        // One to three decimal digits, no sign, no leading zero but "0" itself.
        if (digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0'))
            return std::nullopt;
        int length = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            length = length * 10 + (c - '0');
        }
        if (length > range.prefix) return std::nullopt;
        range.prefix = length;
    }
    // A range inside ::ffff:0:0/96 is the IPv4 range it maps.
    if (IsMapped(range.address) && range.prefix >= 96) {
        range.address = range.address.Unmapped();
        range.prefix -= 96;
    }
    Mask(range.address, range.prefix);
    return range;
}

std::string FormatAddressRange(const AddressRange& range) {
    const std::string address = FormatIpAddress(range.address);
    if (range.prefix == (range.address.v6 ? 128 : 32)) return address;
    return address + '/' + std::to_string(range.prefix);
}

bool AddressRangeSet::Add(std::string_view text) {
    const auto range = ParseAddressRange(text);
    if (!range) return false;
    ranges_.push_back(*range);
    return true;
}

bool AddressRangeSet::Contains(const IpAddress& address) const {
    return std::any_of(ranges_.begin(), ranges_.end(),
                       [&](const AddressRange& range) { return range.Contains(address); });
}

bool AddressRangeSet::Contains(std::string_view address_text) const {
    const auto address = ParseIpAddress(address_text);
    return address.has_value() && Contains(*address);
}

}  // namespace velmor::platform
