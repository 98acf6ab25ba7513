// The rtnetlink dump parser over hand-made address and route replies, and the resolver file parser.

#include "rtnetlink_parse.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>
#include <vector>

#include "velmor/test/netlink_reply.h"

namespace velmor::platform::rtnl {
namespace {

using test::Bytes;
using Reply = test::NetlinkReply;
constexpr std::uint32_t kSequence = 7;

// The body of one message: a fixed header, then attributes, each padded to four bytes.
class Body {
public:
    template <typename Header>
    explicit Body(const Header& header) {
        Append(&header, sizeof header);
    }
    Body& Attribute(std::uint16_t type, const void* payload, std::size_t length) {
        const std::uint16_t head[2] = {static_cast<std::uint16_t>(4 + length), type};
        const auto* head_bytes = reinterpret_cast<const std::byte*>(head);
        const auto* body = static_cast<const std::byte*>(payload);
        Bytes attribute(head_bytes, head_bytes + sizeof head);
        attribute.insert(attribute.end(), body, body + length);
        Append(attribute.data(), attribute.size());
        return *this;
    }
    Body& Address(std::uint16_t type, const char* text) {
        std::uint8_t bytes[16];
        const bool v6 = std::string(text).find(':') != std::string::npos;
        EXPECT_EQ(::inet_pton(v6 ? AF_INET6 : AF_INET, text, bytes), 1) << text;
        return Attribute(type, bytes, v6 ? 16 : 4);
    }
    Body& Nested(std::uint16_t type, const Body& inner) {
        return Attribute(type, inner.data(), inner.size());
    }
    const std::byte* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

private:
    void Append(const void* data, std::size_t length) {
        const auto* p = static_cast<const std::byte*>(data);
        bytes_.insert(bytes_.end(), p, p + length);
        bytes_.resize((bytes_.size() + 3) & ~std::size_t{3});
    }
    Bytes bytes_;
};

Body AddressOf(std::uint8_t family) {
    ifaddrmsg header{};
    header.ifa_family = family;
    header.ifa_index = 2;
    return Body(header);
}

Body RouteOf(std::uint8_t family, std::uint8_t destination_length = 0, std::uint8_t type = RTN_UNICAST,
             std::uint8_t table = RT_TABLE_MAIN) {
    rtmsg header{};
    header.rtm_family = family;
    header.rtm_dst_len = destination_length;
    header.rtm_type = type;
    header.rtm_table = table;
    return Body(header);
}

std::vector<std::string> Texts(const std::vector<IpAddress>& addresses) {
    std::vector<std::string> texts;
    for (const auto& a : addresses) texts.push_back(FormatIpAddress(a));
    return texts;
}

Reply& Add(Reply& reply, std::uint16_t type, const Body& body, std::uint16_t flags = NLM_F_MULTI) {
    return reply.Message(type, flags, body.data(), body.size());
}

TEST(RtnetlinkParseTest, OwnAddressesOfBothFamiliesEachOnce) {
    Reply reply(kSequence);
    Add(reply, RTM_NEWADDR,
        AddressOf(AF_INET).Address(IFA_ADDRESS, "127.0.0.1").Address(IFA_LOCAL, "127.0.0.1"));
    // Point-to-point: IFA_ADDRESS is the peer, IFA_LOCAL the interface's own.
    Add(reply, RTM_NEWADDR,
        AddressOf(AF_INET).Address(IFA_ADDRESS, "10.9.0.2").Address(IFA_LOCAL, "10.9.0.1"));
    Add(reply, RTM_NEWADDR, AddressOf(AF_INET6).Address(IFA_ADDRESS, "fd00:77::1"));
    Add(reply, RTM_NEWADDR, AddressOf(AF_INET6).Address(IFA_ADDRESS, "fe80::1:2"));
    Add(reply, RTM_NEWADDR, AddressOf(AF_INET6).Address(IFA_ADDRESS, "fd00:77::1"));
    // An attribute of the wrong length, and a family of no interest, are passed over.
    const std::uint8_t short_address[3] = {10, 0, 0};
    Add(reply, RTM_NEWADDR, AddressOf(AF_INET).Attribute(IFA_LOCAL, short_address, 3));
    Add(reply, RTM_NEWADDR, AddressOf(AF_PACKET).Address(IFA_ADDRESS, "10.0.0.9"));
    reply.Done();
    DumpTarget target;
    ASSERT_EQ(ParseDump(reply.bytes(), kSequence, target), DumpStatus::kDone);
    EXPECT_EQ(Texts(target.own),
              (std::vector<std::string>{"127.0.0.1", "10.9.0.1", "fd00:77::1", "fe80::1:2"}));
    EXPECT_TRUE(target.gateways.empty());
}

TEST(RtnetlinkParseTest, GatewaysOfDefaultUnicastRoutesOnly) {
    Reply reply(kSequence);
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET).Address(RTA_GATEWAY, "10.77.0.254"));
    // Not default, not unicast, in the local table, cached: none is a way out.
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET, 8).Address(RTA_GATEWAY, "10.0.0.1"));
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET, 0, RTN_BLACKHOLE).Address(RTA_GATEWAY, "10.0.0.2"));
    Add(reply, RTM_NEWROUTE,
        RouteOf(AF_INET, 0, RTN_UNICAST, RT_TABLE_LOCAL).Address(RTA_GATEWAY, "10.0.0.3"));
    const std::uint32_t local_table = RT_TABLE_LOCAL;
    Add(reply, RTM_NEWROUTE,
        RouteOf(AF_INET, 0, RTN_UNICAST, RT_TABLE_COMPAT)
            .Attribute(RTA_TABLE, &local_table, sizeof local_table)
            .Address(RTA_GATEWAY, "10.0.0.4"));
    rtmsg cloned{};
    cloned.rtm_family = AF_INET;
    cloned.rtm_type = RTN_UNICAST;
    cloned.rtm_flags = RTM_F_CLONED;
    Add(reply, RTM_NEWROUTE, Body(cloned).Address(RTA_GATEWAY, "10.0.0.5"));
    // A default route of another table counts; one without a gateway adds none.
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET, 0, RTN_UNICAST, 100).Address(RTA_GATEWAY, "10.66.0.1"));
    std::uint32_t device = 3;
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET).Attribute(RTA_OIF, &device, sizeof device));
    // IPv6 through a link-local router, and an IPv4 route through an IPv6 one (RTA_VIA).
    Add(reply, RTM_NEWROUTE,
        RouteOf(AF_INET6).Address(RTA_GATEWAY, "fe80::fe").Attribute(RTA_OIF, &device, 4));
    std::uint8_t via[18] = {};
    const std::uint16_t via_family = AF_INET6;
    std::memcpy(via, &via_family, 2);
    ::inet_pton(AF_INET6, "fe80::9", via + 2);
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET).Attribute(RTA_VIA, via, sizeof via));
    // The same gateway twice is one lifeline.
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET, 0, RTN_UNICAST, 101).Address(RTA_GATEWAY, "10.77.0.254"));
    reply.Done();
    DumpTarget target;
    ASSERT_EQ(ParseDump(reply.bytes(), kSequence, target), DumpStatus::kDone);
    EXPECT_EQ(Texts(target.gateways),
              (std::vector<std::string>{"10.77.0.254", "10.66.0.1", "fe80::fe", "fe80::9"}));
    EXPECT_TRUE(target.own.empty());
}

// An RTA_MULTIPATH list: each entry an rtnexthop whose length covers its own attributes.
Bytes Multipath(const std::vector<const char*>& gateways, bool v6) {
    Bytes list;
    for (const char* gateway : gateways) {
        std::uint8_t address[16];
        ::inet_pton(v6 ? AF_INET6 : AF_INET, gateway, address);
        const std::size_t length = v6 ? 16 : 4;
        rtnexthop hop{};
        hop.rtnh_len = static_cast<unsigned short>(sizeof hop + 4 + length);
        hop.rtnh_ifindex = 2;
        const std::uint16_t attribute[2] = {static_cast<std::uint16_t>(4 + length), RTA_GATEWAY};
        const auto at = list.size();
        list.resize(at + hop.rtnh_len);
        std::memcpy(list.data() + at, &hop, sizeof hop);
        std::memcpy(list.data() + at + sizeof hop, attribute, 4);
        std::memcpy(list.data() + at + sizeof hop + 4, address, length);
    }
    return list;
}

TEST(RtnetlinkParseTest, EveryNextHopOfAMultipathDefaultRoute) {
    const Bytes v4 = Multipath({"10.77.0.253", "10.77.0.252"}, false);
    const Bytes v6 = Multipath({"fe80::1", "fe80::2"}, true);
    Reply reply(kSequence);
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET).Attribute(RTA_MULTIPATH, v4.data(), v4.size()));
    Add(reply, RTM_NEWROUTE, RouteOf(AF_INET6).Attribute(RTA_MULTIPATH, v6.data(), v6.size()));
    reply.Done();
    DumpTarget target;
    ASSERT_EQ(ParseDump(reply.bytes(), kSequence, target), DumpStatus::kDone);
    EXPECT_EQ(Texts(target.gateways),
              (std::vector<std::string>{"10.77.0.253", "10.77.0.252", "fe80::1", "fe80::2"}));

    // A next hop that claims more bytes than its list holds spoils the reply.
    Bytes broken = v4;
    broken[0] = std::byte{64};
    Reply bad(kSequence);
    Add(bad, RTM_NEWROUTE, RouteOf(AF_INET).Attribute(RTA_MULTIPATH, broken.data(), broken.size()));
    DumpTarget spoiled;
    EXPECT_EQ(ParseDump(bad.bytes(), kSequence, spoiled), DumpStatus::kMalformed);
}

TEST(RtnetlinkParseTest, DumpEndsErrorsAndDamage) {
    // Split over two datagrams, with a stale message of an earlier dump between.
    Reply first(kSequence);
    Add(first, RTM_NEWADDR, AddressOf(AF_INET).Address(IFA_LOCAL, "10.0.0.1"));
    Reply second(kSequence - 1);
    Add(second, RTM_NEWADDR, AddressOf(AF_INET).Address(IFA_LOCAL, "10.0.0.66"));
    second.Sequence(kSequence).Done();
    DumpTarget target;
    EXPECT_EQ(ParseDump(first.bytes(), kSequence, target), DumpStatus::kMore);
    EXPECT_EQ(ParseDump(second.bytes(), kSequence, target), DumpStatus::kDone);
    EXPECT_EQ(Texts(target.own), std::vector<std::string>{"10.0.0.1"});

    Reply refused(kSequence);
    refused.Error(-EPERM);
    DumpTarget error;
    EXPECT_EQ(ParseDump(refused.bytes(), kSequence, error), DumpStatus::kError);
    EXPECT_EQ(error.error, EPERM);
    Reply failed_done(kSequence);
    failed_done.Done(-EBUSY);
    EXPECT_EQ(ParseDump(failed_done.bytes(), kSequence, error), DumpStatus::kError);
    EXPECT_EQ(error.error, EBUSY);

    Reply interrupted(kSequence);
    Add(interrupted, RTM_NEWADDR, AddressOf(AF_INET).Address(IFA_LOCAL, "10.0.0.1"),
        NLM_F_MULTI | NLM_F_DUMP_INTR);
    interrupted.Done();
    DumpTarget again;
    EXPECT_EQ(ParseDump(interrupted.bytes(), kSequence, again), DumpStatus::kInterrupted);

    // An attribute longer than its message, a message too short for its header.
    // An attribute header that claims 200 bytes where four follow.
    const std::uint16_t attribute[2] = {200, IFA_LOCAL};
    const Body overlong = AddressOf(AF_INET);
    Bytes raw(overlong.data(), overlong.data() + overlong.size());
    raw.resize(raw.size() + sizeof attribute);
    std::memcpy(raw.data() + overlong.size(), attribute, sizeof attribute);
    Reply damaged(kSequence);
    damaged.Message(RTM_NEWADDR, NLM_F_MULTI, raw.data(), raw.size());
    DumpTarget broken;
    EXPECT_EQ(ParseDump(damaged.bytes(), kSequence, broken), DumpStatus::kMalformed);
    const std::uint8_t stub[4] = {};
    Reply short_route(kSequence);
    short_route.Message(RTM_NEWROUTE, NLM_F_MULTI, stub, sizeof stub);
    EXPECT_EQ(ParseDump(short_route.bytes(), kSequence, broken), DumpStatus::kMalformed);
}

TEST(ResolverFileTest, NameserversInTheTablesFormEachOnce) {
    std::vector<std::string> servers = {"10.0.0.53"};
    ParseResolverFile(
        "# Generated\n"
        "; also a comment\n"
        "search example.org\n"
        "nameserver 10.0.0.53\n"
        "  nameserver\t192.0.2.1   # trailing words\r\n"
        "nameserver ::FFFF:198.51.100.7\n"
        "nameserver fe80::1%eth0\n"
        "nameserver 2001:DB8::0035\n"
        "nameservers 203.0.113.1\n"
        "#nameserver 203.0.113.2\n"
        "nameserver dns.example\n"
        "nameserver\n"
        "options edns0 trust-ad\n"
        "nameserver 127.0.0.53",
        servers);
    EXPECT_EQ(servers, (std::vector<std::string>{"10.0.0.53", "192.0.2.1", "198.51.100.7", "fe80::1",
                                                 "2001:db8::35", "127.0.0.53"}));
}

}  // namespace
}  // namespace velmor::platform::rtnl
