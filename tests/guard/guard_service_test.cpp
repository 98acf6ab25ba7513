#include "velmor/guard/guard_service.h"

#include <gtest/gtest.h>

namespace velmor::guard {
namespace {

class FakeFilter final : public PacketFilter {
public:
    std::vector<std::string> scripts;
    bool refuse = false;
    bool Run(const std::string& script) override {
        if (refuse) return false;
        scripts.push_back(script);
        return true;
    }
};

class FakeActions final : public GuardActions {
public:
    bool can_tear_down = true;
    std::vector<ConnectionId> torn_down;
    int bait = 42;
    bool CanTearDown() const override { return can_tear_down; }
    bool CanOpenBait() const override { return bait >= 0; }
    void TearDown(std::span<const ConnectionId> c) override {
        torn_down.insert(torn_down.end(), c.begin(), c.end());
    }
    int OpenBait() override { return bait; }
};

// The kernel's first strike as the service sees it: the maps as plain sets.
class FakeStrike final : public FirstStrike {
public:
    bool armed = false;
    std::set<Address> blocked;
    std::set<ExemptRange> exempt;
    std::set<Address> lifelines;
    bool refuse_exempt = false;
    int covers = 0;
    bool Arm(bool on) override {
        armed = on;
        return true;
    }
    bool Block(std::span<const Address> addresses) override {
        blocked.insert(addresses.begin(), addresses.end());
        return true;
    }
    void Unblock(std::span<const Address> addresses) override {
        for (const Address& a : addresses) blocked.erase(a);
    }
    void ClearBlocked() override { blocked.clear(); }
    bool Holds(const Address& address) const override { return blocked.contains(address); }
    bool UpdateExempt(bool clear, std::span<const ExemptRange> add,
                      std::span<const ExemptRange> remove) override {
        if (refuse_exempt) return false;
        if (clear) exempt.clear();
        for (const ExemptRange& r : remove) exempt.erase(r);
        exempt.insert(add.begin(), add.end());
        return true;
    }
    void SetLifelines(const std::set<Address>& spared) override { lifelines = spared; }
    void CoverInterfaces() override { ++covers; }
    Counts GetCounts() const override { return {3, 0, 0, 0, 0}; }
};

Address A(std::string_view text) {
    Address a;
    EXPECT_TRUE(ParseAddress(text, a));
    return a;
}

Request Update(std::vector<Address> add, std::vector<Address> remove = {}, bool clear = false) {
    Request r;
    r.op = Op::UpdateBlocked;
    r.add = std::move(add);
    r.remove = std::move(remove);
    r.clear = clear;
    return r;
}

class GuardServiceTest : public ::testing::Test {
protected:
    Reply Handle(const Request& request) {
        int fd = -1;
        return service.Handle(request, fd);
    }
    FakeFilter filter;
    FakeActions actions;
    GuardService service{filter, actions};
};

TEST_F(GuardServiceTest, TableReplacesAStaleOneAndGoesAtStop) {
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(filter.scripts.size(), 1u);
    const std::string& install = filter.scripts[0];
    // One transaction that first removes any table of that name, then makes it anew.
    EXPECT_EQ(install.find("add table inet velmor\ndelete table inet velmor\ntable inet velmor {"), 0u);
    EXPECT_NE(install.find("ip saddr @blocked4 drop"), std::string::npos);
    EXPECT_NE(install.find("ip6 daddr @blocked6 tcp flags & rst == 0 drop"), std::string::npos);
    EXPECT_TRUE(service.State().packet_filter);
    service.Stop();
    EXPECT_EQ(filter.scripts.back(), "delete table inet velmor\n");
    EXPECT_FALSE(service.State().packet_filter);
}

TEST_F(GuardServiceTest, SetsChangeIncrementallyAndOnlyByWhatTheyHold) {
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(Handle(Update({A("10.77.0.2"), A("fd00:77::2")})).result, Result::Ok);
    EXPECT_EQ(
        filter.scripts.back(),
        "add element inet velmor blocked4 { 10.77.0.2 }\nadd element inet velmor blocked6 { fd00:77::2 }\n");
    // Addresses the sets already hold, or never held, cost no nft run at all.
    const auto runs = filter.scripts.size();
    EXPECT_EQ(Handle(Update({A("10.77.0.2")}, {A("10.77.0.9")})).result, Result::Ok);
    EXPECT_EQ(filter.scripts.size(), runs);
    EXPECT_EQ(Handle(Update({A("10.77.0.3")}, {A("10.77.0.2")})).result, Result::Ok);
    EXPECT_EQ(filter.scripts.back(),
              "delete element inet velmor blocked4 { 10.77.0.2 }\nadd element inet velmor blocked4 { "
              "10.77.0.3 }\n");
    EXPECT_EQ(service.State().blocked_v4, 1u);
    EXPECT_EQ(service.State().blocked_v6, 1u);
    // A clear empties both sets in the same transaction as the additions.
    EXPECT_EQ(Handle(Update({A("10.77.0.4")}, {}, true)).result, Result::Ok);
    EXPECT_EQ(filter.scripts.back(),
              "flush set inet velmor blocked4\nflush set inet velmor blocked6\n"
              "add element inet velmor blocked4 { 10.77.0.4 }\n");
    EXPECT_EQ(service.Blocked(), (std::set<Address>{A("10.77.0.4")}));
}

TEST_F(GuardServiceTest, RefusedChangeKeepsTheOldState) {
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(Handle(Update({A("10.77.0.2")})).result, Result::Ok);
    filter.refuse = true;
    EXPECT_EQ(Handle(Update({A("10.77.0.3")})).result, Result::Failed);
    EXPECT_EQ(Handle(Request{Op::SetBlockInternet, {}, false, {}, {}, true}).result, Result::Failed);
    EXPECT_EQ(service.Blocked(), (std::set<Address>{A("10.77.0.2")}));
    EXPECT_FALSE(service.BlockInternet());
}

TEST_F(GuardServiceTest, WithoutTableOnlyTeardownAndBaitServe) {
    filter.refuse = true;
    EXPECT_FALSE(service.Start());
    EXPECT_EQ(Handle(Update({A("10.77.0.2")})).result, Result::NotAvailable);
    EXPECT_EQ(Handle(Request{Op::SetBlockInternet, {}, false, {}, {}, true}).result, Result::NotAvailable);
    EXPECT_EQ(Handle(Request{Op::TearDown, {ConnectionId{2}}, false, {}, {}, false}).result, Result::Ok);
    EXPECT_EQ(actions.torn_down.size(), 1u);
    int fd = -1;
    EXPECT_EQ(service.Handle(Request{Op::BaitSocket, {}, false, {}, {}, false}, fd).result, Result::Ok);
    EXPECT_EQ(fd, 42);
    actions.can_tear_down = false;
    EXPECT_EQ(Handle(Request{Op::TearDown, {ConnectionId{2}}, false, {}, {}, false}).result,
              Result::NotAvailable);
}

TEST_F(GuardServiceTest, BlockInternetAndItsLiftingWhenTheLastClientGoes) {
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(Handle(Request{Op::SetBlockInternet, {}, false, {}, {}, true}).result, Result::Ok);
    EXPECT_EQ(filter.scripts.back(),
              "flush chain inet velmor internet_in\nflush chain inet velmor internet_out\n"
              "add rule inet velmor internet_in iif != \"lo\" drop\n"
              "add rule inet velmor internet_out oif != \"lo\" drop\n");
    ASSERT_EQ(Handle(Update({A("10.77.0.2")})).result, Result::Ok);
    service.ClientsGone();
    EXPECT_FALSE(service.BlockInternet());
    EXPECT_TRUE(service.Blocked().empty());
    EXPECT_EQ(filter.scripts.back(),
              "flush chain inet velmor internet_in\nflush chain inet velmor internet_out\n");
}

TEST_F(GuardServiceTest, LifelinesNeverEnterTheSetsWhoeverAsksAndTheReplySaysWhich) {
    ASSERT_TRUE(service.Start());
    service.SetLifelines(
        {{"10.77.0.1", "fd00:77::1", "127.0.0.1"}, {"10.77.0.254", "fe80::fe"}, {"10.77.0.53"}});
    const Reply reply =
        Handle(Update({A("10.77.0.254"), A("10.77.0.9"), A("127.0.0.53"), A("::1"), A("fd00:77::1"),
                       A("::ffff:10.77.0.1"), A("fe80::fe"), A("fd00:77::9"), A("10.77.0.53")}));
    EXPECT_EQ(reply.result, Result::Ok);
    EXPECT_EQ(reply.refused, (std::vector<RefusedAddress>{{A("10.77.0.254"), Refusal::Gateway},
                                                          {A("127.0.0.53"), Refusal::Loopback},
                                                          {A("::1"), Refusal::Loopback},
                                                          {A("fd00:77::1"), Refusal::OwnAddress},
                                                          {A("::ffff:10.77.0.1"), Refusal::OwnAddress},
                                                          {A("fe80::fe"), Refusal::Gateway}}));
    // A resolver is no concern of the guard's: the client decides about it.
    EXPECT_EQ(service.Blocked(), (std::set<Address>{A("10.77.0.9"), A("fd00:77::9"), A("10.77.0.53")}));
    EXPECT_EQ(filter.scripts.back(),
              "add element inet velmor blocked4 { 10.77.0.9, 10.77.0.53 }\n"
              "add element inet velmor blocked6 { fd00:77::9 }\n");
    // Loopback is refused before the guard knows anything of its namespace, the whole of 127/8.
    GuardService fresh(filter, actions);
    ASSERT_TRUE(fresh.Start());
    EXPECT_EQ(fresh.Protects(A("127.255.0.1")), Refusal::Loopback);
    EXPECT_EQ(fresh.Protects(A("::ffff:127.0.0.1")), Refusal::Loopback);
    EXPECT_EQ(fresh.Protects(A("128.0.0.1")), std::nullopt);
    EXPECT_EQ(fresh.Protects(A("::2")), std::nullopt);
}

TEST_F(GuardServiceTest, AnAddressThatBecomesALifelineLeavesTheSetsAndIsToldOnce) {
    ASSERT_TRUE(service.Start());
    ASSERT_EQ(Handle(Update({A("10.77.0.2"), A("10.77.0.3"), A("fd00:77::2")})).result, Result::Ok);
    // The machine moves: its new gateway and a new address of its own were blocked.
    service.SetLifelines({{"10.77.0.1", "fd00:77::2"}, {"10.77.0.2"}, {}});
    EXPECT_EQ(filter.scripts.back(),
              "delete element inet velmor blocked4 { 10.77.0.2 }\n"
              "delete element inet velmor blocked6 { fd00:77::2 }\n");
    EXPECT_EQ(service.Blocked(), (std::set<Address>{A("10.77.0.3")}));
    const Reply next = Handle(Update({A("10.77.0.4")}));
    EXPECT_EQ(next.refused, (std::vector<RefusedAddress>{{A("10.77.0.2"), Refusal::Gateway},
                                                         {A("fd00:77::2"), Refusal::OwnAddress}}));
    EXPECT_TRUE(Handle(Update({A("10.77.0.5")})).refused.empty()) << "told twice";
    // The gateway changes back: nothing re-enters on its own, and nothing is run for no change.
    const auto runs = filter.scripts.size();
    service.SetLifelines({{"10.77.0.1"}, {"10.77.0.9"}, {}});
    EXPECT_EQ(filter.scripts.size(), runs);
    EXPECT_EQ(service.Blocked(), (std::set<Address>{A("10.77.0.3"), A("10.77.0.4"), A("10.77.0.5")}));
    // nft refusing the removal leaves the sets as they are, and nothing is told.
    filter.refuse = true;
    service.SetLifelines({{"10.77.0.3"}, {}, {}});
    EXPECT_EQ(service.Blocked().size(), 3u);
    filter.refuse = false;
    EXPECT_TRUE(Handle(Update({})).refused.empty());
    // A read that failed in part adds to what the guard knew and forgets nothing.
    service.SetLifelines({{"10.77.0.1"}, {"10.77.0.9"}, {}});
    service.SetLifelines({{}, {"10.77.0.8"}, {}, false});
    EXPECT_EQ(service.Protects(A("10.77.0.1")), Refusal::OwnAddress);
    EXPECT_EQ(service.Protects(A("10.77.0.9")), Refusal::Gateway);
    EXPECT_EQ(service.Protects(A("10.77.0.8")), Refusal::Gateway);
}

Request Switch(Op op, bool on) {
    Request r;
    r.op = op;
    r.on = on;
    return r;
}

TEST_F(GuardServiceTest, TheFirstStrikesMapFollowsTheSetsAndWhatTheKernelStruckJoinsThem) {
    FakeStrike strike;
    ASSERT_TRUE(service.Start());
    service.SetFirstStrike(&strike);
    ASSERT_EQ(Handle(Update({A("10.77.0.2"), A("10.77.0.3"), A("fd00:77::2")})).result, Result::Ok);
    EXPECT_EQ(strike.blocked, service.Blocked());
    ASSERT_EQ(Handle(Update({}, {A("10.77.0.3")})).result, Result::Ok);
    EXPECT_EQ(strike.blocked, service.Blocked());

    // The kernel struck two addresses; one the client allowed before the guard heard of it.
    strike.blocked.insert(A("10.77.0.7"));
    const auto runs = filter.scripts.size();
    service.Struck(std::vector{A("10.77.0.7"), A("10.77.0.8"), A("10.77.0.2")});
    ASSERT_EQ(filter.scripts.size(), runs + 1);
    EXPECT_EQ(filter.scripts.back(), "add element inet velmor blocked4 { 10.77.0.7 }\n");
    EXPECT_TRUE(service.Blocked().contains(A("10.77.0.7")));
    EXPECT_FALSE(service.Blocked().contains(A("10.77.0.8"))) << "released, yet put into the sets";
    // A struck address the sets do not hold yet is released all the same when the client asks.
    strike.blocked.insert(A("10.77.0.9"));
    ASSERT_EQ(Handle(Update({}, {A("10.77.0.9")})).result, Result::Ok);
    EXPECT_FALSE(strike.Holds(A("10.77.0.9")));
    // A clear empties both.
    ASSERT_EQ(Handle(Update({A("10.77.0.4")}, {}, true)).result, Result::Ok);
    EXPECT_EQ(strike.blocked, (std::set<Address>{A("10.77.0.4")}));
    EXPECT_EQ(strike.blocked, service.Blocked());
}

TEST_F(GuardServiceTest, TheFirstStrikeIsArmedOnlyWhileAClientAsksAndSparesWhatTheGuardSpares) {
    // Without it, or without the table its strikes join, neither request is served.
    EXPECT_EQ(Handle(Switch(Op::SetFirstStrike, true)).result, Result::NotAvailable);
    Request exempt;
    exempt.op = Op::UpdateExempt;
    exempt.exempt_add = {{A("10.0.0.0"), 8}};
    EXPECT_EQ(Handle(exempt).result, Result::NotAvailable);
    FakeStrike strike;
    service.SetLifelines({{"10.77.0.1"}, {"10.77.0.254"}, {"10.77.0.53"}});
    service.SetFirstStrike(&strike);
    EXPECT_EQ(Handle(Switch(Op::SetFirstStrike, true)).result, Result::NotAvailable);
    ASSERT_TRUE(service.Start());
    EXPECT_FALSE(strike.armed);
    // Its own addresses and gateways, not the resolvers (those the client spares).
    EXPECT_EQ(strike.lifelines, (std::set<Address>{A("10.77.0.1"), A("10.77.0.254")}));

    EXPECT_EQ(Handle(exempt).result, Result::Ok);
    EXPECT_EQ(strike.exempt, (std::set<ExemptRange>{{A("10.0.0.0"), 8}}));
    EXPECT_EQ(Handle(Switch(Op::SetFirstStrike, true)).result, Result::Ok);
    EXPECT_TRUE(strike.armed);
    const GuardState state = Handle(Request{}).state;
    EXPECT_TRUE(state.first_strike);
    EXPECT_TRUE(state.first_strike_armed);
    EXPECT_EQ(state.struck, 3u);
    EXPECT_TRUE(state.half_open_events) << "its packet path tells of SYNs";

    // A blocked address that becomes a lifeline leaves the map too.
    ASSERT_EQ(Handle(Update({A("10.77.0.5")})).result, Result::Ok);
    service.SetLifelines({{"10.77.0.1", "10.77.0.5"}, {"10.77.0.254"}, {}});
    EXPECT_FALSE(strike.Holds(A("10.77.0.5")));
    EXPECT_TRUE(strike.lifelines.contains(A("10.77.0.5")));

    // The session ends: nobody keeps what it must spare, so it strikes nothing and holds nothing.
    ASSERT_EQ(Handle(Update({A("10.77.0.6")})).result, Result::Ok);
    service.ClientsGone();
    EXPECT_FALSE(strike.armed);
    EXPECT_TRUE(strike.blocked.empty());
    EXPECT_TRUE(strike.exempt.empty());

    // Exempt ranges the kernel refuses leave it disarmed.
    ASSERT_EQ(Handle(Switch(Op::SetFirstStrike, true)).result, Result::Ok);
    strike.refuse_exempt = true;
    EXPECT_EQ(Handle(exempt).result, Result::Failed);
    EXPECT_FALSE(strike.armed);
    EXPECT_FALSE(Handle(Request{}).state.first_strike_armed);
    service.InterfacesChanged();
    EXPECT_EQ(strike.covers, 1);
}

TEST(GuardTrust, RootAndTheGroupOnly) {
    EXPECT_TRUE(IsTrusted({0, 1000, {}}, 900));
    EXPECT_TRUE(IsTrusted({1000, 900, {}}, 900));
    EXPECT_TRUE(IsTrusted({1000, 1000, {27, 900}}, 900));
    EXPECT_FALSE(IsTrusted({1000, 1000, {27}}, 900));
    // Group 0 alone is no root.
    EXPECT_FALSE(IsTrusted({1000, 0, {0}}, 900));
}

TEST(GuardOptionsTest, SocketAndGroup) {
    GuardOptions options;
    std::string error;
    const char* argv[] = {"velmor-guard", "--socket", "/tmp/g.sock", "--group", "65534"};
    ASSERT_TRUE(ParseGuardOptions(5, const_cast<char**>(argv), options, error));
    EXPECT_EQ(options.socket_path, "/tmp/g.sock");
    EXPECT_EQ(options.group, "65534");
    const char* bad[] = {"velmor-guard", "--socket"};
    EXPECT_FALSE(ParseGuardOptions(2, const_cast<char**>(bad), options, error));
    const char* unknown[] = {"velmor-guard", "--port", "80"};
    EXPECT_FALSE(ParseGuardOptions(3, const_cast<char**>(unknown), options, error));
    const char* strike[] = {"velmor-guard", "--first-strike", "off"};
    ASSERT_TRUE(ParseGuardOptions(3, const_cast<char**>(strike), options, error));
    EXPECT_EQ(options.first_strike, "off");
    const char* maybe[] = {"velmor-guard", "--first-strike", "maybe"};
    EXPECT_FALSE(ParseGuardOptions(3, const_cast<char**>(maybe), options, error));
    GuardOptions defaults;
    EXPECT_EQ(defaults.socket_path, "/run/velmor/guard.sock");
    EXPECT_EQ(defaults.group, "velmor");
    EXPECT_EQ(defaults.first_strike, "on");
}

class FakeOwners final : public OwnerFinder {
public:
    std::vector<std::vector<SocketRef>> asked;
    std::size_t answers = 1;
    std::vector<OwnerRecord> Find(std::span<const SocketRef> sockets) override {
        asked.emplace_back(sockets.begin(), sockets.end());
        std::vector<OwnerRecord> found(answers);
        for (std::size_t i = 0; i < found.size(); ++i) found[i].cookie = i + 1;
        return found;
    }
};

// Owners goes to the finder when the guard has one, and answers at most what a reply holds.
TEST_F(GuardServiceTest, OwnersAreAnsweredByTheFinder) {
    Request ask;
    ask.op = Op::Owners;
    ask.sockets = {{7, 70}};
    EXPECT_EQ(Handle(ask).result, Result::NotAvailable);
    FakeOwners owners;
    service.SetOwnerFinder(&owners);
    Reply reply = Handle(ask);
    EXPECT_EQ(reply.result, Result::Ok);
    EXPECT_EQ(reply.version, kProtocolVersion);
    ASSERT_EQ(owners.asked.size(), 1u);
    EXPECT_EQ(owners.asked[0], ask.sockets);
    EXPECT_EQ(reply.owners.size(), 1u);
    owners.answers = kMaxOwnerRecords + 3;
    EXPECT_EQ(Handle(ask).owners.size(), kMaxOwnerRecords);
    // The option that switches it off.
    GuardOptions options;
    const char* argv[] = {"velmor-guard", "--owners", "off", "--group", "7"};
    std::string error;
    ASSERT_TRUE(ParseGuardOptions(5, const_cast<char**>(argv), options, error)) << error;
    EXPECT_FALSE(options.owners);
    EXPECT_EQ(options.group, "7");
    const char* wrong[] = {"velmor-guard", "--owners", "maybe"};
    EXPECT_FALSE(ParseGuardOptions(3, const_cast<char**>(wrong), options, error));
}

}  // namespace
}  // namespace velmor::guard
