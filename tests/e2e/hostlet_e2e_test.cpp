// End-to-end: the headless monitor and the real Hostlet beside it in a private program folder, in
// the test's own namespaces. The monitored namespace gets its own hosts file (10.77.0.2 is
// "pc-01"), and its resolver points at its own loopback, so no lookup leaves it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

#include "velmor/common/text_file.h"
#include "velmor/test/child_process.h"
#include "velmor/test/netns_files.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

class HostletEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        ASSERT_TRUE(etc.ok());
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
    }
    void CopyHostlet() { std::filesystem::copy_file(BuiltProgramFolder() / "hostlet", folder / "hostlet"); }

    void StartMonitor(std::vector<std::string> flags = {}) {
        std::vector<std::string> argv = {
            "ip", "netns", "exec", net.local(), (folder / "velmor").string(), "--headless"};
        argv.insert(argv.end(), flags.begin(), flags.end());
        monitor = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(monitor->started());
        ASSERT_TRUE(monitor->Ask("stats", 10s).has_value());
    }

    std::filesystem::path Rule(const std::string& name) { return folder / "invader" / name; }
    std::string RuleText(const std::string& name) { return ReadWholeFile(Rule(name)).value_or("(none)"); }
    std::string ExchangeText() { return ReadWholeFile(folder / "Hostlet.tmp").value_or("(none)"); }

    // The address list row of `address` as its tab-separated cells; empty when it is not listed.
    std::vector<std::string> Row(const std::string& address) {
        for (const std::string& line : monitor->Ask("list").value_or(std::vector<std::string>{})) {
            const auto cells = Split(line, '\t');
            if (cells[0] == address) return cells;
        }
        return {};
    }
    std::map<std::string, long> Stats() {
        std::map<std::string, long> stats;
        for (const std::string& line : monitor->Ask("stats").value_or(std::vector<std::string>{})) {
            const auto words = Split(line, ' ');
            if (words.size() == 2) stats[words[0]] = std::stol(words[1]);
        }
        return stats;
    }
    // Children of the monitor that have ended but were not reaped.
    int Zombies() {
        const std::string pid = std::to_string(monitor->pid());
        const std::string children =
            ReadWholeFile("/proc/" + pid + "/task/" + pid + "/children").value_or("");
        int zombies = 0;
        for (const std::string& child : Split(children, ' ')) {
            if (child.empty()) continue;
            const std::string stat = ReadWholeFile("/proc/" + child + "/stat").value_or("");
            // The state letter follows the command name in parentheses.
            const auto close = stat.rfind(") ");
            if (close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z') ++zombies;
        }
        return zombies;
    }
    static std::vector<std::string> Split(const std::string& text, char separator) {
        std::vector<std::string> parts(1);
        for (const char c : text) {
            if (c == separator) {
                parts.emplace_back();
            } else {
                parts.back().push_back(c);
            }
        }
        return parts;
    }

    TestNetwork net;
    NamespaceEtcFiles etc{net.local(),
                          {{"hosts", "127.0.0.1 localhost\n10.77.0.2 pc-01\nfd00:77::2 pc-06\n"},
                           {"resolv.conf", NamespaceEtcFiles::LoopbackResolvConf()}}};
    TempDir folder;
    std::unique_ptr<ChildProcess> monitor;
};

TEST_F(HostletEndToEnd, IntruderGetsItsHostNameInTheListAndInTheRuleFile) {
    CopyHostlet();
    const int listener = ListenIn(net.local(), "0.0.0.0", 80);
    ASSERT_GE(listener, 0);
    StartMonitor();
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 80);
    const int server = AcceptOne(listener, 2s);
    ASSERT_GE(client, 0);
    const std::string filed = std::to_string(LocalPort(client)) + "|10.77.0.2|pc-01\r\n";

    EXPECT_TRUE(WaitUntil([&] { return RuleText("10.77.0.2.x") == filed; }, 3s)) << RuleText("10.77.0.2.x");
    const auto row = Row("10.77.0.2");
    ASSERT_EQ(row.size(), 7u);  // the four cells, then program, received and sent
    EXPECT_EQ(row[2], "차단");
    EXPECT_EQ(row[3], "pc-01");

    // Nothing waits any more: no more helper starts, the answer is gone, the helpers are reaped.
    const auto before = Stats();
    std::this_thread::sleep_for(1500ms);
    const auto after = Stats();
    EXPECT_GE(after.at("lookup_ticks"), before.at("lookup_ticks") + 1);
    EXPECT_EQ(after.at("lookup_starts"), before.at("lookup_starts"));
    EXPECT_LE(after.at("lookup_starts"), after.at("lookup_ticks")) << "at most one start a tick";
    EXPECT_EQ(ExchangeText(), "(none)");
    EXPECT_EQ(Zombies(), 0);
    for (int fd : {client, server, listener}) CloseSocket(fd);
}

TEST_F(HostletEndToEnd, Ipv6IntruderGetsItsHostNameInTheListAndInTheRuleFile) {
    CopyHostlet();
    const int listener = ListenIn(net.local(), "::", 80);
    ASSERT_GE(listener, 0);
    StartMonitor();
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress6, 80);
    const int server = AcceptOne(listener, 2s);
    ASSERT_GE(client, 0);
    const std::string filed = std::to_string(LocalPort(client)) + "|fd00:77::2|pc-06\r\n";
    EXPECT_TRUE(WaitUntil([&] { return RuleText("fd00:77::2.x") == filed; }, 5s)) << RuleText("fd00:77::2.x");
    const auto row = Row("fd00:77::2");
    ASSERT_EQ(row.size(), 7u);  // the four cells, then program, received and sent
    EXPECT_EQ(row[2], "차단");
    EXPECT_EQ(row[3], "pc-06");
    for (int fd : {client, server, listener}) CloseSocket(fd);
}

TEST_F(HostletEndToEnd, BlockTheInternetHoldsTheAnswerAndStartsNoLookupUntilItIsLeft) {
    // No helper yet: the row stays waiting, and every start fails quietly.
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    ASSERT_GE(listener, 0);
    StartMonitor({"--auto-block=off"});
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 8080);
    const int server = AcceptOne(listener, 2s);
    ASSERT_GE(client, 0);
    const std::string port = std::to_string(LocalPort(client));
    ASSERT_TRUE(WaitUntil([&] { return Row("10.77.0.2").size() == 7; }, 3s));

    ASSERT_TRUE(monitor->Ask("block-internet on"));
    CopyHostlet();
    WriteBytes(folder / "Hostlet.tmp", "10.77.0.9 ==> elsewhere\r\n");
    const auto before = Stats();
    ASSERT_TRUE(WaitUntil([&] { return Stats()["lookup_ticks"] >= before.at("lookup_ticks") + 2; }, 4s));
    // A started helper would have replaced the file with its own answer.
    EXPECT_EQ(ExchangeText(), "10.77.0.9 ==> elsewhere\r\n");
    EXPECT_EQ(Stats().at("lookup_starts"), before.at("lookup_starts"));
    EXPECT_EQ(Row("10.77.0.2").at(3), "");
    EXPECT_EQ(RuleText("10.77.0.2.o"), port + "|10.77.0.2|\r\n");

    ASSERT_TRUE(monitor->Ask("block-internet off"));
    EXPECT_TRUE(WaitUntil([&] { return RuleText("10.77.0.2.o") == port + "|10.77.0.2|pc-01\r\n"; }, 3s))
        << RuleText("10.77.0.2.o");
    EXPECT_EQ(Row("10.77.0.2").at(3), "pc-01");
    for (int fd : {client, server, listener}) CloseSocket(fd);
}

}  // namespace
}  // namespace velmor::test
