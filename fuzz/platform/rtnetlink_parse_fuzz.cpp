// Feeds arbitrary bytes to the rtnetlink dump parser as one address or route reply, and to the
// resolver file parser as text; checks what they hand on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "rtnetlink_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor::platform;
    // The expected sequence number is the first message's, as for a live reply.
    std::uint32_t sequence = 0;
    if (size >= 12) std::memcpy(&sequence, data + 8, sizeof sequence);
    rtnl::DumpTarget target;
    const auto status =
        rtnl::ParseDump(std::span(reinterpret_cast<const std::byte*>(data), size), sequence, target);
    if (status == rtnl::DumpStatus::kError && target.error <= 0) std::abort();
    for (const auto* list : {&target.own, &target.gateways}) {
        for (const IpAddress& address : *list) {
            // IPv4 addresses keep nothing past their four bytes.
            if (!address.v6) {
                for (std::size_t i = 4; i < address.bytes.size(); ++i) {
                    if (address.bytes[i] != 0) std::abort();
                }
            }
        }
    }
    std::vector<std::string> servers;
    rtnl::ParseResolverFile(std::string_view(reinterpret_cast<const char*>(data), size), servers);
    for (const std::string& server : servers) {
        if (CanonicalAddressText(server) != server) std::abort();
    }
    return 0;
}
