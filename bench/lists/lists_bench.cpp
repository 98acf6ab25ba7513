// Parsing a block list of 100,000 lines against splitting the same text into lines; merging a
// startup of 100,000 shared decisions (and taking the guard's first change) against sorting the
// same ranges; a change of 1,000 decisions among 100,000 held against the same sort of all ranges,
// the least a rebuild from scratch would cost. Each ratio compares times taken in the same run.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/lists/block_list.h"
#include "velmor/lists/shared_decisions.h"

namespace {

using namespace velmor;
using Clock = std::chrono::steady_clock;
using std::chrono::system_clock;

constexpr int kHeld = 100'000;

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Addresses spread over many /16s, one range in fifty, about a tenth IPv6; the mix of a fleet's
// startup stream with a community list in it.
std::string DecisionText(std::uint32_t i) {
    if (i % 10 == 9) return "2001:db8:" + std::to_string(i % 5000) + "::" + std::to_string(i / 5000 + 1);
    const std::uint32_t a = 0x0b000000u + i * 2654435761u % 0x50000000u;
    std::string text = std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
                       std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
    if (i % 50 == 0) text += "/24";
    return text;
}

std::vector<lists::SharedDecision> Decisions(std::uint32_t from, std::uint32_t count,
                                             system_clock::time_point now) {
    std::vector<lists::SharedDecision> decisions;
    decisions.reserve(count);
    for (std::uint32_t i = from; i < from + count; ++i) {
        std::optional<system_clock::time_point> expires;
        if (i % 4 != 0) expires = now + std::chrono::hours(1 + i % 300);
        decisions.push_back({*platform::ParseAddressRange(DecisionText(i)), "crowdsec", "CAPI", "", expires});
    }
    return decisions;
}

double SortRanges(const std::vector<lists::SharedDecision>& decisions) {
    const auto start = Clock::now();
    std::vector<platform::AddressRange> ranges;
    ranges.reserve(decisions.size());
    for (const auto& decision : decisions) ranges.push_back(decision.range);
    std::sort(ranges.begin(), ranges.end());
    benchmark::DoNotOptimize(ranges.data());
    return Milliseconds(Clock::now() - start);
}

void BM_ParseBlockList(benchmark::State& state) {
    std::string text = "# a published list\n";
    for (std::uint32_t i = 0; i < kHeld; ++i)
        text += DecisionText(i) + (i % 7 == 0 ? "  # note\r\n" : "\r\n");
    double parse_ms = 0, split_ms = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const lists::ParsedList list = lists::ParseBlockList(text);
        const auto parsed = Clock::now();
        std::size_t lines = 0;
        for (std::string_view rest = text; !rest.empty();) {
            const auto end = rest.find('\n');
            benchmark::DoNotOptimize(rest.substr(0, end));
            ++lines;
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        }
        const auto split = Clock::now();
        if (list.ranges.size() != kHeld || lines != kHeld + 1) state.SkipWithError("lines lost");
        parse_ms += Milliseconds(parsed - start);
        split_ms += Milliseconds(split - parsed);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["parse_ms"] = parse_ms / runs;
    state.counters["split_ms"] = split_ms / runs;
    state.counters["vs_split"] = parse_ms / split_ms;
}

void BM_StartupOf100k(benchmark::State& state) {
    const rules::Exemptions exemptions;
    const auto now = system_clock::now();
    const auto decisions = Decisions(0, kHeld, now);
    double merge_ms = 0, sort_ms = 0;
    std::size_t spans = 0;
    double held_mb = 0;
    for (auto _ : state) {
        const std::size_t before = ::mallinfo2().uordblks;
        lists::SharedDecisions shared(exemptions, nullptr);
        auto copy = decisions;
        const auto start = Clock::now();
        shared.ReplaceSource("crowdsec", std::move(copy));
        auto change = shared.TakeGuardChange(now);
        merge_ms += Milliseconds(Clock::now() - start);
        spans = change.add.size();
        change = {};
        held_mb = static_cast<double>(::mallinfo2().uordblks - before) / (1024.0 * 1024.0);
        sort_ms += SortRanges(decisions);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["merge_ms"] = merge_ms / runs;
    state.counters["sort_ms"] = sort_ms / runs;
    state.counters["vs_sort"] = merge_ms / sort_ms;
    state.counters["spans"] = static_cast<double>(spans);
    state.counters["held_mb"] = held_mb;  // the merged set's heap, the decisions' own texts included
}

void BM_ChangeOf1000Among100k(benchmark::State& state) {
    const rules::Exemptions exemptions;
    const auto now = system_clock::now();
    const auto decisions = Decisions(0, kHeld, now);
    lists::SharedDecisions shared(exemptions, nullptr);
    shared.ReplaceSource("crowdsec", decisions);
    (void)shared.TakeGuardChange(now);
    std::mt19937 random(1);
    std::uint32_t next = kHeld;
    double change_ms = 0, sort_ms = 0;
    std::size_t sent = 0;
    for (auto _ : state) {
        // 500 new decisions and 500 of those held deleted, as one poll of the stream brings them.
        auto added = Decisions(next, 500, now);
        next += 500;
        std::vector<platform::AddressRange> removed;
        for (int i = 0; i < 500; ++i) removed.push_back(decisions[random() % decisions.size()].range);
        const auto start = Clock::now();
        shared.Add(std::move(added));
        shared.Remove("crowdsec", removed);
        const auto change = shared.TakeGuardChange(now);
        change_ms += Milliseconds(Clock::now() - start);
        sent += change.add.size() + change.remove.size();
        sort_ms += SortRanges(decisions);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["change_ms"] = change_ms / runs;
    state.counters["sort_all_ms"] = sort_ms / runs;
    state.counters["vs_sort_all"] = change_ms / sort_ms;
    state.counters["elements_sent"] = static_cast<double>(sent) / runs;
}

void BM_AllowedRuleAmong100k(benchmark::State& state) {
    const rules::Exemptions exemptions;
    const auto now = system_clock::now();
    const auto decisions = Decisions(0, kHeld, now);
    lists::SharedDecisions shared(exemptions, nullptr);
    shared.ReplaceSource("crowdsec", decisions);
    (void)shared.TakeGuardChange(now);
    std::vector<platform::IpAddress> allowed;
    double allow_ms = 0, sort_ms = 0;
    std::uint32_t i = 0;
    for (auto _ : state) {
        // The user allows one more address that a held range covers.
        allowed.push_back(decisions[50 * (i++ % 2000)].range.address);
        const auto start = Clock::now();
        shared.SetAllowedAddresses(allowed);
        const auto change = shared.TakeGuardChange(now);
        allow_ms += Milliseconds(Clock::now() - start);
        if (change.remove.empty()) state.SkipWithError("the allowed address was not cut out");
        sort_ms += SortRanges(decisions);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["allow_ms"] = allow_ms / runs;
    state.counters["sort_all_ms"] = sort_ms / runs;
    state.counters["vs_sort_all"] = allow_ms / sort_ms;
}

BENCHMARK(BM_ParseBlockList)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupOf100k)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChangeOf1000Among100k)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AllowedRuleAmong100k)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
