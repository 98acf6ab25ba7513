// The local-information box: the DNS domain from resolv.conf text, and the machine's own facts.
#include "velmor/platform/local_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace velmor::platform {
namespace {

TEST(LocalInfoTest, DomainFromResolvConfFollowsTheResolverRules) {
    EXPECT_EQ(DomainFromResolvConf(""), "");
    EXPECT_EQ(DomainFromResolvConf("nameserver 10.0.0.1\n"), "");
    EXPECT_EQ(DomainFromResolvConf("domain corp.example\nnameserver 10.0.0.1\n"), "corp.example");
    // The first search entry is the local domain; the last of domain/search wins.
    EXPECT_EQ(DomainFromResolvConf("search a.example b.example\n"), "a.example");
    EXPECT_EQ(DomainFromResolvConf("domain one.example\nsearch two.example\n"), "two.example");
    EXPECT_EQ(DomainFromResolvConf("search two.example\ndomain one.example\n"), "one.example");
    EXPECT_EQ(DomainFromResolvConf("  domain\tspaced.example  \r\n"), "spaced.example");
    // Comments and bare keywords name nothing.
    EXPECT_EQ(DomainFromResolvConf("# domain commented.example\ndomain\n"), "");
}

TEST(LocalInfoTest, AddressIsDottedIpv4AndHostNameIsSet) {
    const LocalInfo info = ReadLocalInfo();
    EXPECT_FALSE(info.host_name.empty());
    ASSERT_FALSE(info.address.empty());
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, info.address.c_str(), &parsed), 1) << info.address;
}

}  // namespace
}  // namespace velmor::platform
