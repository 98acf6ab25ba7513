#pragma once

#include <string>
#include <string_view>

namespace velmor::engine {

// The in-band failure text of both name routines; callers compare against it.
inline constexpr std::string_view kNameError = "ERROR";

// The first IPv4 address of a host name as dotted text, or "ERROR" (an empty name, no such name,
// or a name with addresses of other families only). Blocks while the name service works.
std::string HostNameToIp(std::string_view host_name);

// The name of a dotted IPv4 address or of an IPv6 address text (looked up under ip6.arpa), or
// "ERROR". Text that is no dotted address, and the
// broadcast address 255.255.255.255 (which reads as the classic "no address" value), give "ERROR"
// without asking the name service; so do an address without a name and an empty name.
// Blocks while the name service works.
std::string IpToHostName(std::string_view address_text);

}  // namespace velmor::engine
