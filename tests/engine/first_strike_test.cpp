// Velmor's side of the kernel's first strike: what it must spare (ExemptRangeTracker), the order in
// which the guard hears of it, arms and releases, and an arrival the kernel struck before the cycle
// saw it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "velmor/common/text_file.h"
#include "velmor/engine/enforcement.h"
#include "velmor/engine/exempt_tracker.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fake_guard_link.h"
#include "velmor/test/fakes.h"

namespace velmor::engine {
namespace {

using Set = std::set<std::string>;
using Texts = std::vector<std::string>;

Texts Sorted(Texts texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

class ExemptRangeTrackerTest : public ::testing::Test, protected test::CycleParts {
protected:
    ExemptRangeTrackerTest() { std::filesystem::create_directories(folder.path() / "invader"); }
    void File(const std::string& address, rules::Verdict verdict) {
        ASSERT_TRUE(store.Write(address, verdict, "-|" + address + "|"));
    }
    ExemptRangeTracker::Change Update() {
        store.RefreshBlockedIndex();
        return tracker.Update(address_list, store, exemptions);
    }
    rules::Exemptions exemptions;
    ExemptRangeTracker tracker;
};

TEST_F(ExemptRangeTrackerTest, SparesWhatThePassWouldNotBlockAndFollowsOnlyWhatChanged) {
    exemptions.SetLifelines({{"10.77.0.1", "fd00:77::1"}, {"10.77.0.254"}, {"10.77.0.53"}});
    exemptions.SetTrusted(rules::ParseTrustedList("192.168.0.0/24\n10.5.5.5/32\n").ranges);
    File("10.1.1.1", rules::Verdict::Allowed);
    File("10.1.1.2", rules::Verdict::Allowed);
    File("10.1.1.2", rules::Verdict::Blocked);  // both files: blocked
    File("10.1.1.3", rules::Verdict::Blocked);
    File("10.1.1.4", rules::Verdict::Allowed);  // its listed cell says otherwise
    address_list.AddRow({"10.1.1.4", "1", "차단", ""});
    address_list.AddRow({"10.1.1.5", "1", "허용", ""});  // no file (it could not be written)
    address_list.AddRow({"10.1.1.6", "1", "", ""});      // half-open so far: its files decide

    const auto first = Update();
    EXPECT_TRUE(first.clear);
    EXPECT_EQ(Sorted(first.add), Sorted({"10.77.0.1", "fd00:77::1", "10.77.0.254", "10.77.0.53",
                                         "192.168.0.0/24", "10.5.5.5", "10.1.1.1", "10.1.1.5"}));
    EXPECT_TRUE(Update().Empty()) << "nothing changed";

    // The user allows a listed address, an allowed file comes for an unlisted one, one's blocked file
    // goes, and the trusted list changes.
    address_list.SetCell(address_list.Find("10.1.1.4"), rules::watch_ip::kVerdict, "허용");
    File("10.1.1.7", rules::Verdict::Allowed);
    ASSERT_TRUE(store.Delete("10.1.1.2", rules::Verdict::Blocked));
    exemptions.SetTrusted(rules::ParseTrustedList("192.168.0.0/24\n").ranges);
    const auto next = Update();
    EXPECT_FALSE(next.clear);
    EXPECT_EQ(Sorted(next.add), Sorted({"10.1.1.4", "10.1.1.7", "10.1.1.2"}));
    EXPECT_EQ(next.remove, Texts{"10.5.5.5"});

    // Blocked again by the user: it leaves. A row that leaves the list leaves its address to its files.
    address_list.SetCell(address_list.Find("10.1.1.5"), rules::watch_ip::kVerdict, "차단");
    const auto blocked = Update();
    EXPECT_EQ(blocked.remove, Texts{"10.1.1.5"});
    address_list.Clear();
    const auto cleared = Update();
    EXPECT_TRUE(cleared.add.empty());
    EXPECT_EQ(cleared.remove, Texts{}) << "10.1.1.4 keeps its allowed file";

    // After a reset everything goes again, in one piece.
    tracker.Reset();
    const auto again = Update();
    EXPECT_TRUE(again.clear);
    EXPECT_EQ(again.add.size(), tracker.Applied().size());
    EXPECT_TRUE(tracker.Applied().contains("10.1.1.4"));
}

TEST(ExemptRangeTextTest, OneTextPerRange) {
    EXPECT_EQ(ExemptRangeText("10.0.0.5/32"), "10.0.0.5");
    EXPECT_EQ(ExemptRangeText("::ffff:10.0.0.5"), "10.0.0.5");
    EXPECT_EQ(ExemptRangeText("FD00:0077::0002"), "fd00:77::2");
    EXPECT_EQ(ExemptRangeText("10.0.0.9/8"), "10.0.0.0/8");
    EXPECT_EQ(ExemptRangeText("not an address"), std::nullopt);
}

// A socket event the kernel's first strike answered, as the guard forwards it.
class ScriptedNews final : public TableEvents {
public:
    std::vector<guard::EventRecord> pending;
    platform::NativeHandle Fd() const override { return platform::kNoNativeHandle; }
    bool TakePending() override { return false; }
    void ExpectClose(std::uint64_t) override {}
    bool Live() const override { return true; }
    bool TakeNews(std::vector<guard::EventRecord>& events) override {
        events = std::exchange(pending, {});
        return false;
    }
};

class FirstStrikeEnforcementTest : public ::testing::Test, protected test::CycleParts {
protected:
    FirstStrikeEnforcementTest() {
        std::filesystem::create_directories(folder.path() / "invader");
        link.state.first_strike = true;
        exemptions.SetLifelines({{"10.0.0.1"}, {"10.0.0.254"}, {}});
        guard.SetExemptions(&exemptions);
        cycle.SetEnforcement(&guard);
    }
    void Tick() {
        ++counters.value.active_opens;
        cycle.TimerGetTable_Timer();
    }
    void Connect(int local_port, const std::string& remote) {
        table.tcp_rows.push_back(test::MakeRow("10.0.0.1", local_port, remote, 40000));
    }
    // The position in the guard's log of the first entry that starts with `what`; -1 for none.
    long At(const std::string& what, std::size_t from = 0) const {
        for (std::size_t i = from; i < link.log.size(); ++i)
            if (link.log[i].rfind(what, 0) == 0) return static_cast<long>(i);
        return -1;
    }

    test::ScriptedRandom random{0.5};
    test::FakeGuardLink link;
    rules::Exemptions exemptions;
    GuardEnforcement guard{link, table, clock};
    MonitoringCycle cycle{table, &counters, store, address_list, port_list, host, dialogs, clock, random};
};

TEST_F(FirstStrikeEnforcementTest, ArmedOnlyOnceTheGuardKnowsWhatToSpareAndOffBeforeTheSetsLetGo) {
    ASSERT_TRUE(store.Write("10.9.9.9", rules::Verdict::Allowed, "-|10.9.9.9|"));
    Connect(80, "10.1.2.3");
    Tick();
    EXPECT_EQ(link.exempt, (Set{"10.0.0.1", "10.0.0.254", "10.9.9.9"}));
    EXPECT_EQ(link.set, (Set{"10.1.2.3"}));
    ASSERT_EQ(link.strike, true);
    EXPECT_LT(At("exempt clear"), At("strike on"));
    EXPECT_LT(At("clear"), At("strike on"));
    EXPECT_TRUE(guard.FirstStrikeArmed());

    // The user allows the intruder: spared before it is released, so the kernel never strikes it anew.
    const std::size_t mark = link.log.size();
    address_list.SetCell(address_list.Find("10.1.2.3"), rules::watch_ip::kVerdict, "허용");
    Tick();
    EXPECT_TRUE(link.exempt.contains("10.1.2.3"));
    EXPECT_TRUE(link.set.empty());
    ASSERT_GE(At("+0 -1", mark), 0);
    EXPECT_LT(At("exempt +1 -0", mark), At("+0 -1", mark));

    // Automatic blocking off: disarmed before the sets are emptied, armed again after they are back.
    address_list.SetCell(address_list.Find("10.1.2.3"), rules::watch_ip::kVerdict, "차단");
    Tick();
    const std::size_t off = link.log.size();
    cycle.SetChecked(kAutoBlockBox, false);
    Tick();
    EXPECT_EQ(link.strike, false);
    EXPECT_TRUE(link.set.empty());
    EXPECT_LT(At("strike off", off), At("+0 -1", off));
    cycle.SetChecked(kAutoBlockBox, true);
    Tick();
    EXPECT_EQ(link.strike, true);
    EXPECT_LT(At("+1 -0", off), At("strike on", off));
}

TEST_F(FirstStrikeEnforcementTest, NeverArmedWithoutTheExemptionsOrWhenTheGuardRefusesThem) {
    GuardEnforcement blind{link, table, clock};
    cycle.SetEnforcement(&blind);
    Connect(80, "10.1.2.3");
    Tick();
    EXPECT_EQ(link.set, (Set{"10.1.2.3"}));
    EXPECT_FALSE(link.strike.has_value());
    EXPECT_EQ(At("exempt"), -1);

    // With them, but the guard refuses the ranges: the sets go on, the strike stays off.
    test::FakeGuardLink refusing;
    refusing.state.first_strike = true;
    refusing.refuse_exempt = true;
    GuardEnforcement guard_refusing{refusing, table, clock};
    guard_refusing.SetExemptions(&exemptions);
    cycle.SetEnforcement(&guard_refusing);
    Connect(80, "10.1.2.4");
    Tick();
    Tick();
    EXPECT_EQ(refusing.set, (Set{"10.1.2.3", "10.1.2.4"}));
    EXPECT_FALSE(refusing.strike.value_or(false));
    EXPECT_TRUE(refusing.connected) << "a refusal is no broken link";
    cycle.SetEnforcement(nullptr);
}

TEST_F(FirstStrikeEnforcementTest, AStruckArrivalIsFiledAndToldButNotAddedTwice) {
    ScriptedNews news;
    table.destroy_removes = true;
    cycle.SetTableEvents(&news, nullptr);
    Tick();
    ASSERT_EQ(link.strike, true);
    // The kernel struck 10.1.2.3 on its handshake; the guard put it into its sets.
    Connect(80, "10.1.2.3");
    link.set.insert("10.1.2.3");
    guard::EventRecord event;
    event.family = 2;
    event.old_state = guard::tcp_state::kSynRecv;
    event.new_state = guard::tcp_state::kEstablished;
    event.local_port = 80;
    event.remote_port = 40000;
    event.local = {10, 0, 0, 1};
    event.remote = {10, 1, 2, 3};
    event.flags = guard::kEventStruck;
    news.pending.push_back(event);
    const std::size_t mark = link.log.size();
    Tick();
    EXPECT_EQ(cycle.GetStats().struck, 1u);
    EXPECT_TRUE(IsRegularFile(folder / "invader/10.1.2.3.x")) << "filed as every intruder";
    EXPECT_EQ(address_list.Cell(address_list.Find("10.1.2.3"), rules::watch_ip::kVerdict), "차단");
    EXPECT_EQ(At("+1", mark), -1) << "the struck address was sent to the guard again";
    EXPECT_TRUE(guard.Tracker().Applied().contains("10.1.2.3"));

    // The user allows it: the guard is told to let it go, though this side never sent it.
    address_list.SetCell(address_list.Find("10.1.2.3"), rules::watch_ip::kVerdict, "허용");
    Tick();
    EXPECT_FALSE(link.set.contains("10.1.2.3"));
    EXPECT_TRUE(link.exempt.contains("10.1.2.3"));
    cycle.SetTableEvents(nullptr, nullptr);
}

}  // namespace
}  // namespace velmor::engine
