#include "velmor/lists/shared_decisions.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace velmor::lists {
namespace {

using std::chrono::seconds;
using std::chrono::system_clock;
using Time = system_clock::time_point;

platform::AddressRange Range(std::string_view text) {
    return *platform::ParseAddressRange(text);
}

platform::IpAddress Ip(std::string_view text) {
    return *platform::ParseIpAddress(text);
}

SharedDecision Decision(std::string source, std::string_view range,
                        std::optional<Time> expires = std::nullopt) {
    return {Range(range), std::move(source), "cscli", "", expires};
}

std::string Text(const guard::AddressSpan& span) {
    return guard::FormatAddress(span.first) + "-" + guard::FormatAddress(span.last);
}

// The guard's sets as the changes leave them: each element with the moment the kernel drops it.
struct GuardModel {
    std::map<guard::Address, std::pair<guard::Address, std::optional<Time>>> held;

    void Apply(const SharedDecisions::GuardChange& change, Time now) {
        // As the guard does: what lapsed is gone, and a removal of it passes unnoticed.
        std::set<guard::AddressSpan> lapsed;
        std::erase_if(held, [&](const auto& element) {
            const bool gone = element.second.second && *element.second.second <= now;
            if (gone) lapsed.insert({element.first, element.second.first});
            return gone;
        });
        if (change.clear) held.clear();
        for (const guard::AddressSpan& span : change.remove) {
            const auto found = held.find(span.first);
            if (found == held.end() && lapsed.contains(span)) continue;
            ASSERT_TRUE(found != held.end() && found->second.first == span.last)
                << "removed unheld " << Text(span);
            held.erase(found);
        }
        for (const guard::SharedElement& element : change.add) {
            const auto next = held.lower_bound(element.span.first);
            ASSERT_TRUE(next == held.end() || element.span.last < next->first) << Text(element.span);
            ASSERT_TRUE(next == held.begin() || std::prev(next)->second.first < element.span.first)
                << Text(element.span);
            std::optional<Time> ends;
            if (element.timeout_seconds != 0) ends = now + seconds(element.timeout_seconds);
            held.emplace(element.span.first, std::pair{element.span.last, ends});
        }
    }
    // The drop moment of the element holding `address`: nullopt inside for never, none outside.
    std::optional<std::optional<Time>> Holding(const guard::Address& address) const {
        auto it = held.upper_bound(address);
        if (it == held.begin()) return std::nullopt;
        --it;
        if (it->second.first < address) return std::nullopt;
        return it->second.second;
    }
};

guard::Address V4(std::uint32_t value) {
    guard::Address address;
    for (int i = 0; i < 4; ++i)
        address.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return address;
}

TEST(SharedDecisionsTest, RandomChangesMatchAFreshMergeAddressByAddress) {
    rules::Exemptions exemptions;
    exemptions.SetLifelines({{"10.1.0.200"}, {}, {}, true});
    SharedDecisions shared(exemptions, nullptr);
    std::mt19937 random(29);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::map<std::pair<std::string, platform::AddressRange>, SharedDecision> reference;
    std::vector<platform::IpAddress> allowed;
    platform::AddressRangeSet trusted;
    GuardModel guard;
    Time now = system_clock::from_time_t(1'800'000'000);
    const auto random_range = [&] {
        const int prefix = 28 + pick(5);
        const std::uint32_t host = static_cast<std::uint32_t>(pick(256)) & ~((1u << (32 - prefix)) - 1);
        return "10.1.0." + std::to_string(host) + "/" + std::to_string(prefix);
    };
    for (int step = 0; step < 400; ++step) {
        const int what = pick(20);
        const std::string source = pick(2) == 0 ? "crowdsec" : "list:a";
        if (what < 10) {
            std::optional<Time> expires;
            if (pick(3) != 0) expires = now + seconds(10 * (1 + pick(6)));
            SharedDecision decision = Decision(source, random_range(), expires);
            reference[{source, decision.range}] = decision;
            shared.Add({decision});
        } else if (what < 14 && !reference.empty()) {
            auto it = std::next(reference.begin(), pick(static_cast<int>(reference.size())));
            shared.Remove(it->first.first, {it->first.second});
            reference.erase(it);
        } else if (what < 15) {
            std::vector<SharedDecision> list;
            std::erase_if(reference, [](const auto& entry) { return entry.first.first == "list:a"; });
            for (int i = pick(8); i > 0; --i) {
                list.push_back(Decision("list:a", random_range()));
                reference[{"list:a", list.back().range}] = list.back();
            }
            shared.ReplaceSource("list:a", list);
        } else if (what < 16) {
            // Mostly the first address of a held range (all of a single address), one more or one
            // fewer at a time.
            if (allowed.size() > 2) allowed.erase(allowed.begin() + pick(static_cast<int>(allowed.size())));
            if (!reference.empty() && pick(3) != 0)
                allowed.push_back(std::next(reference.begin(), pick(static_cast<int>(reference.size())))
                                      ->first.second.address);
            else
                allowed.push_back(Ip("10.1.0." + std::to_string(pick(256))));
            shared.SetAllowedAddresses(allowed);
        } else if (what < 17) {
            trusted = platform::AddressRangeSet({Range(random_range())});
            exemptions.SetTrusted(trusted);
        } else if (what < 18) {
            shared.ForgetGuard();
        }
        if (what >= 18 || pick(4) == 0) now += seconds(7);
        std::erase_if(reference, [&](const auto& entry) {
            return entry.second.expires && *entry.second.expires <= now;
        });
        guard.Apply(shared.TakeGuardChange(now), now);
        if (testing::Test::HasFatalFailure()) return;

        for (std::uint32_t host = 0; host < 256; ++host) {
            const platform::IpAddress address = Ip("10.1.0." + std::to_string(host));
            // The latest expiry among the decisions that may block this address.
            std::optional<std::optional<Time>> expected;
            for (const auto& [key, decision] : reference) {
                const auto overlaps = [&](const platform::AddressRange& other) {
                    return other.Contains(decision.range.address) || decision.range.Contains(other.address);
                };
                if (!decision.range.Contains(address) || decision.range.Contains(Ip("10.1.0.200")) ||
                    std::any_of(trusted.ranges().begin(), trusted.ranges().end(), overlaps) ||
                    std::find(allowed.begin(), allowed.end(), address) != allowed.end())
                    continue;
                if (!expected || (*expected && (!decision.expires || *decision.expires > **expected)))
                    expected = decision.expires;
            }
            ASSERT_EQ(guard.Holding(V4(0x0a010000u | host)), expected) << "step " << step << " host " << host;
            const SharedDecision* blocking = shared.Blocking(address);
            ASSERT_EQ(blocking != nullptr, expected.has_value()) << "step " << step << " host " << host;
            if (blocking != nullptr) {
                ASSERT_EQ(blocking->expires, *expected);
            }
        }
        // Spans are as few as can be: neighbours with the same expiry would be one span.
        for (auto it = guard.held.begin(); it != guard.held.end() && std::next(it) != guard.held.end();
             ++it) {
            const auto next = std::next(it);
            std::uint32_t last = 0, first = 0;
            for (int i = 0; i < 4; ++i) {
                last = last << 8 | it->second.first.bytes[static_cast<std::size_t>(i)];
                first = first << 8 | next->first.bytes[static_cast<std::size_t>(i)];
            }
            ASSERT_FALSE(last + 1 == first && it->second.second == next->second.second) << "step " << step;
        }
    }
}

TEST(SharedDecisionsTest, SafetyRulesRefuseCountAndRecheck) {
    rules::Exemptions exemptions;
    exemptions.SetLifelines({{"192.168.1.10"}, {"192.168.1.1"}, {"9.9.9.9"}, true});
    SharedDecisions shared(exemptions, [](const platform::IpAddress& a) { return a == Ip("203.0.113.7"); });
    shared.SetAllowedAddresses(
        {Ip("198.51.100.5"), Ip("203.0.113.7"), Ip("2001:db8:1:0:ffff:ffff:ffff:ffff")});
    shared.ReplaceSource(
        "crowdsec", {Decision("", "192.168.1.0/24"), Decision("", "9.9.9.9"), Decision("", "127.0.0.53"),
                     Decision("", "10.0.0.0/8"), Decision("", "10.0.0.0/16"), Decision("", "2001:db8::/31"),
                     Decision("", "203.0.113.7"), Decision("", "198.51.100.0/24"),
                     Decision("", "::ffff:0:0/95"), Decision("", "2001:db8:1::/48")});
    const auto change = shared.TakeGuardChange(system_clock::now());
    EXPECT_TRUE(change.clear);
    std::vector<std::string> spans;
    for (const auto& element : change.add) spans.push_back(Text(element.span));
    EXPECT_EQ(spans, (std::vector<std::string>{"10.0.0.0-10.0.255.255", "198.51.100.0-198.51.100.4",
                                               "198.51.100.6-198.51.100.255",
                                               "2001:db8:1::-2001:db8:1:0:ffff:ffff:ffff:fffe",
                                               "2001:db8:1:1::-2001:db8:1:ffff:ffff:ffff:ffff:ffff"}));
    std::multiset<SharedRefusal> why;
    for (const auto& refused : shared.RefusedDecisions()) why.insert(refused.why);
    EXPECT_EQ(why, (std::multiset<SharedRefusal>{SharedRefusal::Lifeline, SharedRefusal::Lifeline,
                                                 SharedRefusal::Lifeline, SharedRefusal::Lifeline,
                                                 SharedRefusal::TooWide, SharedRefusal::TooWide,
                                                 SharedRefusal::Allowed}));
    ASSERT_EQ(shared.Sources().size(), 1u);
    EXPECT_EQ(shared.Sources()[0].entries, 3u);
    EXPECT_EQ(shared.Sources()[0].refused, 7u);

    // The user trusts a range inside an enforced one: the next take withdraws the whole decision.
    exemptions.SetTrusted(platform::AddressRangeSet({Range("10.0.3.0/24")}));
    const auto withdrawn = shared.TakeGuardChange(system_clock::now());
    EXPECT_FALSE(withdrawn.clear);
    EXPECT_TRUE(withdrawn.add.empty());
    ASSERT_EQ(withdrawn.remove.size(), 1u);
    EXPECT_EQ(Text(withdrawn.remove[0]), "10.0.0.0-10.0.255.255");
    EXPECT_EQ(shared.Blocking(Ip("10.0.0.1")), nullptr);
    EXPECT_EQ(shared.Sources()[0].refused, 8u);

    // Without the trusted range and with a wider cap the /8 blocks too.
    exemptions.SetTrusted({});
    shared.SetRangeCap(8, 32);
    EXPECT_NE(shared.Blocking(Ip("10.200.0.1")), nullptr);
}

TEST(SharedDecisionsTest, OverlapsKeepTheLaterExpiryAndChangesStaySmall) {
    rules::Exemptions exemptions;
    SharedDecisions shared(exemptions, nullptr);
    const Time now = system_clock::from_time_t(1'800'000'000);
    std::vector<SharedDecision> many;
    for (int i = 0; i < 2000; ++i)
        many.push_back(Decision("", "10.2." + std::to_string(i / 200) + "." + std::to_string(i % 200),
                                now + seconds(3600)));
    shared.ReplaceSource("crowdsec", many);
    shared.Add({Decision("list:x", "10.2.0.4"), Decision("crowdsec", "1.2.3.0/24", now + seconds(60))});
    EXPECT_EQ(shared.TakeGuardChange(now).add.size(), 10u + 3u);
    EXPECT_EQ(shared.Blocking(Ip("10.2.0.4"))->source, "list:x");
    EXPECT_EQ(shared.Blocking(Ip("10.2.0.5"))->source, "crowdsec");

    // One more decision costs one span, nothing else is sent again.
    shared.Add({Decision("crowdsec", "10.3.0.1", now + seconds(3600))});
    const auto one = shared.TakeGuardChange(now);
    EXPECT_FALSE(one.clear);
    EXPECT_EQ(one.add.size(), 1u);
    EXPECT_TRUE(one.remove.empty());

    // Expiry: the decisions that lapsed are forgotten without removals (the kernel drops them).
    const auto later = shared.TakeGuardChange(now + seconds(120));
    EXPECT_TRUE(later.add.empty());
    EXPECT_TRUE(later.remove.empty());
    EXPECT_EQ(shared.Blocking(Ip("1.2.3.9")), nullptr);

    // A removed list takes its spans and its line along.
    shared.RemoveSource("list:x");
    const auto removed = shared.TakeGuardChange(now + seconds(120));
    ASSERT_EQ(removed.remove.size(), 3u);
    ASSERT_EQ(removed.add.size(), 1u);
    EXPECT_EQ(Text(removed.add[0].span), "10.2.0.0-10.2.0.199");
    EXPECT_EQ(shared.Sources().size(), 1u);

    shared.ForgetGuard();
    EXPECT_TRUE(shared.TakeGuardChange(now + seconds(120)).clear);
}

}  // namespace
}  // namespace velmor::lists
