#include "velmor/engine/monitoring_cycle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "velmor/common/text_file.h"
#include "velmor/platform/system_text.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::engine {
namespace {

using rules::ListModel;
using test::MakeRow;
using test::MakeRow6;

class MonitoringCycleTest : public ::testing::Test, protected test::CycleParts {
protected:
    MonitoringCycleTest() { std::filesystem::create_directories(folder.path() / "invader"); }

    void Tick() {
        // Each tick here is a fresh look at the table, as if the counters had moved.
        ++counters.value.active_opens;
        cycle.TimerGetTable_Timer();
    }
    std::string RuleFile(const std::string& name) { return test::ReadBytes(folder / ("invader/" + name)); }
    // A regular file of exactly this name; listed, as opening it would find any spelling where file
    // names ignore letter case.
    bool HasRuleFile(const std::string& name) {
        for (const auto& entry : std::filesystem::directory_iterator(folder / "invader")) {
            if (entry.path().filename().string() == name) return IsRegularFile(entry.path());
        }
        return false;
    }
    void Connect(int local_port, const std::string& remote, int remote_port) {
        table.tcp_rows.push_back(MakeRow("10.0.0.1", local_port, remote, remote_port));
    }
    int RowOf(const std::string& address) { return address_list.Find(address); }

    test::ScriptedRandom random;
    MonitoringCycle cycle{table, &counters, store, address_list, port_list, host, dialogs, clock, random};
};

TEST_F(MonitoringCycleTest, IntruderOnPort80IsFiledBlockedTornDownAndAlerted) {
    host.visible = false;
    Connect(80, "10.1.2.3", 1043);
    Tick();

    const int row = RowOf("10.1.2.3");
    ASSERT_GE(row, 0);
    EXPECT_EQ(address_list.Cell(row, watch_ip::kCount), "1");
    EXPECT_EQ(address_list.Cell(row, watch_ip::kVerdict), "차단");
    EXPECT_EQ(address_list.Cell(row, watch_ip::kInfo), "");
    EXPECT_EQ(RuleFile("10.1.2.3.x"), "1043|10.1.2.3|\r\n");
    EXPECT_FALSE(HasRuleFile("10.1.2.3.o"));
    ASSERT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(host.icons, std::vector<engine::TrayIconChange>{engine::TrayIconChange::Invader});
    ASSERT_EQ(port_list.RowCount(), 1);
    EXPECT_EQ(port_list.Cell(0, watch_port::kAddress), "10.1.2.3");
    EXPECT_EQ(port_list.Cell(0, watch_port::kPort), "1043");

    // Every later look at the table tears the connection down again while it is there.
    Tick();
    EXPECT_EQ(table.destroyed.size(), 2u);
}

TEST_F(MonitoringCycleTest, AutomaticBlockingOffKeepsTheIntruderConnected) {
    cycle.SetChecked(0, false);
    Connect(80, "10.1.2.3", 1043);
    Tick();
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kVerdict), "차단");
    EXPECT_TRUE(table.destroyed.empty());
}

TEST_F(MonitoringCycleTest, OtherPortIsAllowedWithoutAlert) {
    host.visible = false;
    Connect(443, "10.1.2.3", 1043);
    Tick();
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kVerdict), "허용");
    EXPECT_EQ(RuleFile("10.1.2.3.o"), "1043|10.1.2.3|\r\n");
    EXPECT_TRUE(table.destroyed.empty());
    EXPECT_TRUE(host.icons.empty());
}

TEST_F(MonitoringCycleTest, HalfOpenRowsAreListedButFileNothingUntilAHandshakeCompletes) {
    // SYNs that were answered but never acknowledged: their sources may be forged.
    host.visible = false;
    table.tcp_rows.push_back(MakeRow("10.0.0.1", 80, "10.1.2.3", 1043, kStateSynReceived));
    table.tcp_rows.push_back(MakeRow("10.0.0.1", 22, "10.1.2.4", 1044, kStateSynReceived));
    table.tcp_rows.push_back(MakeRow6("fd00::1", 80, "fd00::3", 1045, kStateSynReceived));
    Tick();
    for (const char* address : {"10.1.2.3", "10.1.2.4", "fd00::3"}) {
        ASSERT_GE(RowOf(address), 0) << address;
        EXPECT_EQ(address_list.Cell(RowOf(address), watch_ip::kCount), "1") << address;
        EXPECT_EQ(address_list.Cell(RowOf(address), watch_ip::kVerdict), "") << address;
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder / "invader"));
    EXPECT_TRUE(table.destroyed.empty());
    EXPECT_TRUE(host.icons.empty());

    // The same row completes its handshake with the bait, nothing else changing: now it is an
    // intruder.
    table.tcp_rows[0].dwState = kStateEstablished;
    Tick();
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kVerdict), "차단");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kCount), "2");
    EXPECT_EQ(RuleFile("10.1.2.3.x"), "1043|10.1.2.3|\r\n");
    EXPECT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(host.icons, std::vector<engine::TrayIconChange>{engine::TrayIconChange::Invader});
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.4"), watch_ip::kVerdict), "");
    EXPECT_FALSE(HasRuleFile("10.1.2.4.o"));
}

TEST_F(MonitoringCycleTest, AHalfOpenRowOfABlockedAddressIsTornDownByItsRule) {
    test::WriteBytes(folder / "invader/10.1.2.3.x", "80|10.1.2.3|earlier\r\n");
    table.tcp_rows.push_back(MakeRow("10.0.0.1", 443, "10.1.2.3", 1043, kStateSynReceived));
    Tick();
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kVerdict), "차단");
    EXPECT_EQ(table.destroyed.size(), 1u);
}

TEST_F(MonitoringCycleTest, ALongPassTearsDownFirstAndGoesOnInSlicesWithoutReadingAgain) {
    // One row per slice: the fake clock stands still, so every slice is over its time at once.
    cycle.SetPassSlice(std::chrono::milliseconds(0), 1);
    for (int i = 0; i < 5; ++i) Connect(80, "10.1.3." + std::to_string(i + 1), 2000 + i);
    Connect(443, "10.1.3.9", 3000);
    // The second row of an intruder on another port goes with it, as its first row decides.
    Connect(443, "10.1.3.1", 2100);
    std::vector<std::size_t> rule_files_at_teardown;
    table.on_destroy = [&] {
        const std::filesystem::directory_iterator files(folder.path() / "invader");
        rule_files_at_teardown.push_back(static_cast<std::size_t>(std::distance(begin(files), end(files))));
    };
    Tick();
    EXPECT_EQ(rule_files_at_teardown, std::vector<std::size_t>{0}) << "all at once, before any rule file";
    EXPECT_EQ(table.destroyed.size(), 6u);
    EXPECT_TRUE(cycle.NextTickDelay() == std::chrono::milliseconds(0));
    host.visible = false;
    EXPECT_TRUE(cycle.NextTickDelay() == std::chrono::milliseconds(0)) << "hidden too";

    int ticks = 1;
    while (cycle.GetStats().pass_slices == static_cast<std::uint64_t>(ticks) && ticks < 20) {
        cycle.TimerGetTable_Timer();  // the counters stand still: the pass goes on, no new read
        ++ticks;
    }
    EXPECT_EQ(ticks, 7) << "one row per slice";
    EXPECT_EQ(table.tcp_reads, 1);
    EXPECT_EQ(cycle.GetStats().full_passes, 1u);
    EXPECT_EQ(table.destroyed.size(), 6u) << "no row asked for twice";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(address_list.Cell(RowOf("10.1.3." + std::to_string(i + 1)), watch_ip::kVerdict), "차단");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.3.9"), watch_ip::kVerdict), "허용");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.3.1"), watch_ip::kCount), "2");
    EXPECT_EQ(cycle.LastTcpCount(), 7);
    host.visible = true;
    EXPECT_TRUE(cycle.NextTickDelay() == std::chrono::milliseconds(1));

    // Block the Internet takes over from a pass in progress.
    Connect(80, "10.1.3.20", 4000);
    Connect(80, "10.1.3.21", 4001);
    Tick();
    cycle.SetChecked(kBlockInternetBox, true);
    const std::size_t before = table.destroyed.size();
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, 3);
    EXPECT_EQ(table.destroyed.size(), before + table.tcp_rows.size());
}

TEST_F(MonitoringCycleTest, BaitHitsFromLifelinesAndTrustedAddressesAreAllowedWithANote) {
    rules::Exemptions exemptions;
    exemptions.SetLifelines({{"10.0.0.1"}, {"10.0.0.254"}, {"10.0.0.53", "fd00::53"}});
    platform::AddressRangeSet trusted;
    trusted.Add("192.168.7.0/24");
    exemptions.SetTrusted(trusted);
    cycle.SetExemptions(&exemptions);
    host.visible = false;
    Connect(80, "10.0.0.254", 1001);
    Connect(80, "10.0.0.53", 1002);
    table.tcp_rows.push_back(MakeRow6("fd00::1", 80, "fd00::53", 1003));
    Connect(80, "127.0.0.53", 1004);
    Connect(80, "192.168.7.9", 1005);
    Connect(80, "10.9.9.9", 1006);  // no exemption: the control
    Tick();

    const std::pair<const char*, const char*> spared[] = {{"10.0.0.254", "기본 게이트웨이"},
                                                          {"10.0.0.53", "DNS 서버"},
                                                          {"fd00::53", "DNS 서버"},
                                                          {"127.0.0.53", "루프백 주소"},
                                                          {"192.168.7.9", "신뢰 목록의 주소"}};
    for (const auto& [address, why] : spared) {
        ASSERT_GE(RowOf(address), 0) << address;
        EXPECT_EQ(address_list.Cell(RowOf(address), watch_ip::kVerdict), "허용") << address;
        EXPECT_EQ(address_list.Cell(RowOf(address), watch_ip::kInfo), std::string(why) + ", 자동 차단 제외");
        EXPECT_TRUE(HasRuleFile(std::string(address) + ".o")) << address;
        EXPECT_FALSE(HasRuleFile(std::string(address) + ".x")) << address;
    }
    // Written in the system's code page, as every rule file.
    EXPECT_EQ(RuleFile("10.0.0.254.o"),
              platform::ToSystemText("1001|10.0.0.254|기본 게이트웨이, 자동 차단 제외\r\n"));
    EXPECT_EQ(host.exempt_met.size(), 5u);
    EXPECT_EQ(host.exempt_met[0], "10.0.0.254 기본 게이트웨이");
    EXPECT_EQ(cycle.GetStats().exempt_hits, 5u);
    // Only the control is an intruder.
    EXPECT_EQ(address_list.Cell(RowOf("10.9.9.9"), watch_ip::kVerdict), "차단");
    ASSERT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(RemoteAddressText(table.destroyed[0]), "10.9.9.9");
    EXPECT_EQ(host.icons.size(), 1u);

    // Counted again by the next pass, noticed once.
    Connect(443, "10.5.5.5", 1007);
    Tick();
    EXPECT_EQ(address_list.Cell(RowOf("10.0.0.254"), watch_ip::kCount), "2");
    EXPECT_EQ(host.exempt_met.size(), 5u);
}

TEST_F(MonitoringCycleTest, ExistingRuleFilesGiveVerdictAndInfo) {
    test::WriteBytes(folder / "invader/10.1.2.3.x", " 80|10.1.2.3|pc-01 \r\n");
    test::WriteBytes(folder / "invader/10.1.2.4.o", "  no separator here \r\n");
    test::WriteBytes(folder / "invader/10.1.2.5.x", "1|10.1.2.5|both\r\n");
    test::WriteBytes(folder / "invader/10.1.2.5.o", "1|10.1.2.5|allowed too\r\n");
    test::WriteBytes(folder / "invader/10.1.2.6.o", "");
    Connect(443, "10.1.2.3", 1);
    Connect(443, "10.1.2.4", 2);
    Connect(443, "10.1.2.5", 3);
    Connect(80, "10.1.2.6", 4);
    Tick();

    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kVerdict), "차단");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kInfo), "pc-01");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.4"), watch_ip::kVerdict), "허용");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.4"), watch_ip::kInfo), "no separator here");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.5"), watch_ip::kVerdict), "차단");
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.5"), watch_ip::kInfo), "both");
    // An existing allowed rule wins over the port-80 classification; the file is not rewritten.
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.6"), watch_ip::kVerdict), "허용");
    EXPECT_FALSE(HasRuleFile("10.1.2.6.x"));
    EXPECT_EQ(RuleFile("10.1.2.6.o"), "");
    // Blocked by rule: the connections to .3 and .5 go.
    EXPECT_EQ(table.destroyed.size(), 2u);
}

TEST_F(MonitoringCycleTest, RuleFilesAreFoundRegardlessOfTheLetterCaseOfTheirName) {
    // A blocked file named in upper case (copied from a system that ignores case) is the
    // address's rule for the filing lookup too: no allowed file appears beside it.
    test::WriteBytes(folder / "invader/10.77.44.6.X", "-|10.77.44.6|by hand\r\n");
    test::WriteBytes(folder / "invader/10.77.44.7.O", "5|10.77.44.7|kept\r\n");
    for (int i = 0; i < 3; ++i) Connect(443, "10.77.44.6", 1000 + i);
    Connect(80, "10.77.44.7", 7);
    Tick();

    EXPECT_EQ(address_list.Cell(RowOf("10.77.44.6"), watch_ip::kVerdict), "차단");
    EXPECT_EQ(address_list.Cell(RowOf("10.77.44.6"), watch_ip::kInfo), "by hand");
    EXPECT_EQ(address_list.Cell(RowOf("10.77.44.7"), watch_ip::kVerdict), "허용");
    EXPECT_EQ(address_list.Cell(RowOf("10.77.44.7"), watch_ip::kInfo), "kept");
    EXPECT_FALSE(HasRuleFile("10.77.44.6.o"));
    EXPECT_FALSE(HasRuleFile("10.77.44.6.x"));
    EXPECT_FALSE(HasRuleFile("10.77.44.7.x"));
    EXPECT_EQ(table.destroyed.size(), 3u);
}

#if !defined(_WIN32)  // links and FIFOs: Linux
TEST_F(MonitoringCycleTest, LinksAndFifosInTheRuleFolderAreNoRulesAndNeverFollowed) {
    const auto outside = folder / "outside";
    std::filesystem::create_directories(outside);
    test::WriteBytes(outside / "secret", "first line of another file\r\n");
    // A dangling link where the new address's allowed file would go, a link to another file as a
    // blocked rule, and a FIFO that nobody writes to (opening it for reading would wait forever).
    std::filesystem::create_symlink(outside / "created", folder / "invader/10.77.44.8.o");
    std::filesystem::create_symlink(outside / "secret", folder / "invader/10.77.44.9.x");
    ASSERT_EQ(::mkfifo((folder / "invader/10.77.44.10.x").c_str(), 0600), 0);
    Connect(443, "10.77.44.8", 8);
    Connect(443, "10.77.44.9", 9);
    Connect(443, "10.77.44.10", 10);
    Tick();

    EXPECT_FALSE(std::filesystem::exists(outside / "created"));
    EXPECT_EQ(test::ReadBytes(outside / "secret"), "first line of another file\r\n");
    for (const char* address : {"10.77.44.8", "10.77.44.9", "10.77.44.10"}) {
        EXPECT_EQ(address_list.Cell(RowOf(address), watch_ip::kVerdict), "허용") << address;
        EXPECT_EQ(address_list.Cell(RowOf(address), watch_ip::kInfo), "") << address;
    }
    // The new allowed rule is a regular file in the rule folder where the link was.
    EXPECT_EQ(RuleFile("10.77.44.8.o"), "8|10.77.44.8|\r\n");
    EXPECT_FALSE(std::filesystem::is_symlink(folder / "invader/10.77.44.8.o"));
    EXPECT_TRUE(table.destroyed.empty());
}
#endif

TEST_F(MonitoringCycleTest, CountsGrowPerPassAndStopAtTheOverflowText) {
    Connect(443, "10.1.2.3", 1);
    Connect(443, "10.1.2.3", 2);
    Connect(443, "10.1.2.3", 3);
    Tick();
    const int row = RowOf("10.1.2.3");
    EXPECT_EQ(address_list.Cell(row, watch_ip::kCount), "3");
    EXPECT_EQ(store.List(".o").size(), 1u);

    table.tcp_rows.resize(1);
    address_list.SetCell(row, watch_ip::kCount, "9999");
    Tick();
    EXPECT_EQ(address_list.Cell(row, watch_ip::kCount), "10000");
    Connect(443, "10.1.2.3", 9);
    Tick();
    EXPECT_EQ(address_list.Cell(row, watch_ip::kCount), "10000 - OVER");
    table.tcp_rows.resize(1);
    Tick();
    EXPECT_EQ(address_list.Cell(row, watch_ip::kCount), "10000 - OVER");
}

TEST_F(MonitoringCycleTest, ListeningAndLoopbackRowsAreNotListedButFallInBlockMode) {
    table.tcp_rows.push_back(MakeRow("0.0.0.0", 80, "0.0.0.0", 0, 2));
    table.tcp_rows.push_back(MakeRow("127.0.0.1", 5000, "127.0.0.1", 40000));
    Tick();
    EXPECT_EQ(address_list.RowCount(), 0);
    EXPECT_EQ(port_list.RowCount(), 0);
    EXPECT_TRUE(store.List(".o").empty() && store.List(".x").empty());
    EXPECT_TRUE(table.destroyed.empty());

    cycle.SetChecked(1, true);
    dialogs.yes_no_answers.push_back(true);
    cycle.CheckStopRun_Click(1);
    Connect(443, "10.1.2.3", 1);
    Tick();
    EXPECT_EQ(table.destroyed.size(), 3u);
    // Block mode changes no list.
    EXPECT_EQ(address_list.RowCount(), 0);
}

// The full pass runs when the set of TCP rows changed since the last one, not only their count.
TEST_F(MonitoringCycleTest, FullPassRunsWhenTheSetOfRowsChanged) {
    Connect(443, "10.1.2.3", 1);
    Connect(443, "10.1.2.4", 2);
    Tick();
    ASSERT_EQ(cycle.GetStats().full_passes, 1u);
    // The same rows, in another order and in other states: no pass, the counts stay.
    std::swap(table.tcp_rows[0], table.tcp_rows[1]);
    table.tcp_rows[0].dwState = 8;
    Tick();
    EXPECT_EQ(cycle.GetStats().full_passes, 1u);
    EXPECT_EQ(address_list.Cell(RowOf("10.1.2.3"), watch_ip::kCount), "1");
    // The same number of rows, one of them another address: a pass, which lists it.
    table.tcp_rows[0] = MakeRow("10.0.0.1", 443, "10.9.9.9", 1);
    Tick();
    EXPECT_EQ(cycle.GetStats().full_passes, 2u);
    EXPECT_GE(RowOf("10.9.9.9"), 0);
    // The same address on a new connection (another remote port) is a new row as well.
    table.tcp_rows[0] = MakeRow("10.0.0.1", 443, "10.9.9.9", 2);
    Tick();
    EXPECT_EQ(address_list.Cell(RowOf("10.9.9.9"), watch_ip::kCount), "2");
    // A changed UDP count runs the pass, as before.
    table.udp_rows = 4;
    Tick();
    EXPECT_EQ(cycle.GetStats().full_passes, 4u);
    EXPECT_EQ(cycle.LastUdpCount(), 4);
}

// Intruders one after the other, each arriving once the one before was torn down: the row count
// is the same at every pass, yet every one of them is filed and torn down.
TEST_F(MonitoringCycleTest, SequentialIntrudersAreEachFiledAndTornDown) {
    table.destroy_removes = true;
    table.tcp_rows.push_back(MakeRow("0.0.0.0", 80, "0.0.0.0", 0, 2));
    for (const bool visible : {true, false}) {
        host.visible = visible;
        for (int i = 0; i < 20; ++i) {
            const std::string address =
                std::string("10.5.") + (visible ? "1." : "2.") + std::to_string(i + 1);
            Connect(80, address, 40000 + i);
            Tick();
            EXPECT_EQ(RuleFile(address + ".x"), std::to_string(40000 + i) + "|" + address + "|\r\n");
            ASSERT_EQ(table.tcp_rows.size(), 1u) << address << " was not torn down";
            EXPECT_EQ(cycle.LastTcpCount(), 2);
        }
    }
    EXPECT_EQ(table.destroyed.size(), 40u);
    EXPECT_EQ(store.List(".x").size(), 40u);
}

TEST_F(MonitoringCycleTest, Ipv6RowsAreListedFiledAndTornDownLikeIpv4) {
    host.visible = false;
    table.tcp_rows.push_back(MakeRow6("::", 80, "::", 0, 2));
    table.tcp_rows.push_back(MakeRow6("::1", 9000, "::1", 40000));
    table.tcp_rows.push_back(MakeRow6("fd00:77::1", 80, "fd00:77:0:0::2", 40001));
    table.tcp_rows.push_back(MakeRow6("fd00:77::1", 8080, "fd00:77::3", 40002));
    Tick();
    // The address text is the RFC 5952 form; :: and ::1 are neither listed nor filed.
    EXPECT_EQ(address_list.RowCount(), 2);
    EXPECT_EQ(address_list.Cell(RowOf("fd00:77::2"), watch_ip::kVerdict), "차단");
    EXPECT_EQ(RuleFile("fd00:77::2.x"), "40001|fd00:77::2|\r\n");
    EXPECT_EQ(address_list.Cell(RowOf("fd00:77::3"), watch_ip::kVerdict), "허용");
    EXPECT_EQ(RuleFile("fd00:77::3.o"), "40002|fd00:77::3|\r\n");
    EXPECT_EQ(port_list.Cell(port_list.Find("40001"), watch_port::kAddress), "fd00:77::2");
    EXPECT_EQ(host.icons, std::vector<engine::TrayIconChange>{engine::TrayIconChange::Invader});
    ASSERT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(table.destroyed[0].dwRemotePort, test::PortField(40001));

    // Off the list, the blocked index still holds it, as for IPv4.
    address_list.Clear();
    Tick();
    EXPECT_EQ(table.destroyed.size(), 2u);

    // Block the Internet: every row of both families, loopback included.
    cycle.SetChecked(1, true);
    table.destroyed.clear();
    Tick();
    EXPECT_EQ(table.destroyed.size(), 4u);
}

TEST_F(MonitoringCycleTest, HundredthAddressEmptiesTheListAndPortListCapsAt100) {
    for (int i = 1; i <= 99; ++i) Connect(443, "10.2.0." + std::to_string(i), 1000 + i);
    Tick();
    EXPECT_EQ(address_list.RowCount(), 99);
    EXPECT_EQ(port_list.RowCount(), 99);
    Connect(443, "10.2.1.1", 2000);
    Tick();
    // The pass walks all 100 rows again: the 99 old ones count up, the hundredth empties the list.
    EXPECT_EQ(address_list.RowCount(), 0);
    EXPECT_EQ(port_list.RowCount(), 100);
    Connect(443, "10.2.1.2", 3000);
    Tick();
    // The port list is emptied before its 101st port is added.
    EXPECT_LE(port_list.RowCount(), 100);
    EXPECT_GE(port_list.Find("3000"), 0);
}

TEST_F(MonitoringCycleTest, AnIntruderWhoseRowEmptiesTheListIsTornDownInTheSamePass) {
    for (int i = 1; i <= 99; ++i) Connect(443, "10.2.0." + std::to_string(i), 1000 + i);
    Tick();
    ASSERT_EQ(address_list.RowCount(), 99);
    Connect(80, "10.9.9.9", 4000);
    Tick();
    EXPECT_EQ(address_list.RowCount(), 0) << "the intruder's row was the hundredth";
    EXPECT_EQ(RuleFile("10.9.9.9.x"), "4000|10.9.9.9|\r\n");
    ASSERT_EQ(table.destroyed.size(), 1u) << "its new rule file decides at once";
    EXPECT_EQ(RemoteAddressText(table.destroyed[0]), "10.9.9.9");

    // The file the pass wrote is no change from outside: with the counters still, the next tick is quiet.
    const int reads = table.tcp_reads;
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads);
}

TEST_F(MonitoringCycleTest, BlockedRuleStaysEnforcedWhenTheListLostTheRow) {
    Connect(80, "10.1.2.3", 1043);
    Tick();
    ASSERT_EQ(table.destroyed.size(), 1u);
    address_list.Clear();  // the user's reset, or the 100-row cap
    Tick();
    EXPECT_EQ(table.destroyed.size(), 2u);
    // A blocked file made outside the program counts as well.
    test::WriteBytes(folder / "invader/10.7.7.7.x", "-|10.7.7.7|\r\n");
    Connect(443, "10.7.7.7", 5);
    cycle.SetChecked(1, false);
    Tick();
    EXPECT_EQ(table.destroyed.size(), 4u);
}

TEST_F(MonitoringCycleTest, ListedVerdictDecidesOverTheRuleStore) {
    Connect(80, "10.1.2.3", 1043);
    Tick();
    const int row = RowOf("10.1.2.3");
    address_list.SetCell(row, watch_ip::kVerdict, "허용");
    const auto before = table.destroyed.size();
    Tick();
    EXPECT_EQ(table.destroyed.size(), before);
}

TEST_F(MonitoringCycleTest, QuietTicksReadNoTable) {
    Connect(443, "10.1.2.3", 1);
    cycle.TimerGetTable_Timer();
    const int reads = table.tcp_reads;
    for (int i = 0; i < 50; ++i) cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads);

    ++counters.value.passive_opens;
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads + 1);

    clock.Advance(cycle.SafetyNet());
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads + 2);

    address_list.Clear();
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads + 3);

    cycle.SetChecked(0, false);
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads + 4);

    counters.fail = true;
    cycle.TimerGetTable_Timer();
    EXPECT_EQ(table.tcp_reads, reads + 5);
}

TEST_F(MonitoringCycleTest, BlockInternetQuestionAnsweredNoUnchecksTheBox) {
    cycle.SetChecked(1, true);
    cycle.CheckStopRun_Click(1);  // no answer scripted: No
    EXPECT_FALSE(cycle.IsChecked(1));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "인터넷을 정말 차단할까요?");

    cycle.SetChecked(1, true);
    dialogs.yes_no_answers.push_back(true);
    cycle.CheckStopRun_Click(1);
    EXPECT_TRUE(cycle.IsChecked(1));
    // Unchecking and the automatic-blocking box ask nothing.
    cycle.SetChecked(1, false);
    cycle.CheckStopRun_Click(1);
    cycle.CheckStopRun_Click(0);
    EXPECT_EQ(dialogs.shown.size(), 2u);
}

TEST_F(MonitoringCycleTest, LampsKeepOneRedOneBlueAndPacingFollowsVisibility) {
    random.values = {0.0, 0.0};
    cycle.ShowActivityLed(0);
    // Both draws hit: lamp 0 was already red, so only lamp 1 turns red.
    EXPECT_EQ(cycle.LampColors(), (std::array<std::uint32_t, 2>{kLampBlue, kLampRed}));
    random.values = {0.05, 0.99};
    cycle.ShowActivityLed(0);  // 0.05 * 2 = 0: lamp 0 lights
    EXPECT_EQ(cycle.LampColors(), (std::array<std::uint32_t, 2>{kLampRed, kLampBlue}));
    random.values = {0.99, 0.15};
    cycle.ShowActivityLed(1);  // 0.15 * 10 = 1: no change on a quiet tick
    EXPECT_EQ(cycle.LampColors(), (std::array<std::uint32_t, 2>{kLampRed, kLampBlue}));

    EXPECT_EQ(cycle.NextTickDelay().count(), 1);
    host.visible = false;
    EXPECT_EQ(cycle.NextTickDelay().count(), 101);
    cycle.SetTimerIntervalMs(1000);
    EXPECT_EQ(cycle.NextTickDelay().count(), 1100);
}

}  // namespace
}  // namespace velmor::engine
