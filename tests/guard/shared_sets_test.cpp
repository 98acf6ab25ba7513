// The guard's shared sets with a stand-in for nft: the scripts each change runs, what it refuses,
// and what it knows of the kernel's own expiry.
#include <gtest/gtest.h>

#include "velmor/guard/guard_service.h"

namespace velmor::guard {
namespace {

using namespace std::chrono_literals;

class ScriptLog final : public PacketFilter {
public:
    std::vector<std::string> scripts;
    // Refuses the next `refusals` scripts.
    int refusals = 0;
    bool Run(const std::string& script) override {
        if (refusals > 0) {
            --refusals;
            return false;
        }
        scripts.push_back(script);
        return true;
    }
};

class NoActions final : public GuardActions {
public:
    bool CanTearDown() const override { return true; }
    bool CanOpenBait() const override { return false; }
    void TearDown(std::span<const ConnectionId>) override {}
    int OpenBait() override { return -1; }
};

Address A(std::string_view text) {
    Address a;
    EXPECT_TRUE(ParseAddress(text, a)) << text;
    return a;
}

SharedElement E(std::string_view first, std::string_view last, std::uint32_t seconds = 0) {
    return {{A(first), A(last)}, seconds};
}

AddressSpan S(std::string_view first, std::string_view last) {
    return {A(first), A(last)};
}

class SharedSetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.Start());
        filter.scripts.clear();
    }
    Reply Shared(std::vector<SharedElement> add, std::vector<AddressSpan> remove = {}, bool clear = false) {
        Request request;
        request.op = Op::UpdateShared;
        request.shared_add = std::move(add);
        request.shared_remove = std::move(remove);
        request.clear = clear;
        int fd = -1;
        return service.Handle(request, fd);
    }
    std::string Last() const { return filter.scripts.empty() ? "" : filter.scripts.back(); }

    ScriptLog filter;
    NoActions actions;
    SharedSets::Time now = SharedSets::Time{} + 1000s;
    GuardService service{filter, actions, [this] { return now; }};
};

TEST_F(SharedSetsTest, TheTableDropsBothWaysThroughPlainAndIntervalSetsWithTimeouts) {
    const std::string install = InstallTableScript();
    EXPECT_NE(install.find("set shared4 { type ipv4_addr; flags timeout; }"), std::string::npos);
    EXPECT_NE(install.find("set shared6_ranges { type ipv6_addr; flags interval, timeout; }"),
              std::string::npos);
    for (const char* rule :
         {"ip saddr @shared4 drop", "ip saddr @shared4_ranges drop", "ip6 saddr @shared6 drop",
          "ip6 saddr @shared6_ranges drop", "ip daddr @shared4 drop", "ip daddr @shared4_ranges drop",
          "ip6 daddr @shared6 drop", "ip6 daddr @shared6_ranges drop"})
        EXPECT_NE(install.find(rule), std::string::npos) << rule;
}

TEST_F(SharedSetsTest, OneTransactionPerChangeWithSingleAddressesApartFromRanges) {
    const Reply first = Shared({E("10.99.9.7", "10.99.9.7", 3600), E("10.99.8.0", "10.99.8.255", 60),
                                E("fd00:99::", "fd00:99::ffff"), E("fd00:98::1", "fd00:98::1", 5)});
    ASSERT_EQ(first.result, Result::Ok);
    EXPECT_EQ(first.shared_v4, 2u);
    EXPECT_EQ(first.shared_v6, 2u);
    ASSERT_EQ(filter.scripts.size(), 1u);
    EXPECT_EQ(Last(),
              "add element inet velmor shared4 { 10.99.9.7 timeout 3600s }\n"
              "add element inet velmor shared4_ranges { 10.99.8.0-10.99.8.255 timeout 60s }\n"
              "add element inet velmor shared6 { fd00:98::1 timeout 5s }\n"
              "add element inet velmor shared6_ranges { fd00:99::-fd00:99::ffff }\n");
    // Removals of what is held, in the same transaction as the additions; spans not held cost nothing.
    ASSERT_EQ(Shared({E("10.99.9.8", "10.99.9.8")},
                     {S("10.99.9.7", "10.99.9.7"), S("10.1.1.1", "10.1.1.1"), S("10.99.8.0", "10.99.8.127")})
                  .result,
              Result::Ok);
    EXPECT_EQ(Last(),
              "delete element inet velmor shared4 { 10.99.9.7 }\n"
              "add element inet velmor shared4 { 10.99.9.8 }\n");
    const auto runs = filter.scripts.size();
    EXPECT_EQ(Shared({}, {S("10.1.1.1", "10.1.1.1")}).result, Result::Ok);
    EXPECT_EQ(filter.scripts.size(), runs);
    // A replacement empties all four sets first.
    const Reply replaced = Shared({E("10.5.5.5", "10.5.5.5")}, {}, true);
    EXPECT_EQ(
        Last(),
        "flush set inet velmor shared4\nflush set inet velmor shared6\nflush set inet velmor "
        "shared4_ranges\nflush set inet velmor shared6_ranges\nadd element inet velmor shared4 { 10.5.5.5 "
        "}\n");
    EXPECT_EQ(replaced.shared_v4, 1u);
    EXPECT_EQ(replaced.shared_v6, 0u);
}

TEST_F(SharedSetsTest, OverlapsAreRefusedWholeAndARenewalIsARemovalAndAnAddition) {
    ASSERT_EQ(Shared({E("10.99.8.0", "10.99.8.255", 60)}).result, Result::Ok);
    const auto runs = filter.scripts.size();
    // Over a held span, or over another addition: the whole request, nothing run.
    EXPECT_EQ(Shared({E("10.99.8.7", "10.99.8.7")}).result, Result::BadRequest);
    EXPECT_EQ(Shared({E("10.99.7.0", "10.99.8.0")}).result, Result::BadRequest);
    EXPECT_EQ(Shared({E("10.99.9.0", "10.99.9.9"), E("10.99.9.9", "10.99.9.20")}).result, Result::BadRequest);
    EXPECT_EQ(filter.scripts.size(), runs);
    // Next to it is no overlap; in place of it, once it is removed, neither.
    EXPECT_EQ(Shared({E("10.99.9.0", "10.99.9.0")}).result, Result::Ok);
    EXPECT_EQ(Shared({E("10.99.8.0", "10.99.8.255", 600)}, {S("10.99.8.0", "10.99.8.255")}).result,
              Result::Ok);
    EXPECT_EQ(Last(),
              "delete element inet velmor shared4_ranges { 10.99.8.0-10.99.8.255 }\n"
              "add element inet velmor shared4_ranges { 10.99.8.0-10.99.8.255 timeout 600s }\n");
    // The other family never overlaps.
    EXPECT_EQ(Shared({E("::a63:800", "::a63:8ff")}).result, Result::Ok);
}

TEST_F(SharedSetsTest, NoSpanOverALifelineWhateverItsFormAndTheReplyNamesIt) {
    service.SetLifelines({{"10.77.0.1", "fd00:77::1"}, {"10.77.0.254"}, {}});
    const Reply reply =
        Shared({E("10.77.0.0", "10.77.0.255"), E("10.77.0.254", "10.77.0.254"), E("126.0.0.0", "128.0.0.0"),
                E("::", "::ff"), E("fd00:77::", "fd00:77::ff"), E("::ffff:10.77.0.0", "::ffff:10.77.0.255"),
                E("10.99.0.0", "10.99.255.255"), E("::ffff:10.99.0.0", "::ffff:10.99.0.255")});
    ASSERT_EQ(reply.result, Result::Ok);
    EXPECT_EQ(reply.refused_spans,
              (std::vector<RefusedSpan>{{S("10.77.0.0", "10.77.0.255"), Refusal::OwnAddress},
                                        {S("10.77.0.254", "10.77.0.254"), Refusal::Gateway},
                                        {S("126.0.0.0", "128.0.0.0"), Refusal::Loopback},
                                        {S("::", "::ff"), Refusal::Loopback},
                                        {S("fd00:77::", "fd00:77::ff"), Refusal::OwnAddress},
                                        {S("::ffff:10.77.0.0", "::ffff:10.77.0.255"), Refusal::OwnAddress}}));
    EXPECT_EQ(reply.shared_v4, 1u);
    EXPECT_EQ(reply.shared_v6, 1u);

    // A lifeline that appears inside a held span takes the span out at once; the next reply says so.
    service.SetLifelines({{"10.77.0.1", "10.99.3.3"}, {"10.77.0.254"}, {}});
    EXPECT_EQ(Last(), "delete element inet velmor shared4_ranges { 10.99.0.0-10.99.255.255 }\n");
    const Reply next = Shared({});
    EXPECT_EQ(next.refused_spans,
              (std::vector<RefusedSpan>{{S("10.99.0.0", "10.99.255.255"), Refusal::OwnAddress}}));
    EXPECT_EQ(next.shared_v4, 0u);
    EXPECT_TRUE(Shared({}).refused_spans.empty());
}

TEST_F(SharedSetsTest, ExpiredSpansAreNeverDeletedAndAFailedChangeIsWrittenAfresh) {
    ASSERT_EQ(
        Shared({E("10.1.0.1", "10.1.0.1", 10), E("10.1.0.2", "10.1.0.2", 100), E("10.1.0.3", "10.1.0.3")})
            .result,
        Result::Ok);
    now += 11s;
    // The kernel dropped 10.1.0.1 at its expiry: its removal is no deletion, and it is no longer held.
    ASSERT_EQ(Shared({}, {S("10.1.0.1", "10.1.0.1"), S("10.1.0.3", "10.1.0.3")}).result, Result::Ok);
    EXPECT_EQ(Last(), "delete element inet velmor shared4 { 10.1.0.3 }\n");
    EXPECT_EQ(service.Shared().HeldSpans().size(), 1u);
    // A deletion the kernel refuses (it dropped the span a moment before the guard's reckoning):
    // the sets are written afresh with what stays, its time left kept.
    filter.refusals = 1;
    now += 9s;
    ASSERT_EQ(Shared({E("10.1.0.9", "10.1.0.9", 30)}, {S("10.1.0.2", "10.1.0.2")}).result, Result::Ok);
    EXPECT_EQ(
        Last(),
        "flush set inet velmor shared4\nflush set inet velmor shared6\nflush set inet velmor "
        "shared4_ranges\nflush set inet velmor shared6_ranges\nadd element inet velmor shared4 { 10.1.0.9 "
        "timeout 30s }\n");
    now += 5s;
    ASSERT_EQ(Shared({E("10.1.0.8", "10.1.0.8", 50)}).result, Result::Ok);
    filter.refusals = 1;
    ASSERT_EQ(Shared({}, {S("10.1.0.8", "10.1.0.8")}).result, Result::Ok);
    EXPECT_EQ(Last().substr(Last().find("add")),
              "add element inet velmor shared4 { 10.1.0.9 timeout 25s }\n");
    // Refused twice: nothing is known of the sets any more, so they are emptied.
    filter.refusals = 2;
    EXPECT_EQ(Shared({E("10.1.0.7", "10.1.0.7")}, {S("10.1.0.9", "10.1.0.9")}).result, Result::Failed);
    EXPECT_TRUE(service.Shared().HeldSpans().empty());
}

TEST_F(SharedSetsTest, ManyRangesLeavingManyRewriteTheirIntervalSetAndTheSessionEndEmptiesAll) {
    std::vector<SharedElement> ranges;
    for (int i = 0; i < 1000; ++i) {
        const std::string base = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".";
        ranges.push_back(E(base + "0", base + "127", 3600));
    }
    ranges.push_back(E("10.200.0.1", "10.200.0.1"));
    ASSERT_EQ(Shared(ranges).result, Result::Ok);
    // A few leave one by one ...
    ASSERT_EQ(Shared({}, {S("10.0.0.0", "10.0.0.127")}).result, Result::Ok);
    EXPECT_EQ(Last(), "delete element inet velmor shared4_ranges { 10.0.0.0-10.0.0.127 }\n");
    // ... but when hundreds of a thousand leave, the interval set is written again without them.
    std::vector<AddressSpan> leaving;
    for (int i = 1; i < 501; ++i) leaving.push_back(ranges[static_cast<std::size_t>(i)].span);
    leaving.push_back(S("10.200.0.1", "10.200.0.1"));
    now += 100s;
    ASSERT_EQ(Shared({}, leaving).result, Result::Ok);
    const std::string rewrite = Last();
    EXPECT_EQ(rewrite.find("flush set inet velmor shared4_ranges\n"), 0u);
    EXPECT_NE(rewrite.find("delete element inet velmor shared4 { 10.200.0.1 }\n"), std::string::npos);
    EXPECT_EQ(rewrite.find("delete element inet velmor shared4_ranges"), std::string::npos);
    EXPECT_EQ(rewrite.find("10.0.1.0-"), std::string::npos);
    EXPECT_NE(rewrite.find("10.1.245.0-10.1.245.127 timeout 3500s"), std::string::npos);
    EXPECT_EQ(service.Shared().Count(Address::Family::V4), 499u);

    service.ClientsGone();
    EXPECT_EQ(Last(),
              "flush set inet velmor shared4\nflush set inet velmor shared6\n"
              "flush set inet velmor shared4_ranges\nflush set inet velmor shared6_ranges\n");
    EXPECT_TRUE(service.Shared().HeldSpans().empty());
}

TEST_F(SharedSetsTest, WithoutATableTheRequestIsNotAvailable) {
    service.Stop();
    EXPECT_EQ(Shared({E("10.1.0.1", "10.1.0.1")}).result, Result::NotAvailable);
}

}  // namespace
}  // namespace velmor::guard
