// Addresses of either family, their canonical texts, ranges and sets of ranges.

#include <gtest/gtest.h>

#include "velmor/platform/address_text.h"

namespace velmor::platform {
namespace {

IpAddress Ip(std::string_view text) {
    const auto address = ParseIpAddress(text);
    EXPECT_TRUE(address.has_value()) << text;
    return address.value_or(IpAddress{});
}

TEST(IpAddressTest, TextsOfBothFamiliesInTheTablesForm) {
    EXPECT_EQ(FormatIpAddress(Ip("10.77.0.2")), "10.77.0.2");
    EXPECT_FALSE(Ip("10.77.0.2").v6);
    EXPECT_EQ(FormatIpAddress(Ip("FD00:0077:0:0:0:0:0:0002")), "fd00:77::2");
    EXPECT_EQ(Ip("::ffff:10.0.0.1").Unmapped(), Ip("10.0.0.1"));
    EXPECT_EQ(Ip("fd00::1").Unmapped(), Ip("fd00::1"));
    for (const char* bad : {"", "10.0.0", "010.0.0.1", "10.0.0.1/8", " 10.0.0.1", "fe80::1%eth0", "1::2::3",
                            "10.0.0.256", "::1 "}) {
        EXPECT_FALSE(ParseIpAddress(bad).has_value()) << bad;
    }
    // What a resolver file may hold becomes what the connection table shows.
    EXPECT_EQ(CanonicalAddressText("::ffff:1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(CanonicalAddressText("FE80::0001%eth0"), "fe80::1");
    EXPECT_EQ(CanonicalAddressText("127.0.0.53"), "127.0.0.53");
    EXPECT_FALSE(CanonicalAddressText("1.2.3.4%eth0").has_value());
    EXPECT_FALSE(CanonicalAddressText("fe80::1%").has_value());
    EXPECT_FALSE(CanonicalAddressText("name.example").has_value());
}

TEST(AddressRangeTest, PrefixesOfBothFamiliesAndMappedAddresses) {
    const auto eight = ParseAddressRange("10.0.0.0/8");
    ASSERT_TRUE(eight.has_value());
    EXPECT_TRUE(eight->Contains(Ip("10.255.1.2")));
    EXPECT_TRUE(eight->Contains(Ip("::ffff:10.1.2.3")));
    EXPECT_FALSE(eight->Contains(Ip("11.0.0.0")));
    EXPECT_FALSE(eight->Contains(Ip("a00::")));  // the same leading bits in the other family

    // Bits past the prefix are cleared; odd prefix lengths split a byte.
    const auto odd = ParseAddressRange("192.168.77.200/27");
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(FormatAddressRange(*odd), "192.168.77.192/27");
    EXPECT_TRUE(odd->Contains(Ip("192.168.77.223")));
    EXPECT_FALSE(odd->Contains(Ip("192.168.77.224")));
    EXPECT_FALSE(odd->Contains(Ip("192.168.77.191")));

    const auto ula = ParseAddressRange("fd00::/8");
    ASSERT_TRUE(ula.has_value());
    EXPECT_TRUE(ula->Contains(Ip("fdff:1::9")));
    EXPECT_FALSE(ula->Contains(Ip("fe80::1")));
    const auto v6_odd = ParseAddressRange("2001:db8:abcd:12::/61");
    ASSERT_TRUE(v6_odd.has_value());
    EXPECT_TRUE(v6_odd->Contains(Ip("2001:db8:abcd:17:ffff::1")));
    EXPECT_FALSE(v6_odd->Contains(Ip("2001:db8:abcd:18::")));

    // One address is a range of its whole length.
    const auto one = ParseAddressRange("::1");
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->prefix, 128);
    EXPECT_EQ(FormatAddressRange(*one), "::1");
    EXPECT_FALSE(one->Contains(Ip("::2")));
    EXPECT_TRUE(ParseAddressRange("0.0.0.0/0")->Contains(Ip("203.0.113.9")));

    // A range over mapped addresses is its IPv4 range, and a mapped host is its IPv4 host.
    const auto mapped = ParseAddressRange("::ffff:10.1.0.0/112");
    ASSERT_TRUE(mapped.has_value());
    EXPECT_EQ(FormatAddressRange(*mapped), "10.1.0.0/16");
    EXPECT_TRUE(mapped->Contains(Ip("10.1.200.3")));
    EXPECT_EQ(FormatAddressRange(*ParseAddressRange("::ffff:127.0.0.53")), "127.0.0.53");

    for (const char* bad :
         {"10.0.0.0/33", "fd00::/129", "10.0.0.0/", "10.0.0.0/08", "10.0.0.0/-1", "10.0.0.0/+8",
          "10.0.0.0/8/8", "/8", "10.0.0.0 /8", "fd00::/1000", "fe80::%eth0/64", "10.0.0.0/8x"}) {
        EXPECT_FALSE(ParseAddressRange(bad).has_value()) << bad;
    }
}

TEST(AddressRangeSetTest, AnyRangeOfTheSet) {
    AddressRangeSet set;
    EXPECT_TRUE(set.Add("127.0.0.0/8"));
    EXPECT_TRUE(set.Add("::1"));
    EXPECT_TRUE(set.Add("fd00:77::/64"));
    EXPECT_FALSE(set.Add("not an address"));
    EXPECT_EQ(set.ranges().size(), 3u);
    EXPECT_TRUE(set.Contains("127.0.0.53"));
    EXPECT_TRUE(set.Contains("::ffff:127.0.0.1"));
    EXPECT_TRUE(set.Contains("::1"));
    EXPECT_TRUE(set.Contains("fd00:77::2"));
    EXPECT_FALSE(set.Contains("::2"));
    EXPECT_FALSE(set.Contains("128.0.0.1"));
    EXPECT_FALSE(set.Contains("127.0.0.1/8"));
    EXPECT_FALSE(set.Contains(""));
    set.Clear();
    EXPECT_FALSE(set.Contains("127.0.0.1"));
}

}  // namespace
}  // namespace velmor::platform
