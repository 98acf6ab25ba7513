#pragma once

// The byte-level half of reading the machine's lifelines: the requests for rtnetlink's address and
// route dumps, the parsing of their replies, and the parsing of a resolver file. Pure functions over
// buffers, so that tests replay hand-made replies and a fuzzer feeds arbitrary bytes. Internal to
// the Linux backend (tests and fuzz targets include it through velmor_platform_linux_internal).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sock_diag_parse.h"
#include "velmor/platform/address_text.h"

namespace velmor::platform::rtnl {

using sockdiag::DumpStatus;

// What one address or route dump found so far; carried across the datagrams of one dump.
struct DumpTarget {
    std::vector<IpAddress> own;       // RTM_NEWADDR: the interface's local address
    std::vector<IpAddress> gateways;  // RTM_NEWROUTE: the next hops of default unicast routes
    bool interrupted = false;         // NLM_F_DUMP_INTR seen: take the dump again
    int error = 0;                    // the errno the kernel answered with
};

// A dump request of `type` (RTM_GETADDR, RTM_GETROUTE) for both address families.
std::vector<std::byte> DumpRequest(std::uint16_t type, std::uint32_t sequence);

// Parses the messages in `bytes` (whole datagrams of an address or a route dump reply). Messages of
// another sequence number are skipped; parsing stops at NLMSG_DONE or NLMSG_ERROR. IPv4 and IPv6
// entries are taken, everything else (other families, host and local routes, cache clones,
// blackholes) is passed over. An attribute of the wrong length is passed over; a message or an
// attribute that runs past its end makes the reply malformed.
DumpStatus ParseDump(std::span<const std::byte> bytes, std::uint32_t sequence, DumpTarget& target);

// Appends the addresses of the "nameserver" lines of a resolver file to `out`, each in the
// connection table's form (zone ids dropped, IPv4-mapped as IPv4), leaving out texts that are no
// address and those already in `out`.
void ParseResolverFile(std::string_view text, std::vector<std::string>& out);

}  // namespace velmor::platform::rtnl
