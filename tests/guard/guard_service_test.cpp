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
    EXPECT_NE(install.find("ip6 daddr @blocked6 drop"), std::string::npos);
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
    GuardOptions defaults;
    EXPECT_EQ(defaults.socket_path, "/run/velmor/guard.sock");
    EXPECT_EQ(defaults.group, "velmor");
}

}  // namespace
}  // namespace velmor::guard
