// The headless monitor as a machine on the Internet meets it, in the forged-SYN test bed: SYNs with
// forged sources (its own gateway and DNS server among them) file nothing and block nothing, while a
// completed handshake from the same address is an intruder; local processes reaching the bait from
// loopback addresses and trusted addresses are never blocked. Through velmor-guard and with the
// monitor's own rights, shown and hidden.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "velmor/common/text_file.h"
#include "velmor/guard/guard_link.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/syn_test_bed.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNobody = "65534";

struct Mode {
    bool guard;
    bool hidden;
};

class NeverTurnedAgainstItsUser : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override {
        ASSERT_TRUE(bed.ok());
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
        std::filesystem::create_directories(config / "velmor");
        std::ofstream(config / "velmor/trusted.txt") << "# the office\n10.79.7.0/24\n";
        if (GetParam().guard) {
            // velmor as nobody, blocking through the guard, which hands it the bait.
            std::filesystem::permissions(run.path(), std::filesystem::perms(0755));
            socket_path = (run / "guard.sock").string();
            // With the rights of its unit, as the package runs it.
            guard = std::make_unique<ChildProcess>(std::vector<std::string>{
                "ip", "netns", "exec", bed.monitored(), VELMOR_GUARD_AS_UNIT,
                (BuiltProgramFolder().parent_path() / "libexec" / "velmor-guard").string(), "--socket",
                socket_path, "--group", kNobody});
            ASSERT_TRUE(guard->started());
            ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(socket_path); }, 10s));
            ASSERT_EQ(std::system(("chown -R " + std::string(kNobody) + ":" + kNobody + " " +
                                   folder.path().string() + " " + config.path().string())
                                      .c_str()),
                      0);
            std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
        } else {
            // velmor with its own rights (root in the namespace); the test keeps the bait.
            bait = ListenIn(bed.monitored(), "::", 80);
            ASSERT_GE(bait, 0);
        }
        std::vector<std::string> argv{"ip", "netns", "exec", bed.monitored()};
        if (GetParam().guard) {
            for (const char* word : {"setpriv", "--reuid", kNobody, "--regid", kNobody, "--clear-groups"})
                argv.emplace_back(word);
        }
        argv.insert(argv.end(), {"env",
                                 std::string(guard::kGuardSocketVariable) + "=" +
                                     (GetParam().guard ? socket_path : (run / "none.sock").string()),
                                 "XDG_CONFIG_HOME=" + config.path().string(), (folder / "velmor").string(),
                                 "--headless"});
        if (GetParam().hidden) argv.emplace_back("--hidden");
        monitor = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(monitor->started());
        ASSERT_TRUE(monitor->Ask("stats", 10s).has_value());
    }
    void TearDown() override {
        if (bait >= 0) CloseSocket(bait);
    }

    bool Filed(const std::string& address, const char* extension) {
        return IsRegularFile(folder / "invader" / (address + extension));
    }
    std::string BlockedSets() {
        return ShellOutput("ip netns exec " + bed.monitored() +
                           " nft list set inet velmor blocked4 2>&1; ip netns exec " + bed.monitored() +
                           " nft list set inet velmor blocked6 2>&1");
    }
    std::vector<std::string> Ask(const std::string& command) {
        return monitor->Ask(command).value_or(std::vector<std::string>{});
    }
    // A handshake from `source` to the bait, and whether the monitor tore it down.
    bool HandshakeIsTornDown(const std::string& source) {
        const int client = bed.Handshake(source, 80);
        EXPECT_GE(client, 0) << source;
        const bool reset = client >= 0 && SeesReset(client, 3s);
        CloseSocket(client);
        return reset;
    }

    SynTestBed bed;
    TempDir folder;
    TempDir config;
    TempDir run;
    std::string socket_path;
    std::unique_ptr<ChildProcess> guard;
    std::unique_ptr<ChildProcess> monitor;
    int bait = -1;
};

TEST_P(NeverTurnedAgainstItsUser, ForgedSynsFileAndBlockNothingWhileAHandshakeOfTheSameAddressIsAnIntruder) {
    const auto lifelines = Ask("trusted");
    EXPECT_NE(std::find(lifelines.begin(), lifelines.end(),
                        "기본 게이트웨이\t" + std::string(SynTestBed::kGatewayAddress)),
              lifelines.end())
        << testing::PrintToString(lifelines);
    EXPECT_NE(std::find(lifelines.begin(), lifelines.end(),
                        "DNS 서버\t" + std::string(SynTestBed::kResolverAddress)),
              lifelines.end());

    std::vector<std::string> sources = {SynTestBed::kGatewayAddress, SynTestBed::kResolverAddress,
                                        SynTestBed::kGatewayAddress6, SynTestBed::ClientAddress6(1)};
    for (int i = 0; i < 16; ++i) sources.push_back(SynTestBed::ClientAddress(1 + i * 300));
    ASSERT_TRUE(bed.ForgeSyns(sources, 80));
    ASSERT_TRUE(
        WaitUntil([&] { return bed.CountOnPort("syn-recv", 80) == static_cast<int>(sources.size()); }, 3s));
    // Several reads of the table later (the hidden pause, the safety net, the counters).
    std::this_thread::sleep_for(2500ms);
    for (const std::string& source : sources) {
        EXPECT_FALSE(Filed(source, ".x")) << source;
        EXPECT_FALSE(Filed(source, ".o")) << source;
    }
    const auto listed = Ask("list");
    const auto row = std::find_if(listed.begin(), listed.end(), [](const std::string& line) {
        return line.starts_with(std::string(SynTestBed::kGatewayAddress) + "\t");
    });
    ASSERT_NE(row, listed.end()) << "listed and counted as before: " << testing::PrintToString(listed);
    // Its four fields as before; who is talking follows them.
    EXPECT_TRUE(row->starts_with(std::string(SynTestBed::kGatewayAddress) + "\t1\t\t\t")) << *row;
    if (GetParam().guard) {
        EXPECT_EQ(BlockedSets().find("elements"), std::string::npos) << BlockedSets();
    }
    EXPECT_TRUE(bed.Ping(SynTestBed::kGatewayAddress));
    EXPECT_TRUE(bed.Ping(SynTestBed::kResolverAddress));

    // The control: a completed handshake from a forged address makes it an intruder.
    const std::string intruder = SynTestBed::ClientAddress(1);
    EXPECT_TRUE(HandshakeIsTornDown(intruder));
    EXPECT_TRUE(WaitUntil([&] { return Filed(intruder, ".x"); }, 3s));
    if (GetParam().guard) {
        EXPECT_TRUE(WaitUntil([&] { return BlockedSets().find(intruder) != std::string::npos; }, 3s));
    }
    // The gateway completing a handshake with the bait is spared, noted and not torn down.
    EXPECT_FALSE(HandshakeIsTornDown(SynTestBed::kGatewayAddress));
    EXPECT_TRUE(WaitUntil([&] { return Filed(SynTestBed::kGatewayAddress, ".o"); }, 3s));
    EXPECT_EQ(ReadFirstLine(folder / "invader" / (std::string(SynTestBed::kGatewayAddress) + ".o"))
                  .value_or("")
                  .substr(std::string("00000|").size() - 1),
              "|" + std::string(SynTestBed::kGatewayAddress) + "|기본 게이트웨이, 자동 차단 제외")
        << "the line keeps the remote port first";
    EXPECT_FALSE(Filed(SynTestBed::kGatewayAddress, ".x"));
    EXPECT_TRUE(bed.Ping(SynTestBed::kGatewayAddress));
}

TEST_P(NeverTurnedAgainstItsUser, LocalUsersAndTrustedAddressesNeverCutTheMachineOff) {
    // A stand-in for the local DNS stub on 127.0.0.53.
    const int stub = ListenIn(bed.monitored(), "127.0.0.53", 53);
    ASSERT_GE(stub, 0);
    // Another local user reaches the bait from 127.0.0.53 and from ::1.
    for (const auto& [source, target] : {std::pair{"127.0.0.53", "127.0.0.1"}, std::pair{"::1", "::1"}}) {
        const std::string script = std::string("import socket,time\ns=socket.socket(socket.AF_INET") +
                                   (std::string(source).find(':') != std::string::npos ? "6" : "") +
                                   ")\ns.bind(('" + source + "',0))\ns.connect(('" + target +
                                   "',80))\ntime.sleep(2)\n";
        EXPECT_EQ(std::system(("ip netns exec " + bed.monitored() + " setpriv --reuid 65533 --regid 65533 " +
                               "--clear-groups /usr/bin/python3 -c \"" + script + "\"")
                                  .c_str()),
                  0)
            << source;
    }
    EXPECT_TRUE(WaitUntil([&] { return Filed("127.0.0.53", ".o"); }, 3s));
    EXPECT_FALSE(Filed("127.0.0.53", ".x"));
    EXPECT_FALSE(Filed("::1", ".x"));
    if (GetParam().guard) {
        EXPECT_EQ(BlockedSets().find("127.0.0.53"), std::string::npos);
    }
    const int client = ConnectFrom(bed.monitored(), "127.0.0.53", 53, "127.0.0.53");
    EXPECT_GE(client, 0) << "the stub no longer answers";
    CloseSocket(client);
    CloseSocket(stub);

    // The trusted list: spared; an address beside it is not.
    EXPECT_FALSE(HandshakeIsTornDown(SynTestBed::ClientAddress(7 * 254 + 4)));  // 10.79.7.5
    EXPECT_TRUE(WaitUntil([&] { return Filed("10.79.7.5", ".o"); }, 3s));
    EXPECT_TRUE(HandshakeIsTornDown(SynTestBed::ClientAddress(8 * 254 + 4)));  // 10.79.8.5
    EXPECT_TRUE(WaitUntil([&] { return Filed("10.79.8.5", ".x"); }, 3s));
    if (GetParam().guard) {
        EXPECT_TRUE(WaitUntil([&] { return BlockedSets().find("10.79.8.5") != std::string::npos; }, 3s));
        EXPECT_EQ(BlockedSets().find("10.79.7.5"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, NeverTurnedAgainstItsUser,
                         ::testing::Values(Mode{true, false}, Mode{true, true}, Mode{false, false},
                                           Mode{false, true}),
                         [](const ::testing::TestParamInfo<Mode>& mode) {
                             return std::string(mode.param.guard ? "Guard" : "OwnRights") +
                                    (mode.param.hidden ? "Hidden" : "Shown");
                         });

}  // namespace
}  // namespace velmor::test
