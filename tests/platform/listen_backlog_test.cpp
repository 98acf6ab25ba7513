// The longest accept queue a listener may ask for, in namespaces the test makes with limits of its
// own (net.core.somaxconn belongs to each network namespace).
#include "velmor/platform/listen_backlog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "velmor/test/test_network.h"

namespace velmor::platform {
namespace {

using test::TestNetwork;

TEST(ListenBacklogTest, TheNamespacesLimitOrSomaxconnWhicheverIsLarger) {
    TestNetwork net;
    ASSERT_TRUE(net.ok());
    ASSERT_EQ(TestNetwork::Exec(net.local(), "sysctl -qw net.core.somaxconn=65535"), 0);
    ASSERT_EQ(TestNetwork::Exec(net.remote(), "sysctl -qw net.core.somaxconn=128"), 0);
    int local = 0, remote = 0;
    TestNetwork::RunIn(net.local(), [&] { local = MaxListenBacklog(); });
    TestNetwork::RunIn(net.remote(), [&] { remote = MaxListenBacklog(); });
    EXPECT_EQ(local, 65535);
    EXPECT_EQ(remote, SOMAXCONN);
}

}  // namespace
}  // namespace velmor::platform
