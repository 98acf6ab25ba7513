#include "velmor/rules/rule_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <chrono>
#include <ctime>

#include "velmor/common/text_file.h"
#include "velmor/rules/rule_list.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::rules {
namespace {

TEST(DayNumber, FollowsTheFixedMonthConstant) {
    const int offsets[12] = {30, 61, 91, 122, 152, 182, 213, 243, 274, 304, 335, 365};
    for (int month = 1; month <= 12; ++month) {
        EXPECT_EQ(DayNumber({2026, month, 1}), 2026 * 365 + offsets[month - 1] + 1) << "month " << month;
    }
    EXPECT_EQ(DayNumber({2025, 12, 31}), DayNumber({2026, 1, 1}));
    EXPECT_EQ(DayNumber({2026, 3, 1}) - DayNumber({2026, 2, 28}), 3);
    EXPECT_EQ(DayNumber({2026, 1, 30}) - DayNumber({2025, 12, 31}), 29);
    EXPECT_EQ(DayNumber({2026, 1, 31}) - DayNumber({2025, 12, 31}), 30);
}

TEST(Verdict, CellTextsReadBackAndOnlyTheBlockedTextBlocks) {
    for (const Verdict verdict : {Verdict::Blocked, Verdict::Allowed}) {
        EXPECT_EQ(VerdictOf(VerdictText(verdict)), verdict);
    }
    // A row the cycle has not labelled yet, or any other text, never counts as blocked.
    for (const std::string_view text : {"", "-", "차단 ", " 차단", "차단됨", "x", "허용"}) {
        EXPECT_EQ(VerdictOf(text), Verdict::Allowed) << text;
    }
}

TEST(RuleLine, InfoIsTheTextAfterTheLastSeparator) {
    EXPECT_EQ(InfoOfRuleLine("1043|10.1.2.3|"), "");
    EXPECT_EQ(InfoOfRuleLine(" 80|10.1.2.3|pc-01 "), "pc-01");
    EXPECT_EQ(InfoOfRuleLine("  -|1.2.3.4|left|right  "), "right");
    EXPECT_EQ(InfoOfRuleLine("  whole line  "), "whole line");
    EXPECT_EQ(InfoOfRuleLine(""), "");
    EXPECT_EQ(MakeRuleLine("-", "100.200.30.40", "x"), "-|100.200.30.40|x");
}

class RuleStoreTest : public ::testing::Test {
protected:
    RuleStoreTest() { std::filesystem::create_directories(folder.path() / "invader"); }

    // Writes a rule file dated at local noon of `date`.
    void WriteDated(const std::string& name, LocalDate date) {
        const auto path = folder / ("invader/" + name);
        test::WriteBytes(path, "1|" + name + "|\r\n");
        std::tm parts{};
        parts.tm_year = date.year - 1900;
        parts.tm_mon = date.month - 1;
        parts.tm_mday = date.day;
        parts.tm_hour = 12;
        parts.tm_isdst = -1;
        const auto moment = std::chrono::system_clock::from_time_t(std::mktime(&parts));
        std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(moment));
    }
    bool Has(const std::string& name) { return IsRegularFile(folder / ("invader/" + name)); }

    test::TempDir folder;
    RuleStore store{folder.path()};
    test::FakeClock clock;
};

TEST_F(RuleStoreTest, ExpiryDeletesRulesThirtyOrMoreDayNumbersAwayEitherWay) {
    clock.today = {2026, 1, 30};
    WriteDated("1.1.1.1.o", {2025, 12, 31});  // 29: kept
    WriteDated("1.1.1.2.x", {2025, 12, 30});  // 30: deleted
    WriteDated("1.1.1.3.x", {2026, 3, 2});    // 30+ in the future: deleted
    WriteDated("1.1.1.4.X", {2025, 6, 1});    // upper-case extension is a rule file too
    WriteDated("1.1.1.5.o", {2026, 1, 30});
    WriteDated("notes.txt", {2020, 1, 1});  // not a rule file
    store.ExpireInvaderFiles(clock);
    EXPECT_TRUE(Has("1.1.1.1.o"));
    EXPECT_FALSE(Has("1.1.1.2.x"));
    EXPECT_FALSE(Has("1.1.1.3.x"));
    EXPECT_FALSE(Has("1.1.1.4.X"));
    EXPECT_TRUE(Has("1.1.1.5.o"));
    EXPECT_TRUE(Has("notes.txt"));

    clock.today = {2026, 1, 31};
    store.ExpireInvaderFiles(clock);
    EXPECT_FALSE(Has("1.1.1.1.o"));
}

TEST_F(RuleStoreTest, ExpiryAndLoadingOfAMissingOrEmptyDirectoryDoNothing) {
    ListModel list(kRuleListColumns);
    list.AddRow({"stale"});
    store.ExpireInvaderFiles(clock);
    LoadInvaderList(store, list, Verdict::Blocked);
    EXPECT_EQ(list.RowCount(), 0);
    RuleStore missing(folder / "nowhere");
    missing.ExpireInvaderFiles(clock);
    LoadInvaderList(missing, list, Verdict::Allowed);
    EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(RuleStoreTest, RuleListShowsOneViewWithLowerCasedNamesAndInfo) {
    test::WriteBytes(folder / "invader/10.0.0.2.x", "1043|10.0.0.2|\r\n");
    test::WriteBytes(folder / "invader/HOST.EXAMPLE.X", " -|host.example|a|b \r\n");
    test::WriteBytes(folder / "invader/10.0.0.1.x", "-|10.0.0.1|manual\r\n");
    test::WriteBytes(folder / "invader/10.0.0.1.o", "5|10.0.0.1|\r\n");
    std::filesystem::create_directories(folder / "invader/folder.x");  // not a file: not a rule

    ListModel list(kRuleListColumns);
    LoadInvaderList(store, list, Verdict::Blocked);
    ASSERT_EQ(list.RowCount(), 3);
    // Ascending order of the file names (upper-case letters sort before digits' followers here).
    EXPECT_EQ(list.Cell(0, 0), "10.0.0.1");
    EXPECT_EQ(list.Cell(0, 2), "manual");
    EXPECT_EQ(list.Cell(1, 0), "10.0.0.2");
    EXPECT_EQ(list.Cell(1, 1), "차단");
    EXPECT_EQ(list.Cell(1, 2), "-");
    EXPECT_EQ(list.Cell(2, 0), "host.example");
    EXPECT_EQ(list.Cell(2, 1), "차단");
    EXPECT_EQ(list.Cell(2, 2), "b");

    LoadInvaderList(store, list, Verdict::Allowed);
    ASSERT_EQ(list.RowCount(), 1);
    EXPECT_EQ(list.Cell(0, 0), "10.0.0.1");
    EXPECT_EQ(list.Cell(0, 1), "허용");
}

TEST_F(RuleStoreTest, BlockedIndexFollowsOwnWritesAndOutsideChanges) {
    store.RefreshBlockedIndex();
    EXPECT_FALSE(store.IsIndexedBlocked("10.0.0.9"));
    const auto generation = store.BlockedGeneration();

    ASSERT_TRUE(store.Write("10.0.0.9", Verdict::Blocked, "1|10.0.0.9|"));
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("10.0.0.9"));
    EXPECT_GT(store.BlockedGeneration(), generation);

    // Changes by someone else (the user's file manager, another copy) arrive through the watch.
    test::WriteBytes(folder / "invader/10.0.0.8.x", "-|10.0.0.8|\r\n");
    std::filesystem::rename(folder / "invader/10.0.0.9.x", folder / "invader/10.0.0.9.o");
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("10.0.0.8"));
    EXPECT_FALSE(store.IsIndexedBlocked("10.0.0.9"));

    // With nothing changed, a refresh keeps the generation.
    const auto steady = store.BlockedGeneration();
    store.RefreshBlockedIndex(false);
    EXPECT_EQ(store.BlockedGeneration(), steady);
}

TEST_F(RuleStoreTest, BlockedIndexWaitsForTheFolderToAppear) {
    test::TempDir other;
    RuleStore late(other.path());
    late.RefreshBlockedIndex();
    std::filesystem::create_directories(other / "invader");
    test::WriteBytes(other / "invader/10.0.0.5.x", "x\r\n");
    late.RefreshBlockedIndex(false);  // not yet retried
    EXPECT_FALSE(late.IsIndexedBlocked("10.0.0.5"));
    late.RefreshBlockedIndex(true);
    EXPECT_TRUE(late.IsIndexedBlocked("10.0.0.5"));
}

TEST_F(RuleStoreTest, EveryReaderAndWriterFindsARuleWhateverTheCaseOfItsName) {
    test::WriteBytes(folder / "invader/10.77.44.6.X", "-|10.77.44.6|\r\n");
    test::WriteBytes(folder / "invader/FD00:77::A.O", "-|fd00:77::a|\r\n");
    EXPECT_TRUE(store.Exists("10.77.44.6", Verdict::Blocked));
    EXPECT_FALSE(store.Exists("10.77.44.6", Verdict::Allowed));
    EXPECT_TRUE(store.Exists("fd00:77::a", Verdict::Allowed));
    EXPECT_EQ(store.ReadLine("10.77.44.6", Verdict::Blocked), "-|10.77.44.6|");
    store.RefreshBlockedIndex();
    EXPECT_TRUE(store.IsIndexedBlocked("10.77.44.6"));
    test::WriteBytes(folder / "invader/FD00:77::B.x", "-|x|\r\n");
    store.RefreshBlockedIndex();
    EXPECT_TRUE(store.IsIndexedBlocked("fd00:77::b"));

    // Host information goes into the file that was found, not into a new one beside it.
    ASSERT_TRUE(store.Write("10.77.44.6", Verdict::Blocked, "-|10.77.44.6|pc-06"));
    ASSERT_TRUE(store.Write("fd00:77::a", Verdict::Allowed, "-|fd00:77::a|pc-0a"));
    EXPECT_EQ(test::ReadBytes(folder / "invader/10.77.44.6.X"), "-|10.77.44.6|pc-06\r\n");
    EXPECT_EQ(test::ReadBytes(folder / "invader/FD00:77::A.O"), "-|fd00:77::a|pc-0a\r\n");
    EXPECT_EQ(store.List(".x"), (std::vector<std::string>{"10.77.44.6.X", "FD00:77::B.x"}));
    EXPECT_EQ(store.List(".o"), std::vector<std::string>{"FD00:77::A.O"});
}

#if !defined(_WIN32)  // links and FIFOs: Linux
TEST_F(RuleStoreTest, LinksFifosAndFoldersAreNoRules) {
    const auto outside = folder / "outside";
    test::WriteBytes(outside / "secret", "secret line\r\n");
    std::filesystem::create_symlink(outside / "secret", folder / "invader/10.0.0.1.x");
    std::filesystem::create_symlink(outside / "made-by-velmor", folder / "invader/10.0.0.2.x");
    ASSERT_EQ(::mkfifo((folder / "invader/10.0.0.3.x").c_str(), 0600), 0);
    std::filesystem::create_directories(folder / "invader/10.0.0.4.x");
    test::WriteBytes(folder / "invader/10.0.0.5.x", "-|10.0.0.5|\r\n");

    EXPECT_EQ(store.List(".x"), std::vector<std::string>{"10.0.0.5.x"});
    store.RefreshBlockedIndex();
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}) {
        EXPECT_FALSE(store.Exists(address, Verdict::Blocked)) << address;
        EXPECT_FALSE(store.ReadLine(address, Verdict::Blocked)) << address;
        EXPECT_FALSE(store.IsIndexedBlocked(address)) << address;
    }
    // Reading through the common helpers directly refuses them as well, without waiting.
    EXPECT_FALSE(ReadFirstLine(folder / "invader/10.0.0.1.x"));
    EXPECT_FALSE(ReadFirstLine(folder / "invader/10.0.0.3.x"));
    EXPECT_FALSE(ReadWholeFile(folder / "invader/10.0.0.3.x"));
    EXPECT_FALSE(WriteLineFile(folder / "invader/10.0.0.2.x", "x"));
    EXPECT_FALSE(WriteLineFile(folder / "invader/10.0.0.1.x", "x"));
    EXPECT_FALSE(WriteLineFile(folder / "invader/10.0.0.3.x", "x"));
    EXPECT_FALSE(std::filesystem::exists(outside / "made-by-velmor"));
    EXPECT_EQ(test::ReadBytes(outside / "secret"), "secret line\r\n");

    // A rule written by the store replaces a link at its name instead of writing through it.
    ASSERT_TRUE(store.Write("10.0.0.2", Verdict::Blocked, "1|10.0.0.2|"));
    EXPECT_FALSE(std::filesystem::exists(outside / "made-by-velmor"));
    EXPECT_EQ(test::ReadBytes(folder / "invader/10.0.0.2.x"), "1|10.0.0.2|\r\n");
}
#endif

#if !defined(_WIN32)  // fork and SIGKILL: Linux
TEST_F(RuleStoreTest, AKilledWriterLeavesNoEmptyOrPartialRuleFile) {
    // The filing loop of a monitor, killed at arbitrary moments: every rule file that exists
    // afterwards holds its whole line.
    const std::string info(400, 'i');
    for (int run = 0; run < 12; ++run) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            RuleStore writer(folder.path());
            for (int round = 0;; ++round) {
                for (int i = 0; i < 200; ++i) {
                    const std::string address =
                        "10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250);
                    if (!writer.Write(address, Verdict::Allowed,
                                      MakeRuleLine(std::to_string(round), address, info)))
                        ::_exit(1);
                }
            }
        }
        ::usleep(static_cast<useconds_t>(3000 + run * 1500));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        for (const std::string& name : store.List(".o")) {
            const std::string line = test::ReadBytes(folder / ("invader/" + name));
            ASSERT_TRUE(line.ends_with("|" + info + "\r\n"))
                << name << " after run " << run << ": " << line.size();
        }
    }
}
#endif

}  // namespace
}  // namespace velmor::rules

namespace velmor::rules {
namespace {

TEST(RuleFileName, OneMappingBetweenAddressAndFileNameForBothFamilies) {
    EXPECT_EQ(RuleStore::FileNameOf("10.1.2.3", Verdict::Blocked), "10.1.2.3.x");
    EXPECT_EQ(RuleStore::FileNameOf("fd00:77::2", Verdict::Allowed), "fd00:77::2.o");
    EXPECT_EQ(RuleStore::AddressOfFileName("fd00:77::2.x", ".x"), "fd00:77::2");
    EXPECT_EQ(RuleStore::AddressOfFileName("10.1.2.3.o", ".o"), "10.1.2.3");
    EXPECT_EQ(RuleStore::AddressOfFileName("10.1.2.3.o", ".x"), std::nullopt);
    EXPECT_EQ(RuleStore::AddressOfFileName(".x", ".x"), std::nullopt);
    // Typed IPv6 text is filed in the monitor's own form; everything else stays as typed.
    EXPECT_EQ(CanonicalAddress("FD00:0077:0000::0002"), "fd00:77::2");
    EXPECT_EQ(CanonicalAddress("::FFFF:10.1.2.3"), "::ffff:10.1.2.3");
    EXPECT_EQ(CanonicalAddress("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(CanonicalAddress("fd00::77::2"), "fd00::77::2");  // no address: left for the name checks
    EXPECT_EQ(CanonicalAddress("pc-01"), "pc-01");
}

TEST_F(RuleStoreTest, Ipv6RulesAreFiledToggledDeletedIndexedAndListed) {
    ASSERT_TRUE(store.Write("fd00:77::2", Verdict::Blocked, "40001|fd00:77::2|"));
    EXPECT_TRUE(Has("fd00:77::2.x"));
    EXPECT_EQ(store.ReadLine("fd00:77::2", Verdict::Blocked), "40001|fd00:77::2|");
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("fd00:77::2"));
    EXPECT_EQ(store.AddBlocked("fd00:77::3", "by hand"), RuleStore::AddResult::Added);
    EXPECT_EQ(store.AddBlocked("fd00:77::3", "again"), RuleStore::AddResult::AlreadyExists);

    ListModel list{kRuleListColumns};
    LoadInvaderList(store, list, Verdict::Blocked);
    ASSERT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.Cell(0, 0), "fd00:77::2");
    EXPECT_EQ(list.Cell(1, 2), "by hand");

    EXPECT_TRUE(store.Toggle("fd00:77::2", Verdict::Blocked));
    EXPECT_TRUE(Has("fd00:77::2.o"));
    store.RefreshBlockedIndex(false);
    EXPECT_FALSE(store.IsIndexedBlocked("fd00:77::2"));
    EXPECT_TRUE(store.Delete("fd00:77::3", Verdict::Blocked));
    EXPECT_FALSE(Has("fd00:77::3.x"));

    // Expiry treats them as any rule.
    WriteDated("fd00:77::9.x", LocalDate{2026, 10, 1});
    store.ExpireInvaderFiles(clock);
    EXPECT_FALSE(Has("fd00:77::9.x"));
    EXPECT_TRUE(Has("fd00:77::2.o"));
}

}  // namespace
}  // namespace velmor::rules
