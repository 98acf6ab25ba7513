// The lifelines of a network namespace the test makes: its addresses, default gateways and resolver
// file, as read through rtnetlink, and the watch that tells when they change.

#include "velmor/platform/lifelines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::platform {
namespace {

using test::TestNetwork;
using ::testing::Contains;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

class LifelinesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        files.paths = {(folder / "resolv.conf").string(), (folder / "missing.conf").string()};
        Write("nameserver 10.77.0.53\nnameserver fe80::35%eth0\n");
        TestNetwork::RunIn(net.local(), [&] {
            watch = std::make_unique<LifelineWatch>(files, std::chrono::milliseconds(0));
        });
    }
    void Write(const std::string& text) { std::ofstream(folder / "resolv.conf", std::ios::trunc) << text; }
    Lifelines Read() {
        Lifelines lifelines;
        TestNetwork::RunIn(net.local(), [&] { lifelines = ReadLifelines(files); });
        return lifelines;
    }
    // Runs `command` in the monitored namespace, where $veth names its end of the veth pair.
    void Local(const std::string& command) {
        ASSERT_EQ(TestNetwork::Exec(net.local(), "veth=$(ls /sys/class/net | grep '^vla'); " + command), 0)
            << command;
    }

    TestNetwork net;
    test::TempDir folder;
    ResolverFiles files;
    std::unique_ptr<LifelineWatch> watch;
};

TEST_F(LifelinesTest, AddressesGatewaysAndResolversOfTheNamespaceAndTheirChanges) {
    ASSERT_NE(watch->Fd(), -1);
    EXPECT_TRUE(watch->Changed()) << "the first call always says changed";
    EXPECT_FALSE(watch->Changed());

    Lifelines before = Read();
    EXPECT_THAT(before.own, IsSupersetOf({"127.0.0.1", "::1", "10.77.0.1", "fd00:77::1"}));
    EXPECT_THAT(before.own, Not(Contains("10.77.0.2"))) << "the other namespace's address";
    EXPECT_TRUE(before.gateways.empty());
    EXPECT_THAT(before.resolvers, UnorderedElementsAre("10.77.0.53", "fe80::35"));

    // A multipath IPv4 default route and an IPv6 one through a link-local router.
    Local("ip route add default nexthop via 10.77.0.2 nexthop via 10.77.0.3");
    EXPECT_TRUE(watch->Changed());
    Local("ip -6 route add default via fe80::fe dev $veth");
    Local("ip addr add 10.88.0.1/32 dev lo");
    EXPECT_TRUE(watch->Changed());
    EXPECT_FALSE(watch->Changed());
    const Lifelines after = Read();
    EXPECT_THAT(after.gateways, UnorderedElementsAre("10.77.0.2", "10.77.0.3", "fe80::fe"));
    EXPECT_THAT(after.own, Contains("10.88.0.1"));

    // A route that is no default route changes nothing the reader reports, though the watch wakes.
    Local("ip route add 10.99.0.0/16 via 10.77.0.2");
    EXPECT_TRUE(watch->Changed());
    EXPECT_EQ(Read().gateways, after.gateways);

    // The resolver file is looked at (here at every call).
    Write("nameserver ::ffff:10.77.0.54\n");
    EXPECT_TRUE(watch->Changed());
    EXPECT_FALSE(watch->Changed());
    EXPECT_THAT(Read().resolvers, UnorderedElementsAre("10.77.0.54"));

    // A link going down takes its routes and is told through the link.
    Local("ip link set $veth down");
    EXPECT_TRUE(watch->Changed());
    EXPECT_TRUE(Read().gateways.empty());
}

TEST_F(LifelinesTest, ResolverFilesAreLookedAtNoMoreOftenThanAsked) {
    // In the test's namespace, where no other change can wake it.
    std::unique_ptr<LifelineWatch> slow;
    TestNetwork::RunIn(net.local(),
                       [&] { slow = std::make_unique<LifelineWatch>(files, std::chrono::hours(1)); });
    EXPECT_TRUE(slow->Changed());
    Write("nameserver 10.77.0.99\n");
    EXPECT_FALSE(slow->Changed()) << "the files were looked at again within the interval";
}

}  // namespace
}  // namespace velmor::platform
