#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/platform/address_text.h"
#include "velmor/platform/lifelines.h"

namespace velmor::rules {

// Why nothing automatic blocks an address: it is one of the machine's lifelines, or the user
// trusts it. First match wins, in this order.
enum class Exemption { None, Loopback, OwnAddress, Gateway, Resolver, Trusted };

// The Korean name of an exemption, for rule notes, notices and questions ("" for None).
std::string_view ExemptionText(Exemption exemption);

// The note that a bait hit from an exempt address leaves in its allowed rule's info.
std::string ExemptionNote(Exemption exemption);

// The question a user's block of an exempt address asks before it is done.
std::string BlockExemptQuestion(std::string_view address, Exemption exemption);

// The addresses that the bait never files as intruders: loopback (127.0.0.0/8, ::1), the machine's
// own addresses, its default gateways, its DNS servers, and the user's trusted list. Anyone can
// forge a packet from a lifeline or reach the bait from a local process, so such a hit proves
// nothing against the address. The user may still block one by hand after a warning.
class Exemptions final {
public:
    Exemptions();

    void SetLifelines(const platform::Lifelines& lifelines);
    const platform::Lifelines& Lifelines() const { return lifelines_; }
    void SetTrusted(platform::AddressRangeSet trusted);
    const platform::AddressRangeSet& Trusted() const { return trusted_; }

    Exemption Of(std::string_view address_text) const;
    Exemption Of(const platform::IpAddress& address) const;
    // Grows with every change, so followers know when to look again.
    std::uint64_t Generation() const { return generation_; }

private:
    platform::AddressRangeSet loopback_;
    platform::Lifelines lifelines_;
    platform::AddressRangeSet own_;
    platform::AddressRangeSet gateways_;
    platform::AddressRangeSet resolvers_;
    platform::AddressRangeSet trusted_;
    std::uint64_t generation_ = 0;
};

// The trusted list as the user writes it: one address or range per line ("10.0.0.5",
// "192.168.1.0/24", "fd00::/8"), blank lines and "#" comments (a whole line or the rest of one).
struct TrustedList {
    platform::AddressRangeSet ranges;
    std::vector<int> bad_lines;  // numbers (from 1) of the lines that are no address or range
};
TrustedList ParseTrustedList(std::string_view text);
// One range per line, each ended by a newline.
std::string FormatTrustedList(const platform::AddressRangeSet& ranges);

}  // namespace velmor::rules
