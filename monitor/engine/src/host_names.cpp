#include "velmor/engine/host_names.h"

#include <cstdint>

#include "velmor/engine/module_tcp_table.h"
#include "velmor/platform/address_text.h"
#include "velmor/platform/resolver.h"

namespace velmor::engine {
namespace {

// What inet_addr returns for a text it cannot read, and also for 255.255.255.255.
constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

}  // namespace

std::string HostNameToIp(std::string_view host_name) {
    if (host_name.empty()) return std::string(kNameError);
    const auto address = platform::ResolveFirstIpv4(host_name);
    if (!address) return std::string(kNameError);
    return IpToString(*address);
}

std::string IpToHostName(std::string_view address_text) {
    // An IPv6 text is looked up under ip6.arpa. Dotted IPv4 text never reads as IPv6, so the IPv4
    // road below stays exactly as it was.
    if (address_text.find(':') != std::string_view::npos) {
        const auto address6 = platform::ParseIpv6Text(address_text);
        if (!address6) return std::string(kNameError);
        std::uint32_t words[4];
        for (std::size_t i = 0; i < 4; ++i) words[i] = (*address6)[i];
        auto name = platform::ReverseLookupIpv6(words);
        if (!name || name->empty()) return std::string(kNameError);
        return std::move(*name);
    }
    const auto address = platform::ParseIpv4Text(address_text);
    if (!address || *address == kInaddrNone) return std::string(kNameError);
    auto name = platform::ReverseLookupIpv4(*address);
    if (!name || name->empty()) return std::string(kNameError);
    return std::move(*name);
}

}  // namespace velmor::engine
