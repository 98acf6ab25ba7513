#include "velmor/engine/host_names.h"

#include <cstdint>

#include "velmor/engine/module_tcp_table.h"
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
    const auto address = platform::ParseIpv4Text(address_text);
    if (!address || *address == kInaddrNone) return std::string(kNameError);
    auto name = platform::ReverseLookupIpv4(*address);
    if (!name || name->empty()) return std::string(kNameError);
    return std::move(*name);
}

}  // namespace velmor::engine
