// End-to-end: the real headless monitor in a network namespace of the test's own, with real
// sockets from a second namespace acting as the remote host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "velmor/common/text_file.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

// The tab-separated fields of an answer line.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (const char c : line) {
        if (c == '\t') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}
// The first `count` fields as the line has them: what the lines said before fields were added at
// their end.
std::string Head(const std::string& line, std::size_t count) {
    std::size_t tabs = 0;
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] == '\t' && ++tabs == count) return line.substr(0, at);
    }
    return line;
}

class MonitorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        // A private program folder: the monitor files its rules beside its own program file.
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
    }

    void StartMonitor(std::vector<std::string> flags = {}) {
        std::vector<std::string> argv = {
            "ip", "netns", "exec", net.local(), (folder / "velmor").string(), "--headless"};
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
    std::vector<std::string> List() {
        return monitor->Ask("list").value_or(std::vector<std::string>{"(no answer)"});
    }

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

    // Intruders one after the other from fresh addresses, each connecting to the bait port shortly
    // after the one before was reset: every one must be filed and torn down. The row count is the
    // same at every look, so only a change test that sees the rows themselves catches them all.
    void SequentialIntruders(bool hidden) {
        constexpr int kIntruders = 40;
        std::vector<std::string> addresses;
        for (int i = 0; i < kIntruders; ++i) addresses.push_back("10.77.0." + std::to_string(100 + i));
        ASSERT_TRUE(net.AddRemoteAddresses(addresses));
        const int listener = ListenIn(net.local(), "::", 80);
        ASSERT_GE(listener, 0);
        if (hidden) {
            StartMonitor({"--hidden"});
        } else {
            StartMonitor();
        }
        std::chrono::steady_clock::duration slowest{};
        int missed = 0;
        for (const std::string& address : addresses) {
            const auto start = std::chrono::steady_clock::now();
            const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 80, address);
            ASSERT_GE(client, 0) << address;
            const int server = AcceptOne(listener, 2s);
            // Generous time-outs: the machine may be loaded. The time taken is reported below.
            const bool reset = SeesReset(client, 5s);
            const auto taken = std::chrono::steady_clock::now() - start;
            slowest = std::max(slowest, taken);
            if (!reset) ++missed;
            EXPECT_TRUE(reset) << address << " was not torn down";
            EXPECT_TRUE(WaitForRule(address + ".x")) << address << " was not filed";
            CloseSocket(client);
            CloseSocket(server);
            std::this_thread::sleep_for(2ms);
        }
        EXPECT_EQ(missed, 0);
        std::printf(
            "%d intruders (%s): slowest connect-to-reset %lld ms\n", kIntruders,
            hidden ? "hidden" : "visible",
            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
        RecordProperty(
            "slowest_reset_ms",
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
        CloseSocket(listener);
    }

    TestNetwork net;
    TempDir folder;
    std::unique_ptr<ChildProcess> monitor;
};

TEST_F(MonitorEndToEnd, SequentialIntrudersAreEachFiledAndTornDownVisible) {
    SequentialIntruders(false);
}

TEST_F(MonitorEndToEnd, SequentialIntrudersAreEachFiledAndTornDownHidden) {
    SequentialIntruders(true);
}

TEST_F(MonitorEndToEnd, Ipv6IntruderOnTheBaitIsFiledAndTornDown) {
    const int listener = ListenIn(net.local(), "::", 80);
    ASSERT_GE(listener, 0);
    StartMonitor({"--hidden"});
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress6, 80);
    ASSERT_GE(client, 0);
    const int server = AcceptOne(listener, 2s);
    ASSERT_TRUE(WaitForRule("fd00:77::2.x"));
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadWholeFile(Rule("fd00:77::2.x")) ==
                   std::to_string(LocalPort(client)) + "|fd00:77::2|\r\n";
        },
        2s));
    EXPECT_TRUE(SeesReset(client, 5s)) << "the IPv6 intruder's connection should be torn down";
    const auto rows = List();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(Head(rows[0], 4), "fd00:77::2\t1\t차단\t");
    const auto ports = monitor->Ask("ports").value_or(std::vector<std::string>{});
    EXPECT_NE(std::find_if(ports.begin(), ports.end(),
                           [&](const std::string& port) {
                               return Head(port, 2) == "fd00:77::2\t" + std::to_string(LocalPort(client));
                           }),
              ports.end());
    EXPECT_FALSE(IsRegularFile(Rule("fd00:77::2.o")));
    CloseSocket(client);
    CloseSocket(server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, Ipv6PeerOnAnotherPortIsAllowedAndKept) {
    const int listener = ListenIn(net.local(), "::", 8080);
    ASSERT_GE(listener, 0);
    StartMonitor();
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress6, 8080);
    ASSERT_GE(client, 0);
    const int server = AcceptOne(listener, 2s);
    ASSERT_TRUE(WaitForRule("fd00:77::2.o"));
    EXPECT_FALSE(IsRegularFile(Rule("fd00:77::2.x")));
    EXPECT_FALSE(SeesReset(client, 500ms));
    EXPECT_TRUE(CanExchange(server, client));
    const auto rows = List();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(Head(rows[0], 4), "fd00:77::2\t1\t허용\t");
    CloseSocket(client);
    CloseSocket(server);
    CloseSocket(listener);
}

TEST_F(MonitorEndToEnd, BlockTheInternetTearsDownIpv6AndIpv6LoopbackButListenersSurvive) {
    const int listener = ListenIn(net.local(), "::", 8080);
    const int loop_listener = ListenIn(net.local(), "::1", 9000);
    ASSERT_GE(listener, 0);
    ASSERT_GE(loop_listener, 0);
    const int client6 = ConnectFrom(net.remote(), TestNetwork::kLocalAddress6, 8080);
    const int server6 = AcceptOne(listener, 2s);
    const int client4 = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 8080);
    const int server4 = AcceptOne(listener, 2s);
    const int loop_client = ConnectFrom(net.local(), "::1", 9000);
    const int loop_server = AcceptOne(loop_listener, 2s);
    ASSERT_GE(loop_server, 0);
    StartMonitor({"--block-internet"});
    EXPECT_TRUE(SeesReset(client6, 5s));
    EXPECT_TRUE(SeesReset(client4, 5s));
    EXPECT_TRUE(SeesReset(loop_client, 5s) || SeesReset(loop_server, 1s));
    EXPECT_FALSE(IsRegularFile(Rule("fd00:77::2.o")));
    // Out of the mode again, both listeners still take connections of their family.
    ASSERT_TRUE(monitor->Ask("block-internet off"));
    const int later6 = ConnectFrom(net.remote(), TestNetwork::kLocalAddress6, 8080);
    const int later_server6 = AcceptOne(listener, 2s);
    const int later_loop = ConnectFrom(net.local(), "::1", 9000);
    const int later_loop_server = AcceptOne(loop_listener, 2s);
    ASSERT_GE(later_server6, 0);
    ASSERT_GE(later_loop_server, 0);
    EXPECT_TRUE(CanExchange(later6, later_server6));
    EXPECT_TRUE(CanExchange(later_loop, later_loop_server));
    for (int fd : {client6, server6, client4, server4, loop_client, loop_server, later6, later_server6,
                   later_loop, later_loop_server, listener, loop_listener}) {
        CloseSocket(fd);
    }
}

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
    EXPECT_EQ(Head(rows[0], 4), "10.77.0.2\t1\t차단\t");
    // Then its program, the one that accepted it (this test), and the bytes it moved: none.
    const std::string own_name = ReadWholeFile("/proc/self/comm").value_or("");
    EXPECT_EQ(Fields(rows[0]), (std::vector<std::string>{"10.77.0.2", "1", "차단", "",
                                                         own_name.substr(0, own_name.find('\n')), "0", "0"}));
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
    EXPECT_EQ(Head(rows[0], 4), "10.77.0.2\t1\t허용\t");
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
