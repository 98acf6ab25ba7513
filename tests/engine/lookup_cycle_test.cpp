#include "velmor/engine/lookup_cycle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "velmor/common/text_file.h"
#include "velmor/engine/exchange_file.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fakes.h"
#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"

namespace velmor::engine {
namespace {

using rules::ListModel;

TEST(ExchangeLineTest, SplitsAtTheFirstArrowAndTrimsBlanks) {
    struct Case {
        std::string_view line;
        bool answer;
        std::string_view address;
        std::string_view info;
    };
    const Case cases[] = {
        {"10.1.2.3 ==> pc-01", true, "10.1.2.3", "pc-01"},
        {"   10.1.2.3    ==>    pc-01   ", true, "10.1.2.3", "pc-01"},
        {"10.1.2.3==>pc-01", true, "10.1.2.3", "pc-01"},
        {"10.1.2.3 ==> -", true, "10.1.2.3", "-"},
        {"10.1.2.3 ==> ", true, "10.1.2.3", ""},
        {"10.1.2.3 ==> a ==> b", true, "10.1.2.3", "a ==> b"},
        // Only blanks are trimmed, as the classic Trim does.
        {"\t10.1.2.3 ==> pc-01\t", true, "\t10.1.2.3", "pc-01\t"},
        // The arrow at the second character still counts; the address is then empty.
        {" ==> pc-01", true, "", "pc-01"},
        {"==> pc-01", false, "", ""},
        {"==>", false, "", ""},
        {"10.1.2.3 => pc-01", false, "", ""},
        {"10.1.2.3 pc-01", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line));
        const auto answer = ParseExchangeLine(c.line);
        ASSERT_EQ(answer.has_value(), c.answer);
        if (!answer) continue;
        EXPECT_EQ(answer->address, c.address);
        EXPECT_EQ(answer->info, c.info);
    }
    const auto round_trip = ParseExchangeLine(MakeExchangeLine("10.1.2.3", "pc-01"));
    ASSERT_TRUE(round_trip);
    EXPECT_EQ(MakeExchangeLine("10.1.2.3", "pc-01"), "10.1.2.3 ==> pc-01");
    EXPECT_EQ(round_trip->info, "pc-01");
}

class LookupCycleTest : public ::testing::Test {
protected:
    LookupCycleTest() { std::filesystem::create_directories(folder / "invader"); }

    int AddRow(const std::string& address, std::string_view verdict, const std::string& info) {
        return address_list.AddRow({address, "1", std::string(verdict), info});
    }
    void Exchange(std::string_view content) { test::WriteBytes(folder / "Hostlet.tmp", content); }
    bool ExchangeExists() { return IsRegularFile(folder / "Hostlet.tmp"); }
    void Rule(const std::string& name, std::string_view content) {
        test::WriteBytes(folder / "invader" / name, content);
    }
    std::string RuleFile(const std::string& name) { return test::ReadBytes(folder / "invader" / name); }
    const std::string& Info(int row) { return address_list.Cell(row, watch_ip::kInfo); }

    test::TempDir folder;
    test::FakeConnectionTable table;
    rules::RuleStore store{folder.path()};
    ListModel address_list{watch_ip::kColumns, watch_ip::kAddress};
    ListModel port_list{watch_port::kColumns, watch_port::kPort};
    test::FakeMonitorHost host;
    test::ScriptedDialogs dialogs;
    test::FakeClock clock;
    test::ScriptedRandom random{0.5};
    MonitoringCycle monitor{table, nullptr, store, address_list, port_list, host, dialogs, clock, random};
    test::RecordingLauncher starter;
    LookupCycle lookup{folder.path(), store, address_list, monitor, starter};
};

TEST_F(LookupCycleTest, AnswerFillsTheRowAndCompletesTheRuleLineOfItsVerdict) {
    const int row = AddRow("10.1.2.3", "차단", "");
    Rule("10.1.2.3.x", "1043|10.1.2.3|\r\n");
    Rule("10.1.2.3.o", "1043|10.1.2.3|\r\n");
    Exchange("10.1.2.3 ==> pc-01\r\n");
    lookup.TimerGetWWW_Timer();

    EXPECT_EQ(Info(row), "pc-01");
    EXPECT_EQ(RuleFile("10.1.2.3.x"), "1043|10.1.2.3|pc-01\r\n");
    EXPECT_EQ(RuleFile("10.1.2.3.o"), "1043|10.1.2.3|\r\n") << "the other verdict's file is not touched";
    EXPECT_FALSE(ExchangeExists());
    EXPECT_TRUE(starter.launches.empty()) << "no row is waiting any more";

    // An allowed row takes the ".o" file, and "-" is appended like any other answer.
    const int allowed = AddRow("10.9.9.9", "허용", "");
    Rule("10.9.9.9.o", "5000|10.9.9.9|\r\n");
    Exchange("10.9.9.9 ==> -\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(allowed), "-");
    EXPECT_EQ(RuleFile("10.9.9.9.o"), "5000|10.9.9.9|-\r\n");
    EXPECT_FALSE(IsRegularFile(folder / "invader/10.9.9.9.x"));
}

TEST_F(LookupCycleTest, RuleLineIsCompletedOnlyWhileItEndsInABar) {
    // A "-" cell turned empty again asks for a second lookup: the cell takes the new answer, the
    // rule line keeps the first one.
    const int again = AddRow("10.1.2.3", "차단", "");
    Rule("10.1.2.3.x", "1043|10.1.2.3|-\r\n");
    Exchange("10.1.2.3 ==> pc-01\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(again), "pc-01");
    EXPECT_EQ(RuleFile("10.1.2.3.x"), "1043|10.1.2.3|-\r\n");

    // A trailing blank is not a bar; a missing rule file is not created.
    const int blank = AddRow("10.1.2.4", "차단", "");
    Rule("10.1.2.4.x", "1043|10.1.2.4| \r\n");
    const int missing = AddRow("10.1.2.5", "허용", "");
    Exchange("10.1.2.4 ==> pc-04\r\n");
    lookup.TimerGetWWW_Timer();
    Exchange("10.1.2.5 ==> pc-05\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(blank), "pc-04");
    EXPECT_EQ(RuleFile("10.1.2.4.x"), "1043|10.1.2.4| \r\n");
    EXPECT_EQ(Info(missing), "pc-05");
    EXPECT_FALSE(IsRegularFile(folder / "invader/10.1.2.5.o"));
    EXPECT_FALSE(IsRegularFile(folder / "invader/10.1.2.5.x"));
}

TEST_F(LookupCycleTest, AnswersGoOnlyToWaitingRowsOfExactlyThatAddress) {
    const int named = AddRow("10.1.2.3", "허용", "old-name");
    const int longer = AddRow("10.1.2.30", "허용", "");
    Rule("10.1.2.3.o", "1|10.1.2.3|\r\n");
    Exchange("10.1.2.3 ==> new-name\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(named), "old-name");
    EXPECT_EQ(Info(longer), "");
    EXPECT_EQ(RuleFile("10.1.2.3.o"), "1|10.1.2.3|\r\n") << "a row that is not waiting takes nothing";
    EXPECT_FALSE(ExchangeExists()) << "a dropped answer is deleted all the same";

    // An answer for an address that is not listed changes nothing.
    const auto generation = address_list.Generation();
    Exchange("10.5.5.5 ==> elsewhere\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(address_list.Generation(), generation);

    // The scan does not stop at the first match: every waiting row of the address is filled.
    const int twin = address_list.AddRow({"10.1.2.30", "1", "허용", ""});
    Exchange("10.1.2.30 ==> thirty\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(longer), "thirty");
    EXPECT_EQ(Info(twin), "thirty");
}

TEST_F(LookupCycleTest, UnusableExchangeLinesAreDeletedAndIgnored) {
    const int row = AddRow("10.1.2.3", "차단", "");
    Rule("10.1.2.3.x", "1043|10.1.2.3|\r\n");
    for (const std::string_view content :
         {std::string_view("10.1.2.3 pc-01\r\n"), std::string_view("==> 10.1.2.3\r\n"),
          std::string_view(" ==> pc-01\r\n"), std::string_view(""),
          std::string_view("\r\n10.1.2.3 ==> x\r\n")}) {
        SCOPED_TRACE(std::string(content));
        Exchange(content);
        const auto generation = address_list.Generation();
        lookup.TimerGetWWW_Timer();
        EXPECT_FALSE(ExchangeExists());
        EXPECT_EQ(address_list.Generation(), generation);
        EXPECT_EQ(Info(row), "");
    }
    EXPECT_EQ(RuleFile("10.1.2.3.x"), "1043|10.1.2.3|\r\n");
    // The row was still waiting, so every tick started a lookup for it.
    EXPECT_EQ(starter.launches.size(), 5u);
}

TEST_F(LookupCycleTest, RowsAreServedStrictlyInListOrderOneStartPerTick) {
    AddRow("10.0.0.1", "허용", "");
    AddRow("10.0.0.2", "허용", "named");
    AddRow("10.0.0.3", "허용", "");
    AddRow("10.0.0.4", "허용", "");

    lookup.TimerGetWWW_Timer();
    lookup.TimerGetWWW_Timer();  // no answer yet: the same row again
    EXPECT_EQ(starter.FirstArguments(), (std::vector<std::string>{"10.0.0.1", "10.0.0.1"}));
    EXPECT_EQ(starter.launches[0].program, folder / "hostlet");

    // An answer for a later row does not let it jump the queue's head.
    Exchange("10.0.0.4 ==> four\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(starter.FirstArguments().back(), "10.0.0.1");

    Exchange("10.0.0.1 ==> one\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(starter.FirstArguments().back(), "10.0.0.3");
    Exchange("10.0.0.3 ==> three\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(starter.launches.size(), 4u) << "nothing waits any more";
    EXPECT_EQ(lookup.GetStats().ticks, 5u);
    EXPECT_LE(lookup.GetStats().starts, lookup.GetStats().ticks);
}

TEST_F(LookupCycleTest, BlockTheInternetHoldsTheAnswerAndStartsNothing) {
    const int row = AddRow("10.1.2.3", "차단", "");
    Exchange("10.1.2.3 ==> pc-01\r\n");
    monitor.SetChecked(1, true);
    monitor.SetTimerIntervalMs(1000);
    lookup.TimerGetWWW_Timer();
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(monitor.TimerIntervalMs(), 1) << "the table interval is reset before the early end";
    EXPECT_TRUE(ExchangeExists());
    EXPECT_EQ(Info(row), "");
    EXPECT_TRUE(starter.launches.empty());

    monitor.SetChecked(1, false);
    lookup.TimerGetWWW_Timer();
    EXPECT_FALSE(ExchangeExists());
    EXPECT_EQ(Info(row), "pc-01");
}

TEST_F(LookupCycleTest, TickResetsTheTableIntervalAndReadsOnlyTheFirstLine) {
    monitor.SetTimerIntervalMs(1000);
    const int row = AddRow("10.1.2.3", "허용", "");
    // A second line (never written by the helper) is not part of the answer.
    Exchange("10.1.2.3 ==> pc-01\r\n10.1.2.3 ==> other\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(monitor.TimerIntervalMs(), 1);
    EXPECT_EQ(Info(row), "pc-01");
}

TEST(DetachedLauncherTest, MissingProgramIsReportedNotThrown) {
    test::TempDir folder;
    platform::DetachedLauncher starter;
    EXPECT_FALSE(starter.Start(folder / "hostlet", {"10.1.2.3"}));
}

TEST_F(LookupCycleTest, AnswersThatBreakTheNameRuleBecomeADash) {
    // Anyone who can write the program folder can write the exchange file: a "|", a carriage
    // return or an escape sequence must reach neither the list nor the rule line.
    const std::string bad_names[] = {"a|b", "pc\r01", "\x1b[31mred", "two words", std::string(254, 'a'), ""};
    int n = 0;
    for (const std::string& bad : bad_names) {
        SCOPED_TRACE(n);
        const std::string address = "10.2.0." + std::to_string(++n);
        const int row = AddRow(address, "차단", "");
        Rule(address + ".x", "80|" + address + "|\r\n");
        Exchange(address + " ==> " + bad + "\r\n");
        lookup.TimerGetWWW_Timer();
        EXPECT_EQ(Info(row), "-");
        EXPECT_EQ(RuleFile(address + ".x"), "80|" + address + "|-\r\n");
    }
    const int good = AddRow("10.2.1.1", "차단", "");
    Exchange("10.2.1.1 ==> " + std::string(253, 'a') + "\r\n");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(good), std::string(253, 'a'));
}

#if !defined(_WIN32)  // links and FIFOs: Linux
TEST_F(LookupCycleTest, AnExchangeFileThatIsALinkOrAFifoIsNeverRead) {
    const int row = AddRow("10.1.2.3", "허용", "");
    test::WriteBytes(folder / "elsewhere", "10.1.2.3 ==> from-a-link\r\n");
    std::filesystem::create_symlink(folder / "elsewhere", folder / "Hostlet.tmp");
    lookup.TimerGetWWW_Timer();
    EXPECT_EQ(Info(row), "");
    EXPECT_EQ(test::ReadBytes(folder / "elsewhere"), "10.1.2.3 ==> from-a-link\r\n");

    std::filesystem::remove(folder / "Hostlet.tmp");
    ASSERT_EQ(::mkfifo((folder / "Hostlet.tmp").c_str(), 0600), 0);
    lookup.TimerGetWWW_Timer();  // would wait forever in open() if the FIFO were opened
    EXPECT_EQ(Info(row), "");
    EXPECT_EQ(starter.FirstArguments(), (std::vector<std::string>{"10.1.2.3", "10.1.2.3"}));
}
#endif

#if !defined(_WIN32)  // links: Linux
TEST_F(LookupCycleTest, StaleHelperTemporariesOlderThanAMinuteAreRemoved) {
    const auto now = std::filesystem::file_time_type::clock::now();
    test::WriteBytes(folder / "Hostlet.tmp.part-1", "10.1.2.3 ==> ha");
    std::filesystem::last_write_time(folder / "Hostlet.tmp.part-1", now - std::chrono::minutes(2));
    test::WriteBytes(folder / "Hostlet.tmp.part-2", "10.1.2.3 ==> fresh");
    test::WriteBytes(folder / "Other.tmp.part-3", "x");
    std::filesystem::last_write_time(folder / "Other.tmp.part-3", now - std::chrono::minutes(2));
    test::WriteBytes(folder / "kept", "x");
    std::filesystem::last_write_time(folder / "kept", now - std::chrono::minutes(2));
    std::filesystem::create_symlink(folder / "kept", folder / "Hostlet.tmp.part-4");
    Exchange("10.1.2.3 ==> pc\r\n");
    std::filesystem::last_write_time(folder / "Hostlet.tmp", now - std::chrono::minutes(2));

    lookup.RemoveStaleExchangeParts();
    EXPECT_FALSE(std::filesystem::exists(folder / "Hostlet.tmp.part-1"));
    EXPECT_TRUE(std::filesystem::exists(folder / "Hostlet.tmp.part-2"));
    EXPECT_TRUE(std::filesystem::exists(folder / "Other.tmp.part-3"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "Hostlet.tmp.part-4"));
    EXPECT_TRUE(std::filesystem::exists(folder / "kept"));
    EXPECT_TRUE(ExchangeExists()) << "the answer itself is the cycle's to collect";
}
#endif

}  // namespace
}  // namespace velmor::engine
