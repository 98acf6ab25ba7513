// What knowing the machine's lifelines costs the monitoring cycle: the watch's answer on a quiet
// tick, against reading the lifelines whole (two rtnetlink dumps and the resolver files).
//
// Needs root: it makes the benchmarks' pair of network namespaces and runs inside "local" (two
// addresses per family, a default route of each family), where nothing else changes them. The ratio
// is printed after the table.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "bench_network.h"
#include "velmor/platform/lifelines.h"

namespace {

using velmor::platform::LifelineWatch;

void BM_QuietWatch(benchmark::State& state) {
    LifelineWatch watch;
    watch.Changed();  // the first call always says changed
    std::size_t changed = 0;
    for (auto _ : state) changed += watch.Changed() ? 1 : 0;
    // In a quiet namespace this stays 0 (a resolver file looked at once a second aside).
    state.counters["changed"] = static_cast<double>(changed);
}

void BM_ReadLifelines(benchmark::State& state) {
    std::size_t addresses = 0;
    for (auto _ : state) {
        const auto lifelines = velmor::platform::ReadLifelines();
        addresses = lifelines.own.size() + lifelines.gateways.size() + lifelines.resolvers.size();
        benchmark::DoNotOptimize(addresses);
    }
    state.counters["addresses"] = static_cast<double>(addresses);
}

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            real_[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    void PrintRatio() const {
        if (!real_.count("BM_QuietWatch") || !real_.count("BM_ReadLifelines")) return;
        std::printf(
            "\nA whole read / a quiet watch call, this run (median, real time): %.1f us / %.3f us = %.0fx\n",
            real_.at("BM_ReadLifelines"), real_.at("BM_QuietWatch"),
            real_.at("BM_ReadLifelines") / real_.at("BM_QuietWatch"));
    }

private:
    std::map<std::string, double> real_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    velmor::bench::BenchNetwork net;
    if (!net.Make() || !velmor::bench::BenchNetwork::Enter(net.local())) return 1;
    if (!velmor::bench::Shell("ip -n " + net.local() + " route add default via 10.78.0.2 && ip -n " +
                              net.local() + " -6 route add default via fd00:78::2"))
        return 1;
    // The automatic link-local addresses finish duplicate address detection within about two
    // seconds, and the kernel tells of it; after that the namespace is quiet.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (auto [name, function] :
         {std::pair{"BM_QuietWatch", &BM_QuietWatch}, std::pair{"BM_ReadLifelines", &BM_ReadLifelines}}) {
        benchmark::RegisterBenchmark(name, function)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    benchmark::Shutdown();
    return 0;
}
