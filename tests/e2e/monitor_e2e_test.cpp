// End-to-end: the real headless monitor in a network namespace of the test's own, with real
// sockets from a second namespace acting as the remote host.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e_sockets.h"
#include "velmor/common/text_file.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

class MonitorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        // A private program folder: the monitor files its rules beside its own program file.
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
    }

    void StartMonitor(std::vector<std::string> flags = {}) {
        std::vector<std::string> argv = {"ip", "netns", "exec", net.local(), (folder / "velmor").string(),
                                         "--headless"};
        argv.insert(argv.end(), flags.begin(), flags.end());
        monitor = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(monitor->started());
        // The first answer proves the monitor is up and ticking.
        ASSERT_TRUE(monitor->Ask("stats", 10s).has_value());
    }

    std::filesystem::path Rule(const std::string& name) { return folder / "invader" / name; }
    bool WaitForRule(const std::string& name) {
        return WaitUntil([&] { return IsRegularFile(Rule(name)); }, 5s);
    }
    std::vector<std::string> List() { return monitor->Ask("list").value_or(std::vector<std::string>{"(no answer)"}); }

    // A connection from the remote host to `port` of the monitored host; both ends kept.
    struct Connection {
        int client = -1;
        int server = -1;
    };
    Connection Connect(int listener, int port) {
        Connection c;
        c.client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, port);
        c.server = AcceptOne(listener, 2s);
        EXPECT_GE(c.client, 0);
        EXPECT_GE(c.server, 0);
        return c;
    }

    TestNetwork net;
    TempDir folder;
    std::unique_ptr<ChildProcess> monitor;
};

TEST_F(MonitorEndToEnd, IntruderOnPort80IsFiledAndTornDown) {
    const int listener = ListenIn(net.local(), "0.0.0.0", 80);
    ASSERT_GE(listener, 0);
    StartMonitor({"--hidden"});
    const Connection c = Connect(listener, 80);
    const std::string line = std::to_string(LocalPort(c.client)) + "|10.77.0.2|\r\n";

    ASSERT_TRUE(WaitForRule("10.77.0.2.x"));
    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(Rule("10.77.0.2.x")) == line; }, 2s));
    EXPECT_TRUE(SeesReset(c.client, 3s)) << "the remote side should see the connection reset";
    const auto rows = List();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "10.77.0.2\t1\t차단\t");
    EXPECT_FALSE(IsRegularFile(Rule("10.77.0.2.o")));
    CloseSocket(c.client);
    CloseSocket(c.server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, WithoutAutomaticBlockingTheIntruderIsFiledButStaysConnected) {
    const int listener = ListenIn(net.local(), "0.0.0.0", 80);
    StartMonitor({"--auto-block=off"});
    const Connection c = Connect(listener, 80);
    ASSERT_TRUE(WaitForRule("10.77.0.2.x"));
    EXPECT_FALSE(SeesReset(c.client, 500ms));
    EXPECT_TRUE(CanExchange(c.client, c.server));
    // Switched on later, the block takes the connection down.
    ASSERT_TRUE(monitor->Ask("auto-block on"));
    EXPECT_TRUE(SeesReset(c.client, 3s));
    CloseSocket(c.client);
    CloseSocket(c.server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, DualStackListenerSeesIpv4IntrudersAsIpv4) {
    const int listener = ListenIn(net.local(), "::", 80);
    ASSERT_GE(listener, 0);
    StartMonitor();
    const Connection c = Connect(listener, 80);
    ASSERT_TRUE(WaitForRule("10.77.0.2.x"));
    EXPECT_TRUE(SeesReset(c.client, 3s));
    CloseSocket(c.client);
    CloseSocket(c.server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, OtherPortIsAllowedAndSurvives) {
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    StartMonitor();
    const Connection c = Connect(listener, 8080);
    ASSERT_TRUE(WaitForRule("10.77.0.2.o"));
    EXPECT_FALSE(IsRegularFile(Rule("10.77.0.2.x")));
    EXPECT_FALSE(SeesReset(c.client, 500ms));
    EXPECT_TRUE(CanExchange(c.server, c.client));
    const auto rows = List();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "10.77.0.2\t1\t허용\t");
    CloseSocket(c.client);
    CloseSocket(c.server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, ExistingBlockedRuleTearsDownAnyConnectionFromTheAddress) {
    std::filesystem::create_directories(folder / "invader");
    ASSERT_TRUE(WriteLineFile(Rule("10.77.0.2.x"), "-|10.77.0.2|by hand"));
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    StartMonitor();
    const Connection c = Connect(listener, 8080);
    EXPECT_TRUE(SeesReset(c.client, 3s));
    EXPECT_FALSE(IsRegularFile(Rule("10.77.0.2.o")));
    CloseSocket(c.client);
    CloseSocket(c.server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, LargeTableStillBlocks) {
    // 300 idle loopback connections: 600 rows plus the listeners, far past a 101-row snapshot.
    const int loop_listener = ListenIn(net.local(), "127.0.0.1", 9000);
    ASSERT_GE(loop_listener, 0);
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(ConnectFrom(net.local(), "127.0.0.1", 9000));
        idle.push_back(AcceptOne(loop_listener, 1s));
    }
    ASSERT_GE(idle.back(), 0);
    const int listener = ListenIn(net.local(), "0.0.0.0", 80);
    StartMonitor();
    const Connection c = Connect(listener, 80);
    ASSERT_TRUE(WaitForRule("10.77.0.2.x"));
    EXPECT_TRUE(SeesReset(c.client, 3s));
    // Loopback rows are neither listed nor torn down.
    EXPECT_TRUE(CanExchange(idle[0], idle[1]));
    for (int fd : idle) CloseSocket(fd);
    CloseSocket(c.client);
    CloseSocket(c.server);
    CloseSocket(listener);
    CloseSocket(loop_listener);
}

TEST_F(MonitorEndToEnd, BlockTheInternetTearsEveryConnectionDownLoopbackIncluded) {
    const int loop_listener = ListenIn(net.local(), "127.0.0.1", 9000);
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    const int loop_client = ConnectFrom(net.local(), "127.0.0.1", 9000);
    const int loop_server = AcceptOne(loop_listener, 1s);
    const Connection c = Connect(listener, 8080);
    StartMonitor({"--block-internet"});
    EXPECT_TRUE(SeesReset(c.client, 3s));
    EXPECT_TRUE(SeesReset(loop_client, 3s) || SeesReset(loop_server, 1s));
    // Nothing is filed in this mode.
    EXPECT_FALSE(IsRegularFile(Rule("10.77.0.2.o")));
    for (int fd : {loop_client, loop_server, c.client, c.server, listener, loop_listener}) CloseSocket(fd);
}

}  // namespace
}  // namespace velmor::test
