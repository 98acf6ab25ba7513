#pragma once

#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "velmor/guard/guard_link.h"

namespace velmor::test {

// A guard that keeps what it was told.
class FakeGuardLink final : public guard::GuardLink {
public:
    bool available = true;
    // A guard that runs but hangs up on this user.
    bool refuses = false;
    bool connected = false;
    bool fail_updates = false;
    guard::GuardState state{true, true, true, false, 0, 0};
    std::set<std::string> set;
    std::vector<std::string> log;
    int connects = 0;
    std::size_t torn_down = 0;
    std::optional<bool> internet;
    // Addresses it keeps out of the set as a guard keeps lifelines out, and why.
    std::map<std::string, guard::Refusal> lifelines;
    std::vector<guard::RefusedLifeline> refused;

    bool Connect() override {
        ++connects;
        connected = available && !refuses;
        return connected;
    }
    bool Refused() const override { return available && refuses && !connected; }
    bool Connected() const override { return connected; }
    bool HungUp() override {
        if (!available) connected = false;
        return !connected;
    }
    std::optional<guard::GuardState> Status() override {
        if (!connected) return std::nullopt;
        return state;
    }
    bool TearDown(std::span<const platform::SocketId> ids) override {
        if (!connected || !available) return connected = false;
        torn_down += ids.size();
        return true;
    }
    bool UpdateBlocked(bool clear, std::span<const std::string> add,
                       std::span<const std::string> remove) override {
        if (!connected || fail_updates) return connected = false;
        if (clear) set.clear();
        for (const auto& a : remove) set.erase(a);
        for (const auto& a : add) {
            if (const auto lifeline = lifelines.find(a); lifeline != lifelines.end()) {
                refused.push_back({a, lifeline->second});
            } else {
                set.insert(a);
            }
        }
        log.push_back(std::string(clear ? "clear " : "") + "+" + std::to_string(add.size()) + " -" +
                      std::to_string(remove.size()));
        return true;
    }
    std::vector<guard::RefusedLifeline> TakeRefused() override { return std::exchange(refused, {}); }
    bool SetBlockInternet(bool on) override {
        if (!connected) return false;
        internet = on;
        return true;
    }
    // The first strike (offered when state.first_strike): the ranges it spares, whether it is armed,
    // and every call in order ("exempt clear +2 -0", "strike on", "blocked +1 -0" is in `log` too).
    std::set<std::string> exempt;
    std::optional<bool> strike;
    bool refuse_exempt = false;
    bool UpdateExempt(bool clear, std::span<const std::string> add,
                      std::span<const std::string> remove) override {
        if (!connected || !state.first_strike || refuse_exempt) return false;
        if (clear) exempt.clear();
        for (const auto& range : remove) exempt.erase(range);
        exempt.insert(add.begin(), add.end());
        log.push_back(std::string("exempt ") + (clear ? "clear " : "") + "+" + std::to_string(add.size()) +
                      " -" + std::to_string(remove.size()));
        return true;
    }
    bool SetFirstStrike(bool on) override {
        if (!connected || !state.first_strike) return false;
        strike = on;
        log.push_back(on ? "strike on" : "strike off");
        return true;
    }
    // The shared sets (offered when state.shared_sets): what they hold (span -> seconds as sent),
    // every call as it came, and "shared clear +2 -0" in `log`. An addition that holds an address of
    // `span_lifelines` is refused as the guard refuses it; `fail_shared` fails the next calls.
    struct SharedCall {
        bool clear = false;
        std::vector<guard::SharedElement> add;
        std::vector<guard::AddressSpan> remove;
    };
    std::map<guard::AddressSpan, std::uint32_t> shared;
    std::vector<SharedCall> shared_calls;
    std::map<guard::Address, guard::Refusal> span_lifelines;
    std::vector<guard::RefusedSpan> refused_spans;
    bool fail_shared = false;
    bool UpdateShared(bool clear, std::span<const guard::SharedElement> add,
                      std::span<const guard::AddressSpan> remove) override {
        if (!connected || !state.shared_sets || fail_shared) return false;
        shared_calls.push_back({clear, {add.begin(), add.end()}, {remove.begin(), remove.end()}});
        if (clear) shared.clear();
        for (const auto& span : remove) shared.erase(span);
        for (const auto& element : add) {
            const auto lifeline = span_lifelines.lower_bound(element.span.first);
            if (lifeline != span_lifelines.end() && !(element.span.last < lifeline->first)) {
                refused_spans.push_back({element.span, lifeline->second});
            } else {
                shared[element.span] = element.timeout_seconds;
            }
        }
        state.shared_v4 = state.shared_v6 = 0;
        for (const auto& [span, seconds] : shared)
            ++(span.first.family == guard::Address::Family::V4 ? state.shared_v4 : state.shared_v6);
        log.push_back(std::string("shared ") + (clear ? "clear " : "") + "+" + std::to_string(add.size()) +
                      " -" + std::to_string(remove.size()));
        return true;
    }
    std::vector<guard::RefusedSpan> TakeRefusedSpans() override { return std::exchange(refused_spans, {}); }
    // Handed over once by TakeBaitSocket (the caller owns it then); kNoNativeSocket for none.
    platform::NativeSocket bait = platform::kNoNativeSocket;
    platform::NativeSocket TakeBaitSocket() override {
        const platform::NativeSocket fd = bait;
        bait = platform::kNoNativeSocket;
        return fd;
    }
};

}  // namespace velmor::test
