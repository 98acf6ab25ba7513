#include "velmor/engine/enforcement.h"

#include <gtest/gtest.h>

#include "velmor/common/text_file.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fake_guard_link.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::engine {
namespace {

using test::MakeRow;

using test::FakeGuardLink;

class EnforcementTest : public ::testing::Test, protected test::CycleParts {
protected:
    EnforcementTest() {
        std::filesystem::create_directories(folder.path() / "invader");
        cycle.SetEnforcement(&guard);
    }
    void Tick() {
        ++counters.value.active_opens;
        cycle.TimerGetTable_Timer();
    }
    void Connect(int local_port, const std::string& remote) {
        table.tcp_rows.push_back(MakeRow("10.0.0.1", local_port, remote, 40000));
    }
    void SetVerdict(const std::string& address, std::string_view verdict) {
        address_list.SetCell(address_list.Find(address), watch_ip::kVerdict, verdict);
    }
    using Set = std::set<std::string>;

    test::ScriptedRandom random{0.5};
    FakeGuardLink link;
    GuardEnforcement guard{link, table, clock};
    MonitoringCycle cycle{table, &counters, store, address_list, port_list, host, dialogs, clock, random};
};

TEST_F(EnforcementTest, SetsFollowTheVerdictsOfListedAndUnlistedAddresses) {
    // An unlisted address with a blocked file, and a blocked file of loopback, which never counts.
    ASSERT_TRUE(WriteLineFile(folder / "invader/10.9.9.9.x", "-|10.9.9.9|"));
    ASSERT_TRUE(WriteLineFile(folder / "invader/127.0.0.1.x", "-|127.0.0.1|"));
    store.NoteChanged();
    Connect(80, "10.1.2.3");
    Connect(8080, "10.1.2.4");
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3", "10.9.9.9"}));
    // The first change after connecting starts the sets over.
    ASSERT_FALSE(link.log.empty());
    EXPECT_EQ(link.log.front().rfind("clear", 0), 0u);
    // Teardown went through the guard, not through the process's own rights.
    EXPECT_GE(link.torn_down, 1u);
    EXPECT_TRUE(table.destroyed.empty());

    // A toggle in the list decides at once for a listed address, whatever the files say.
    SetVerdict("10.1.2.3", "허용");
    SetVerdict("10.1.2.4", "차단");
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.4", "10.9.9.9"}));
    // A list reset leaves every address to its rule file.
    address_list.Clear();
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3", "10.9.9.9"})) << "10.1.2.3 still has its blocked file";
    // A deleted rule file takes its unlisted address out.
    address_list.Clear();
    table.tcp_rows.clear();
    ASSERT_TRUE(store.Delete("10.9.9.9", rules::Verdict::Blocked));
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3"}));
}

TEST_F(EnforcementTest, TheGuardsRefusalsAreKeptUntilTheAddressLeavesTheSet) {
    // A gateway the user blocked by hand: torn down, but the guard keeps it out of its sets.
    link.lifelines = {{"10.0.0.254", guard::Refusal::Gateway}};
    ASSERT_TRUE(WriteLineFile(folder / "invader/10.0.0.254.x", "-|10.0.0.254|router"));
    store.NoteChanged();
    Connect(443, "10.0.0.254");
    Connect(80, "10.1.2.3");
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3"}));
    ASSERT_EQ(guard.RefusedLifelines().size(), 1u);
    EXPECT_EQ(guard.RefusedLifelines().begin()->first, "10.0.0.254");
    EXPECT_EQ(guard.RefusedLifelines().begin()->second, guard::Refusal::Gateway);
    const auto generation = guard.RefusedLifelinesGeneration();
    Tick();
    EXPECT_EQ(guard.RefusedLifelinesGeneration(), generation) << "nothing new";
    // Allowed again: it leaves the set velmor wants, and the refusal is over.
    SetVerdict("10.0.0.254", "허용");
    Tick();
    EXPECT_TRUE(guard.RefusedLifelines().empty());
    EXPECT_GT(guard.RefusedLifelinesGeneration(), generation);
}

TEST_F(EnforcementTest, ChangesAreIncrementalAndNothingIsSentWhenNothingChanged) {
    Connect(80, "10.1.2.3");
    Tick();
    const auto sent = link.log.size();
    for (int i = 0; i < 5; ++i) Tick();
    // The count cell grows, no verdict changes: no further update.
    EXPECT_EQ(link.log.size(), sent);
    Connect(80, "10.1.2.5");
    Tick();
    ASSERT_EQ(link.log.size(), sent + 1);
    EXPECT_EQ(link.log.back(), "+1 -0");
}

TEST_F(EnforcementTest, AutomaticBlockingOffEmptiesTheSetsAndBlockInternetFollowsTheBox) {
    Connect(80, "10.1.2.3");
    Tick();
    ASSERT_EQ(link.set.size(), 1u);
    EXPECT_EQ(link.internet, false);
    cycle.SetChecked(0, false);
    Tick();
    EXPECT_TRUE(link.set.empty());
    cycle.SetChecked(0, true);
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3"}));
    cycle.SetChecked(1, true);
    Tick();
    EXPECT_EQ(link.internet, true);
    cycle.SetChecked(1, false);
    Tick();
    EXPECT_EQ(link.internet, false);
}

TEST_F(EnforcementTest, ARestartedGuardGetsTheWholeSetAgain) {
    Connect(80, "10.1.2.3");
    Tick();
    ASSERT_EQ(link.set.size(), 1u);
    // The guard dies: its table goes with it; teardown falls back to our own rights.
    link.available = false;
    link.set.clear();
    clock.now += std::chrono::seconds(1);
    Tick();
    EXPECT_FALSE(guard.GuardState().has_value());
    EXPECT_FALSE(table.destroyed.empty());
    // It comes back; within the retry interval the whole set is there again.
    link.available = true;
    clock.now += std::chrono::seconds(2);
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3"}));
    EXPECT_TRUE(guard.GuardState().has_value());
}

TEST_F(EnforcementTest, AFailedUpdateStartsOverOnTheNextConnection) {
    Connect(80, "10.1.2.3");
    Tick();
    link.fail_updates = true;
    Connect(80, "10.1.2.5");
    Tick();
    link.fail_updates = false;
    clock.now += std::chrono::seconds(2);
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3", "10.1.2.5"}));
    EXPECT_EQ(link.log.back().rfind("clear", 0), 0u);
}

TEST(BlockedAddressTrackerTest, TakesIpv6AddressTexts) {
    test::TempDir folder;
    std::filesystem::create_directories(folder.path() / "invader");
    rules::RuleStore store{folder.path()};
    rules::ListModel list{watch_ip::kColumns, watch_ip::kAddress};
    list.AddRow({"fd00:77::2", "1", "차단", ""});
    list.AddRow({"::1", "1", "허용", ""});
    const BlockPolicy policy(list, store);
    BlockedAddressTracker tracker;
    const auto change = tracker.Update(policy, true);
    EXPECT_TRUE(change.clear);
    EXPECT_EQ(change.add, std::vector<std::string>{"fd00:77::2"});
}

}  // namespace
}  // namespace velmor::engine
