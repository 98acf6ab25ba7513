// Column clicks and copies on lists of 10,000 rows, each reported with its ratio to a plain
// baseline measured in the same run (vs_baseline: how many times the baseline's time it takes).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "velmor/rules/list_commands.h"
#include "velmor/rules/rule_list.h"

namespace {

using velmor::rules::ListCommands;
using velmor::rules::ListModel;

constexpr int kRows = 10'000;

class NoDialogs final : public velmor::Dialogs {
public:
    void Tell(std::string_view, Icon) override {}
    bool AskYesNo(std::string_view) override { return false; }
    std::optional<std::string> AskText(std::string_view, std::string_view) override { return std::nullopt; }
};
class SinkClipboard final : public velmor::Clipboard {
public:
    void Clear() override { text.clear(); }
    void SetText(std::string_view value) override { text = value; }
    std::string text;
};
class NoBrowser final : public velmor::Browser {
public:
    bool Open(std::string_view) override { return true; }
};

struct Rows {
    std::vector<std::vector<std::string>> address_rows;
    std::vector<std::vector<std::string>> rule_rows;
};

const Rows& TestRows() {
    static const Rows rows = [] {
        Rows made;
        std::mt19937 random(7);
        std::uniform_int_distribution<int> octet(0, 255);
        std::uniform_int_distribution<int> count(1, 12'000);
        for (int i = 0; i < kRows; ++i) {
            const std::string address = "10." + std::to_string(octet(random)) + "." +
                                        std::to_string(octet(random)) + "." + std::to_string(i % 250 + 1);
            const int hits = count(random);
            const std::string count_text = hits > 10'000 ? "10000 - OVER" : std::to_string(hits);
            const std::string info = "host-" + std::to_string(octet(random)) + ".example.net";
            made.address_rows.push_back({address, count_text, i % 3 == 0 ? "차단" : "허용", info});
            made.rule_rows.push_back({address, i % 3 == 0 ? "차단" : "허용", info});
        }
        return made;
    }();
    return rows;
}

struct Lists {
    ListModel invader{velmor::rules::kRuleListColumns};
    ListModel watch_ip{4, 0};
    ListModel watch_port{2, 1};
    velmor::rules::RuleStore store{std::filesystem::temp_directory_path() / "velmor-bench-none"};
    NoDialogs dialogs;
    SinkClipboard clipboard;
    NoBrowser browser;
    ListCommands commands{store, invader, watch_ip, watch_port, dialogs, clipboard, browser};

    Lists() {
        for (const auto& row : TestRows().address_rows) watch_ip.AddRow(row);
        for (const auto& row : TestRows().rule_rows) invader.AddRow(row);
    }
};

// Runs `body` the benchmark's iterations and reports its time per run as a ratio to `baseline`.
template <typename Body, typename Baseline>
void RunWithBaseline(benchmark::State& state, Body body, Baseline baseline) {
    using Clock = std::chrono::steady_clock;
    Clock::duration spent{};
    for (auto _ : state) {
        const auto start = Clock::now();
        body();
        spent += Clock::now() - start;
    }
    // The baseline: best of a few runs, in the same process and moment.
    Clock::duration best = Clock::duration::max();
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        baseline();
        best = std::min(best, Clock::now() - start);
    }
    const double per_run =
        std::chrono::duration<double>(spent).count() / static_cast<double>(state.iterations());
    const double baseline_run = std::chrono::duration<double>(best).count();
    state.counters["ms"] = per_run * 1e3;
    state.counters["baseline_ms"] = baseline_run * 1e3;
    state.counters["vs_baseline"] = per_run / baseline_run;
}

// std::sort of the raw count texts: the least any sort of these rows can cost.
void SortRawStrings() {
    std::vector<std::string> texts;
    texts.reserve(kRows);
    for (const auto& row : TestRows().address_rows) texts.push_back(row[1]);
    std::sort(texts.begin(), texts.end());
    benchmark::DoNotOptimize(texts.data());
}

void BM_CountColumnClick(benchmark::State& state) {
    Lists lists;
    // Every click turns the direction over, so each run reverses the previous order.
    RunWithBaseline(
        state, [&] { lists.commands.ListViewWatchIP_ColumnClick(2); }, SortRawStrings);
}
BENCHMARK(BM_CountColumnClick)->Unit(benchmark::kMillisecond);

void BM_AddressColumnClick(benchmark::State& state) {
    Lists lists;
    RunWithBaseline(
        state, [&] { lists.commands.ListViewWatchIP_ColumnClick(1); }, SortRawStrings);
}
BENCHMARK(BM_AddressColumnClick)->Unit(benchmark::kMillisecond);

void BM_InfoColumnClick(benchmark::State& state) {
    Lists lists;
    RunWithBaseline(
        state, [&] { lists.commands.ListViewWatchIP_ColumnClick(4); }, SortRawStrings);
}
BENCHMARK(BM_InfoColumnClick)->Unit(benchmark::kMillisecond);

void BM_RuleListColumnClick(benchmark::State& state) {
    Lists lists;
    RunWithBaseline(
        state, [&] { lists.commands.ListViewInvaderOX_ColumnClick(3); }, SortRawStrings);
}
BENCHMARK(BM_RuleListColumnClick)->Unit(benchmark::kMillisecond);

// Joining the raw texts of the same lines: the least a copy can cost.
void JoinRawLines() {
    std::string text;
    for (const auto& row : TestRows().rule_rows)
        text.append("[ip] ").append(row[0]).append(" [info] ").append(row[2]).append("\r\n");
    benchmark::DoNotOptimize(text.data());
}

void BM_CopySelectedRules(benchmark::State& state) {
    Lists lists;
    for (int row = 0; row < lists.invader.RowCount(); ++row) lists.invader.SetSelected(row, true);
    RunWithBaseline(
        state, [&] { lists.commands.cmdInvaderOX_Click(velmor::rules::invader_button::kCopy); },
        JoinRawLines);
    if (lists.clipboard.text.empty()) state.SkipWithError("nothing was copied");
}
BENCHMARK(BM_CopySelectedRules)->Unit(benchmark::kMillisecond);

void BM_CopySelectedAddresses(benchmark::State& state) {
    Lists lists;
    for (int row = 0; row < lists.watch_ip.RowCount(); ++row) lists.watch_ip.SetSelected(row, true);
    RunWithBaseline(
        state, [&] { lists.commands.cmdClearList_Click(velmor::rules::clear_button::kCopy); }, JoinRawLines);
    if (lists.clipboard.text.empty()) state.SkipWithError("nothing was copied");
}
BENCHMARK(BM_CopySelectedAddresses)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
