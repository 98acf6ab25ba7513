// The name routines without any name service: every case here is decided before a query.
// The lookups themselves run in a test namespace with its own hosts file (tests/hostlet).
#include "velmor/engine/host_names.h"

#include <gtest/gtest.h>

#include "velmor/engine/module_tcp_table.h"
#include "velmor/platform/resolver.h"

namespace velmor::engine {
namespace {

std::string Parsed(std::string_view text) {
    const auto address = platform::ParseIpv4Text(text);
    return address ? IpToString(*address) : "none";
}

TEST(HostNamesTest, AddressTextIsReadLikeInetAddr) {
    EXPECT_EQ(Parsed("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(Parsed("0.0.0.0"), "0.0.0.0");
    // The short and based forms of the classic reader.
    EXPECT_EQ(Parsed("127.1"), "127.0.0.1");
    EXPECT_EQ(Parsed("0x7f.0.0.1"), "127.0.0.1");
    EXPECT_EQ(Parsed("010.0.0.1"), "8.0.0.1");
    EXPECT_EQ(Parsed("255.255.255.255"), "255.255.255.255");
    // Not addresses: trailing text (which glibc's reader would skip), too many parts, out of range.
    for (const std::string_view text : {"", "pc-01", "10.1.2.3 ", "10.1.2.3 x", " 10.1.2.3", "1.2.3.4.5",
                                        "256.1.1.1", "10.1.2.", "::1", "10.1.2.3\n"}) {
        EXPECT_EQ(Parsed(text), "none") << "[" << text << "]";
    }
    EXPECT_EQ(Parsed(std::string_view("10.1.2.3\0junk", 13)), "none")
        << "an embedded NUL must not cut the text";
}

TEST(HostNamesTest, TextsThatAreNoUsableAddressGiveErrorWithoutAQuery) {
    for (const std::string_view text : {"", "pc-01", "255.255.255.255", "0xffffffff", "10.1.2.3 junk"}) {
        EXPECT_EQ(IpToHostName(text), "ERROR") << "[" << text << "]";
    }
    EXPECT_EQ(HostNameToIp(""), "ERROR");
    // A numeric name is its own address; getaddrinfo answers it without the name service.
    EXPECT_EQ(HostNameToIp("10.1.2.3"), "10.1.2.3");
}

}  // namespace
}  // namespace velmor::engine
