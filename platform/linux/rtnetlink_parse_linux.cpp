#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "rtnetlink_parse.h"

namespace velmor::platform::rtnl {
namespace {

constexpr std::size_t kAttributeHeader = 4;  // struct rtattr: u16 length, u16 type

constexpr std::size_t Align4(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

struct Attribute {
    std::uint16_t type = 0;
    std::span<const std::byte> payload;
};

enum class Next { kAttribute, kEnd, kMalformed };

// Takes the next attribute off the front of `bytes`.
Next NextAttribute(std::span<const std::byte>& bytes, Attribute& attribute) {
    if (bytes.empty()) return Next::kEnd;
    if (bytes.size() < kAttributeHeader) return Next::kMalformed;
    std::uint16_t length = 0;
    std::memcpy(&length, bytes.data(), sizeof length);
    std::memcpy(&attribute.type, bytes.data() + 2, sizeof attribute.type);
    if (length < kAttributeHeader || length > bytes.size()) return Next::kMalformed;
    attribute.payload = bytes.subspan(kAttributeHeader, length - kAttributeHeader);
    bytes = bytes.subspan(std::min(Align4(length), bytes.size()));
    return Next::kAttribute;
}

// An address of `family` from an attribute's payload; false when its length does not fit.
bool ReadAddress(int family, std::span<const std::byte> payload, IpAddress& address) {
    const std::size_t size = family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
    if (size == 0 || payload.size() != size) return false;
    address = IpAddress{};
    address.v6 = family == AF_INET6;
    std::memcpy(address.bytes.data(), payload.data(), size);
    return true;
}

void AddOnce(std::vector<IpAddress>& list, const IpAddress& address) {
    if (std::find(list.begin(), list.end(), address) == list.end()) list.push_back(address);
}

// RTA_VIA: a next hop of another family (an IPv4 route through an IPv6 router).
bool ReadVia(std::span<const std::byte> payload, IpAddress& address) {
    std::uint16_t family = 0;
    if (payload.size() < sizeof family) return false;
    std::memcpy(&family, payload.data(), sizeof family);
    return ReadAddress(family, payload.subspan(sizeof family), address);
}

// The gateways of one next hop's attributes: a route's own (`route`), or one entry of its
// RTA_MULTIPATH, where another RTA_MULTIPATH is passed over.
bool ReadNextHop(int family, std::span<const std::byte> attributes, bool route,
                 std::vector<IpAddress>& gateways);

bool ReadMultipath(int family, std::span<const std::byte> payload, std::vector<IpAddress>& gateways) {
    while (!payload.empty()) {
        rtnexthop hop{};
        if (payload.size() < sizeof hop) return false;
        std::memcpy(&hop, payload.data(), sizeof hop);
        if (hop.rtnh_len < sizeof hop || hop.rtnh_len > payload.size()) return false;
        if (!ReadNextHop(family, payload.subspan(sizeof hop, hop.rtnh_len - sizeof hop), false, gateways))
            return false;
        payload = payload.subspan(std::min(Align4(hop.rtnh_len), payload.size()));
    }
    return true;
}

bool ReadNextHop(int family, std::span<const std::byte> attributes, bool route,
                 std::vector<IpAddress>& gateways) {
    Attribute attribute;
    for (;;) {
        switch (NextAttribute(attributes, attribute)) {
            case Next::kEnd:
                return true;
            case Next::kMalformed:
                return false;
            case Next::kAttribute:
                break;
        }
        IpAddress gateway;
        if (attribute.type == RTA_GATEWAY && ReadAddress(family, attribute.payload, gateway)) {
            AddOnce(gateways, gateway);
        } else if (attribute.type == RTA_VIA && ReadVia(attribute.payload, gateway)) {
            AddOnce(gateways, gateway);
        } else if (attribute.type == RTA_MULTIPATH && route &&
                   !ReadMultipath(family, attribute.payload, gateways)) {
            return false;
        }
    }
}

bool TakeAddress(std::span<const std::byte> payload, DumpTarget& target) {
    ifaddrmsg message{};
    if (payload.size() < sizeof message) return false;
    std::memcpy(&message, payload.data(), sizeof message);
    if (message.ifa_family != AF_INET && message.ifa_family != AF_INET6) return true;
    std::span<const std::byte> attributes = payload.subspan(Align4(sizeof message));
    // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the same, or the peer's on a
    // point-to-point link, so it counts only where IFA_LOCAL is missing.
    IpAddress local, address;
    bool has_local = false, has_address = false;
    Attribute attribute;
    for (;;) {
        const Next next = NextAttribute(attributes, attribute);
        if (next == Next::kMalformed) return false;
        if (next == Next::kEnd) break;
        if (attribute.type == IFA_LOCAL)
            has_local = ReadAddress(message.ifa_family, attribute.payload, local);
        if (attribute.type == IFA_ADDRESS)
            has_address = ReadAddress(message.ifa_family, attribute.payload, address);
    }
    if (has_local) {
        AddOnce(target.own, local);
    } else if (has_address) {
        AddOnce(target.own, address);
    }
    return true;
}

bool TakeRoute(std::span<const std::byte> payload, DumpTarget& target) {
    rtmsg message{};
    if (payload.size() < sizeof message) return false;
    std::memcpy(&message, payload.data(), sizeof message);
    if (message.rtm_family != AF_INET && message.rtm_family != AF_INET6) return true;
    // Default routes only: no destination prefix, a unicast route, no cached clone, not the local
    // table (which holds the machine's own and broadcast addresses).
    if (message.rtm_dst_len != 0 || message.rtm_type != RTN_UNICAST ||
        (message.rtm_flags & RTM_F_CLONED) != 0) {
        return true;
    }
    std::span<const std::byte> attributes = payload.subspan(Align4(sizeof message));
    std::uint32_t table = message.rtm_table;
    Attribute attribute;
    for (std::span<const std::byte> rest = attributes;;) {
        const Next next = NextAttribute(rest, attribute);
        if (next == Next::kMalformed) return false;
        if (next == Next::kEnd) break;
        if (attribute.type == RTA_TABLE && attribute.payload.size() == sizeof table)
            std::memcpy(&table, attribute.payload.data(), sizeof table);
    }
    if (table == RT_TABLE_LOCAL) return true;
    return ReadNextHop(message.rtm_family, attributes, true, target.gateways);
}

}  // namespace

std::vector<std::byte> DumpRequest(std::uint16_t type, std::uint32_t sequence) {
    // Both requests carry a header the size of rtmsg, family AF_UNSPEC: every family is dumped.
    struct {
        nlmsghdr header;
        rtmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.rtm_family = AF_UNSPEC;
    std::vector<std::byte> bytes(sizeof request);
    std::memcpy(bytes.data(), &request, sizeof request);
    return bytes;
}

DumpStatus ParseDump(std::span<const std::byte> bytes, std::uint32_t sequence, DumpTarget& target) {
    sockdiag::NetlinkMessage message;
    for (;;) {
        switch (sockdiag::NextMessage(bytes, message)) {
            case sockdiag::NextStatus::kEnd:
                return DumpStatus::kMore;
            case sockdiag::NextStatus::kMalformed:
                return DumpStatus::kMalformed;
            case sockdiag::NextStatus::kMessage:
                break;
        }
        const nlmsghdr& header = message.header;
        if (header.nlmsg_seq != sequence) continue;
        if (header.nlmsg_flags & NLM_F_DUMP_INTR) target.interrupted = true;
        switch (header.nlmsg_type) {
            case NLMSG_ERROR: {
                nlmsgerr error{};
                if (message.payload.size() < sizeof error.error) return DumpStatus::kMalformed;
                std::memcpy(&error.error, message.payload.data(), sizeof error.error);
                if (error.error == 0) break;
                target.error = sockdiag::ErrnoOf(error.error);
                return DumpStatus::kError;
            }
            case NLMSG_DONE: {
                if (message.payload.size() >= sizeof(int)) {
                    int outcome = 0;
                    std::memcpy(&outcome, message.payload.data(), sizeof outcome);
                    if (outcome < 0) {
                        target.error = sockdiag::ErrnoOf(outcome);
                        return DumpStatus::kError;
                    }
                }
                return target.interrupted ? DumpStatus::kInterrupted : DumpStatus::kDone;
            }
            case RTM_NEWADDR:
                if (!TakeAddress(message.payload, target)) return DumpStatus::kMalformed;
                break;
            case RTM_NEWROUTE:
                if (!TakeRoute(message.payload, target)) return DumpStatus::kMalformed;
                break;
            default:
                break;
        }
    }
}

void ParseResolverFile(std::string_view text, std::vector<std::string>& out) {
    constexpr std::string_view kSpace = " \t\r";
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::size_t start = line.find_first_not_of(kSpace);
        if (start == std::string_view::npos) continue;
        line = line.substr(start);
        constexpr std::string_view kKeyword = "nameserver";
        if (!line.starts_with(kKeyword) || line.size() == kKeyword.size() ||
            kSpace.find(line[kKeyword.size()]) == std::string_view::npos) {
            continue;  // comments ('#', ';') and every other option
        }
        line = line.substr(kKeyword.size());
        const std::size_t from = line.find_first_not_of(kSpace);
        if (from == std::string_view::npos) continue;
        line = line.substr(from);
        const auto text_form = CanonicalAddressText(line.substr(0, line.find_first_of(kSpace)));
        if (text_form && std::find(out.begin(), out.end(), *text_form) == out.end())
            out.push_back(*text_form);
    }
}

}  // namespace velmor::platform::rtnl
