// The monitoring cycle driven by socket events: scripted events and a scripted single-socket lookup
// over the fake table, whose teardowns remove the rows they name.

#include <gtest/gtest.h>

#include <cstring>

#include "velmor/common/text_file.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/platform/address_text.h"
#include "velmor/platform/resolver.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::engine {
namespace {

using platform::SocketLookupStatus;

class ScriptedNews final : public TableEvents {
public:
    std::vector<guard::EventRecord> pending;
    bool lost = false;
    bool live = true;
    std::vector<std::uint64_t> expected;  // the closes the cycle said it expects
    platform::NativeHandle Fd() const override { return platform::kNoNativeHandle; }
    bool TakePending() override { return false; }
    void ExpectClose(std::uint64_t cookie) override { expected.push_back(cookie); }
    bool Live() const override { return live; }
    bool TakeNews(std::vector<guard::EventRecord>& events) override {
        events = std::move(pending);
        pending.clear();
        const bool was_lost = lost;
        lost = false;
        return was_lost;
    }
};

// Answers from the fake table: found while the socket the cookie names still holds its row.
class TableFinder final : public SocketFinder {
public:
    explicit TableFinder(test::FakeConnectionTable& table) : table_(table) {}
    int calls = 0;
    bool fail = false;
    SocketLookupStatus Find(const platform::SocketId& id, platform::SocketRow& row) override {
        ++calls;
        if (fail) return SocketLookupStatus::kFailed;
        const std::size_t index = id.cookie[0];
        const std::uint64_t cookie = (static_cast<std::uint64_t>(id.cookie[1]) << 32) | id.cookie[0];
        if (index >= table_.tcp_rows.size() || table_.Cookie(index) != cookie)
            return SocketLookupStatus::kGone;
        row.row = table_.tcp_rows[index];
        row.ipv4 = row.row.family == platform::AddressFamily::kIpv4;
        row.id = id;
        return SocketLookupStatus::kFound;
    }

private:
    test::FakeConnectionTable& table_;
};

// The network-order bytes of a dotted IPv4 or an IPv6 text, as an event carries them.
void PutAddress(const std::string& text, std::array<std::uint8_t, 16>& out) {
    if (const auto ipv6 = platform::ParseIpv6Text(text)) {
        std::memcpy(out.data(), ipv6->data(), out.size());
    } else if (const auto ipv4 = platform::ParseIpv4Text(text)) {
        std::memcpy(out.data(), &*ipv4, sizeof *ipv4);
    }
}

class MonitoringCycleEventsTest : public ::testing::Test, protected test::CycleParts {
protected:
    MonitoringCycleEventsTest() {
        std::filesystem::create_directories(folder.path() / "invader");
        table.destroy_removes = true;
        // Row 0, the bait listener, is never filed; the cookies of the rows below start at 1.
        table.tcp_rows.push_back(test::MakeRow("0.0.0.0", 80, "0.0.0.0", 0, 2));
        table.tcp_rows.push_back(test::MakeRow("10.77.0.1", 8080, "10.77.0.5", 5000));
        cycle.SetTableEvents(&news, &finder);
        Tick();  // the first look reads the table
    }

    void Tick() { cycle.TimerGetTable_Timer(); }
    // A connection accepted on local port `local_port` from `remote`: its row, and the event that
    // names it (the end of its handshake).
    guard::EventRecord Accept(const std::string& remote, int remote_port, int local_port = 80) {
        const bool v6 = remote.find(':') != std::string::npos;
        table.tcp_rows.push_back(v6 ? test::MakeRow6("fd00:77::1", local_port, remote, remote_port)
                                    : test::MakeRow("10.77.0.1", local_port, remote, remote_port));
        guard::EventRecord event;
        event.cookie = table.Cookie(table.tcp_rows.size() - 1);
        event.family = v6 ? guard::EventRecord::kInet6 : guard::EventRecord::kInet;
        event.old_state = guard::tcp_state::kSynRecv;
        event.new_state = guard::tcp_state::kEstablished;
        event.local_port = static_cast<std::uint16_t>(local_port);
        event.remote_port = static_cast<std::uint16_t>(remote_port);
        PutAddress(v6 ? "fd00:77::1" : "10.77.0.1", event.local);
        PutAddress(remote, event.remote);
        news.pending.push_back(event);
        ++counters.value.passive_opens;
        ++counters.value.tcp_in_use;
        return event;
    }
    static guard::EventRecord Closed(guard::EventRecord event) {
        event.old_state = guard::tcp_state::kEstablished;
        event.new_state = guard::tcp_state::kClose;
        return event;
    }
    std::string Cell(const std::string& address, int column) {
        const int row = address_list.Find(address);
        return row >= 0 ? address_list.Cell(row, column) : "(not listed)";
    }
    std::string RuleFile(const std::string& name) { return test::ReadBytes(folder / ("invader/" + name)); }
    // The next read of the table, when the event safety net is due.
    void SafetyNetRead() {
        clock.Advance(cycle.EventSafetyNet());
        const int reads = table.tcp_reads;
        Tick();
        ASSERT_EQ(table.tcp_reads, reads + 1);
    }

    test::ScriptedRandom random;
    ScriptedNews news;
    TableFinder finder{table};
    MonitoringCycle cycle{table, &counters, store, address_list, port_list, host, dialogs, clock, random};
};

TEST_F(MonitoringCycleEventsTest, AnArrivalWhoseRowAReadMetHalfOpenIsFiledFromItsEvent) {
    // A read meets the connection before its handshake completes; its event comes after.
    const auto arrival = Accept("10.77.0.30", 7100);
    news.pending.clear();
    table.tcp_rows.back().dwState = kStateSynReceived;
    SafetyNetRead();
    EXPECT_EQ(Cell("10.77.0.30", watch_ip::kVerdict), "");
    EXPECT_TRUE(table.destroyed.empty());

    table.tcp_rows.back().dwState = kStateEstablished;
    news.pending.push_back(arrival);
    const int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads) << "filed from its event";
    EXPECT_EQ(Cell("10.77.0.30", watch_ip::kVerdict), "차단");
    EXPECT_EQ(RuleFile("10.77.0.30.x"), "7100|10.77.0.30|\r\n");
    ASSERT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(RemoteAddressText(table.destroyed[0]), "10.77.0.30");
}

TEST_F(MonitoringCycleEventsTest, NewIntrudersAreFiledAndTornDownFromTheirEventWithoutReadingTheTable) {
    host.visible = false;
    // The reset leaves before the rule file is written: at each teardown only the earlier files exist
    // (the allowed rule of the fixture's row, then the first intruder's).
    std::vector<std::size_t> rule_files_at_teardown;
    table.on_destroy = [&] {
        const std::filesystem::directory_iterator files(folder.path() / "invader");
        rule_files_at_teardown.push_back(static_cast<std::size_t>(std::distance(begin(files), end(files))));
    };
    const int reads = table.tcp_reads;
    const auto passes = cycle.GetStats().full_passes;
    const auto v4 = Accept("10.77.0.2", 1043);
    Tick();
    const auto v6 = Accept("fd00:77::2", 1044);
    Tick();

    EXPECT_EQ(table.tcp_reads, reads) << "no read of the table";
    EXPECT_EQ(cycle.GetStats().targeted, 2u);
    EXPECT_EQ(cycle.GetStats().teardowns, 2u);
    ASSERT_EQ(table.destroyed.size(), 2u);
    EXPECT_EQ(table.tcp_rows.size(), 2u) << "both intruders' connections were torn down";
    for (const char* address : {"10.77.0.2", "fd00:77::2"}) {
        EXPECT_EQ(Cell(address, watch_ip::kCount), "1") << address;
        EXPECT_EQ(Cell(address, watch_ip::kVerdict), "차단") << address;
    }
    EXPECT_EQ(RuleFile("10.77.0.2.x"), "1043|10.77.0.2|\r\n");
    EXPECT_EQ(RuleFile("fd00:77::2.x"), "1044|fd00:77::2|\r\n");
    EXPECT_EQ(port_list.Cell(port_list.Find("1044"), watch_port::kAddress), "fd00:77::2");
    EXPECT_EQ(host.icons, (std::vector<engine::TrayIconChange>{engine::TrayIconChange::Invader,
                                                               engine::TrayIconChange::Invader}));
    EXPECT_EQ(rule_files_at_teardown, (std::vector<std::size_t>{1, 2}));

    // Their close events are no news (nor worth a tick of their own), and the next read finds the
    // table as the last pass left it.
    EXPECT_EQ(news.expected, (std::vector<std::uint64_t>{v4.cookie, v6.cookie}));
    news.pending = {Closed(v4), Closed(v6)};
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);
    news.pending = {Closed(v4)};
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1) << "expected once";
    SafetyNetRead();
    EXPECT_EQ(cycle.GetStats().full_passes, passes);
    EXPECT_EQ(Cell("10.77.0.2", watch_ip::kCount), "1");

    // A second connection of a filed intruder counts once more and goes the same way.
    Accept("10.77.0.2", 1045);
    Tick();
    EXPECT_EQ(Cell("10.77.0.2", watch_ip::kCount), "2");
    EXPECT_EQ(table.destroyed.size(), 3u);
    EXPECT_EQ(cycle.GetStats().targeted, 3u);
}

TEST_F(MonitoringCycleEventsTest, AFloodOfArrivalsIsTornDownAtOnceAndFiledSliceBySlice) {
    cycle.SetPassSlice(std::chrono::milliseconds(0), 2);
    std::vector<std::size_t> rule_files_at_teardown;
    table.on_destroy = [&] {
        const std::filesystem::directory_iterator files(folder.path() / "invader");
        rule_files_at_teardown.push_back(static_cast<std::size_t>(std::distance(begin(files), end(files))));
    };
    for (int i = 0; i < 7; ++i) Accept("10.77.1." + std::to_string(i + 1), 6000 + i);
    const int reads = table.tcp_reads;
    Tick();
    // One teardown request for all of them, when only the fixture's own allowed rule exists.
    EXPECT_EQ(rule_files_at_teardown, std::vector<std::size_t>{1});
    EXPECT_EQ(table.destroyed.size(), 7u);
    EXPECT_TRUE(cycle.PassPending());
    EXPECT_TRUE(cycle.NextTickDelay() == std::chrono::milliseconds(0));
    int ticks = 1;
    while (cycle.PassPending() && ticks < 10) {
        Tick();
        ++ticks;
    }
    EXPECT_EQ(ticks, 4) << "two filed per slice";
    EXPECT_EQ(table.tcp_reads, reads);
    EXPECT_EQ(cycle.GetStats().targeted, 7u);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(Cell("10.77.1." + std::to_string(i + 1), watch_ip::kVerdict), "차단");
    // Their closes, late, are no news.
    SafetyNetRead();
    EXPECT_EQ(table.destroyed.size(), 7u);
}

TEST_F(MonitoringCycleEventsTest, AConnectionThatStaysIsNotCountedAgainByTheNextRead) {
    // An address allowed by its rule, and an intruder while automatic blocking is off, stay connected.
    test::WriteBytes(folder / "invader/10.77.0.3.o", "1|10.77.0.3|friend\r\n");
    Accept("10.77.0.3", 2000);
    Tick();
    cycle.SetChecked(kAutoBlockBox, false);
    SafetyNetRead();  // the mode change is read as it always is
    const auto passes = cycle.GetStats().full_passes;
    Accept("10.77.0.4", 2001);
    Tick();

    EXPECT_EQ(cycle.GetStats().targeted, 2u);
    EXPECT_TRUE(table.destroyed.empty());
    EXPECT_EQ(Cell("10.77.0.3", watch_ip::kVerdict), "허용");
    EXPECT_EQ(Cell("10.77.0.3", watch_ip::kInfo), "friend");
    EXPECT_EQ(Cell("10.77.0.4", watch_ip::kVerdict), "차단");
    EXPECT_EQ(RuleFile("10.77.0.4.x"), "2001|10.77.0.4|\r\n");
    SafetyNetRead();
    EXPECT_EQ(cycle.GetStats().full_passes, passes) << "the rows are those the last pass stood for";
    EXPECT_EQ(Cell("10.77.0.3", watch_ip::kCount), "1");
    EXPECT_EQ(Cell("10.77.0.4", watch_ip::kCount), "1");

    // When one of them goes, the table has changed and the full pass runs as written.
    table.tcp_rows.pop_back();
    news.pending.push_back(Closed(guard::EventRecord{}));
    const int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1);
    EXPECT_EQ(cycle.GetStats().full_passes, passes + 1);
    EXPECT_EQ(Cell("10.77.0.3", watch_ip::kCount), "2");
}

TEST_F(MonitoringCycleEventsTest, BothRuleFilesOfAnArrivalMeanBlockedAsWhenItIsFiled) {
    test::WriteBytes(folder / "invader/10.77.0.40.o", "1|10.77.0.40|friend\r\n");
    test::WriteBytes(folder / "invader/10.77.0.40.x", "1|10.77.0.40|foe\r\n");
    SafetyNetRead();  // the blocked index takes the new file in
    Accept("10.77.0.40", 9000);
    Tick();
    EXPECT_EQ(cycle.GetStats().targeted, 1u);
    EXPECT_EQ(Cell("10.77.0.40", watch_ip::kVerdict), "차단");
    EXPECT_EQ(Cell("10.77.0.40", watch_ip::kInfo), "foe");
    ASSERT_EQ(table.destroyed.size(), 1u);
}

TEST_F(MonitoringCycleEventsTest, ARefusedTeardownIsRepeatedByTheNextReadWithoutCountingAgain) {
    table.destroy_removes = false;
    Accept("10.77.0.6", 3000);
    Tick();
    EXPECT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(finder.calls, 1) << "looked up once, after the teardown";
    SafetyNetRead();
    EXPECT_EQ(table.destroyed.size(), 2u);
    EXPECT_EQ(Cell("10.77.0.6", watch_ip::kCount), "1");
}

TEST_F(MonitoringCycleEventsTest, BlockTheInternetAndOtherNewsReadTheTable) {
    // Block the Internet: the tick tears every row down, as without events.
    cycle.SetChecked(kBlockInternetBox, true);
    Tick();
    const std::size_t whole_table = table.destroyed.size();
    EXPECT_EQ(whole_table, 2u);
    table.tcp_rows.push_back(test::MakeRow("0.0.0.0", 80, "0.0.0.0", 0, 2));
    table.tcp_rows.push_back(test::MakeRow("10.77.0.1", 8080, "10.77.0.5", 5000));
    Accept("10.77.0.7", 4000);
    int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1);
    EXPECT_EQ(table.destroyed.size(), whole_table + 3);
    EXPECT_EQ(cycle.GetStats().targeted, 0u);
    EXPECT_EQ(finder.calls, 0);
    cycle.SetChecked(kBlockInternetBox, false);
    Tick();

    // An event about another socket, beside an arrival: the arrival is torn down and filed from its
    // event first, then the read's full pass files the other one.
    int reads_at_teardown = -1;
    table.on_destroy = [&] { reads_at_teardown = table.tcp_reads; };
    Accept("10.77.0.8", 4001);
    Accept("10.77.0.9", 4002, 8080);
    reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(reads_at_teardown, reads);
    EXPECT_EQ(table.tcp_reads, reads + 1);
    EXPECT_EQ(Cell("10.77.0.8", watch_ip::kVerdict), "차단");
    EXPECT_EQ(Cell("10.77.0.9", watch_ip::kVerdict), "허용");
    EXPECT_EQ(Cell("10.77.0.8", watch_ip::kCount), "1");
    EXPECT_EQ(cycle.GetStats().targeted, 1u);

    // Lost events too.
    news.lost = true;
    reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1);
}

TEST_F(MonitoringCycleEventsTest, AnArrivalWhoseSocketIsGoneIsFiledFromItsEvent) {
    // Closed before the tick, its close in the same batch: a read would no longer meet it.
    const auto closed = Accept("10.77.0.10", 5000);
    table.tcp_rows.pop_back();
    news.pending.push_back(Closed(closed));
    // Gone without a word yet (reset by its peer): the lookup says so.
    const auto reset = Accept("fd00:77::11", 5001);
    table.tcp_rows.pop_back();
    int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);
    EXPECT_TRUE(table.destroyed.empty()) << "nothing left to tear down";
    EXPECT_EQ(cycle.GetStats().targeted_fallbacks, 1u) << "the one closed before it was filed";
    EXPECT_EQ(Cell("10.77.0.10", watch_ip::kVerdict), "차단");
    EXPECT_EQ(Cell("10.77.0.10", watch_ip::kCount), "1");
    EXPECT_EQ(RuleFile("10.77.0.10.x"), "5000|10.77.0.10|\r\n");
    EXPECT_EQ(RuleFile("fd00:77::11.x"), "5001|fd00:77::11|\r\n");
    // The late close is no news, and the table is as the last pass left it.
    news.pending.push_back(Closed(reset));
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);
    const auto passes = cycle.GetStats().full_passes;
    SafetyNetRead();
    EXPECT_EQ(cycle.GetStats().full_passes, passes);

    // The lookup fails: filed from the event and torn down by the event's id, without a read.
    finder.fail = true;
    Accept("10.77.0.12", 5002);
    reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);
    EXPECT_EQ(Cell("10.77.0.12", watch_ip::kCount), "1");
    ASSERT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(RemoteAddressText(table.destroyed[0]), "10.77.0.12");
}

TEST_F(MonitoringCycleEventsTest, HalfOpenSocketsOnTheBaitAreNoArrivals) {
    // A SYN answered but never acknowledged (its source may be forged): the socket enters as SYN_RECV.
    guard::EventRecord half_open = Accept("10.77.0.13", 5003);
    half_open.old_state = guard::tcp_state::kClose;
    half_open.new_state = guard::tcp_state::kSynRecv;
    news.pending.back() = half_open;
    table.tcp_rows.back().dwState = kStateSynReceived;
    const int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(cycle.GetStats().targeted, 0u);
    EXPECT_EQ(table.tcp_reads, reads + 1) << "news for the table, not an arrival";
    EXPECT_EQ(Cell("10.77.0.13", watch_ip::kCount), "1");
    EXPECT_EQ(Cell("10.77.0.13", watch_ip::kVerdict), "");
    EXPECT_TRUE(table.destroyed.empty());
    EXPECT_FALSE(std::filesystem::exists(folder / "invader/10.77.0.13.x"));
}

TEST_F(MonitoringCycleEventsTest, AnArrivalAlreadyFiledByAReadIsNotCountedTwice) {
    // The read comes first (the safety net was due before the event arrived).
    table.destroy_removes = false;
    cycle.SetChecked(kAutoBlockBox, false);
    SafetyNetRead();
    const auto event = Accept("10.77.0.12", 6000);
    news.pending.clear();
    SafetyNetRead();
    EXPECT_EQ(Cell("10.77.0.12", watch_ip::kCount), "1");
    news.pending.push_back(event);
    const int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);
    EXPECT_EQ(Cell("10.77.0.12", watch_ip::kCount), "1");
    EXPECT_EQ(cycle.GetStats().targeted, 0u);
}

TEST_F(MonitoringCycleEventsTest, AfterAReadTearsAnIntruderDownItsCloseIsNoNewsForTheNextArrival) {
    // While hidden, the next tick waits out the pause: the events of the intruder a read met first
    // and tore down (its arrival, its close) and the next intruder's arrival come in one batch.
    host.visible = false;
    const auto first = Accept("10.77.0.20", 7000);
    news.pending.clear();
    SafetyNetRead();
    ASSERT_EQ(table.destroyed.size(), 1u);
    const auto passes = cycle.GetStats().full_passes;
    const std::string count = Cell("10.77.0.5", watch_ip::kCount);

    news.pending.push_back(first);
    const auto second = Accept("10.77.0.21", 7001);
    news.pending.push_back(Closed(first));
    const int reads = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads) << "filed from its event";
    EXPECT_EQ(cycle.GetStats().targeted, 1u);
    EXPECT_EQ(cycle.GetStats().targeted_fallbacks, 0u);
    EXPECT_EQ(Cell("10.77.0.20", watch_ip::kCount), "1");
    ASSERT_EQ(table.destroyed.size(), 2u);
    EXPECT_EQ(RemoteAddressText(table.destroyed[1]), "10.77.0.21");
    news.pending.push_back(Closed(second));
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);

    // Both are gone, and the table is the one the last pass stood for: nothing is counted again.
    SafetyNetRead();
    EXPECT_EQ(cycle.GetStats().full_passes, passes);
    EXPECT_EQ(Cell("10.77.0.5", watch_ip::kCount), count);

    // A socket the read's teardown left in the table stays news when it closes.
    table.destroy_removes = false;
    const auto third = Accept("10.77.0.22", 7002);
    news.pending.clear();
    SafetyNetRead();
    table.tcp_rows.pop_back();
    news.pending.push_back(Closed(third));
    const int before = table.tcp_reads;
    Tick();
    EXPECT_EQ(table.tcp_reads, before + 1);
}

TEST_F(MonitoringCycleEventsTest, AnArrivalIsTornDownBeforeAReadThatIsDueAnyway) {
    int reads_at_teardown = -1;
    table.on_destroy = [&] { reads_at_teardown = table.tcp_reads; };
    const auto passes = cycle.GetStats().full_passes;
    Accept("10.77.0.30", 8000);
    const int reads = table.tcp_reads;
    clock.Advance(cycle.EventSafetyNet());
    Tick();
    EXPECT_EQ(reads_at_teardown, reads) << "torn down from its event, before the read";
    EXPECT_EQ(table.tcp_reads, reads + 1) << "the safety net still reads the table";
    EXPECT_EQ(cycle.GetStats().targeted, 1u);
    EXPECT_EQ(cycle.GetStats().full_passes, passes) << "the read meets the table the arrival left";
    EXPECT_EQ(Cell("10.77.0.30", watch_ip::kCount), "1");
    EXPECT_EQ(RuleFile("10.77.0.30.x"), "8000|10.77.0.30|\r\n");
}

TEST_F(MonitoringCycleEventsTest, WithEventsLiveOnlyUdpAndTimeWaitCountersAndTheLongerNetReadTheTable) {
    const int reads = table.tcp_reads;
    // TCP counters alone: their sockets' events say what changed.
    counters.value.tcp_in_use += 3;
    counters.value.active_opens += 3;
    clock.Advance(cycle.SafetyNet());
    Tick();
    EXPECT_EQ(table.tcp_reads, reads);
    counters.value.udp_in_use += 1;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1);
    counters.value.tcp_time_wait += 1;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 2);
    clock.Advance(cycle.EventSafetyNet());
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 3);

    // Once the events end, the counter gate is back: any counter reads the table.
    news.live = false;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 4) << "the end of the stream is news";
    ++counters.value.active_opens;
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 5);
}

}  // namespace
}  // namespace velmor::engine

namespace velmor::engine {
namespace {

// A SYN told by the guard: a half-open row the other events never name.
TEST_F(MonitoringCycleEventsTest, ASynIsReadForWithinASecondAndAFloodOfThemNoSooner) {
    cycle.SetEventSafetyNet(std::chrono::seconds(10));
    guard::EventRecord syn;
    syn.family = guard::EventRecord::kInet;
    syn.old_state = guard::tcp_state::kClose;
    syn.new_state = guard::tcp_state::kNewSynRecv;
    syn.local_port = 80;
    syn.remote_port = 40000;
    PutAddress("10.77.0.1", syn.local);
    PutAddress("10.77.0.9", syn.remote);
    table.tcp_rows.push_back(test::MakeRow("10.77.0.1", 80, "10.77.0.9", 40000, 4));  // SYN_RCVD
    const int reads = table.tcp_reads;
    // Just after a read: none at once, however many come.
    for (int i = 0; i < 5; ++i) {
        news.pending.push_back(syn);
        clock.Advance(std::chrono::milliseconds(100));
        Tick();
    }
    EXPECT_EQ(table.tcp_reads, reads);
    clock.Advance(std::chrono::milliseconds(500));
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1) << "not read within a second";
    EXPECT_EQ(Cell("10.77.0.9", watch_ip::kCount), "1") << "the half-open row is listed";
    // Without further news the next read waits for the safety net of 10 s.
    clock.Advance(std::chrono::seconds(5));
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 1);
    clock.Advance(std::chrono::seconds(5));
    Tick();
    EXPECT_EQ(table.tcp_reads, reads + 2);
}

}  // namespace
}  // namespace velmor::engine
