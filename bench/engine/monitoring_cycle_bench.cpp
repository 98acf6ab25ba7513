// The monitoring tick against the bare netlink dump: a quiet tick (nothing changed, the gate keeps the
// table closed) and a full pass in which every one of N remote addresses is new and gets a rule file.
//
// Needs root: it makes its own network namespaces (bench_network.h) with 1,000 client addresses on
// the remote end, 500 IPv4 and 500 IPv6, each holding one idle connection to the dual-stack local
// port 8080 (so every new address is filed as allowed and nothing is torn down).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_host.h"
#include "bench_network.h"
#include "velmor/common/clock.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_counters.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace {

using namespace velmor;

constexpr int kConnections = 1000;

bench::BenchScene scene;

// Time stands still, so the safety net never opens the gate: every tick after the first is quiet.
class FrozenClock final : public Clock {
public:
    LocalDate Today() const override { return system_.Today(); }
    std::chrono::steady_clock::time_point Now() const override { return now_; }

private:
    SystemClock system_;
    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
};

// Everything a cycle needs, in a program folder of its own.
struct Monitor {
    // Without the gate (`gated` false) every tick reads the table.
    explicit Monitor(const Clock& clock, bool gated = true)
        : folder(MakeFolder()),
          counters(gated ? platform::MakeSystemSocketCounters() : nullptr),
          store(folder),
          address_list(engine::watch_ip::kColumns, engine::watch_ip::kAddress),
          port_list(engine::watch_port::kColumns, engine::watch_port::kPort),
          cycle(*table, counters.get(), store, address_list, port_list, host, dialogs, clock, random) {}
    ~Monitor() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    static std::filesystem::path MakeFolder() {
        // On tmpfs: ext4 slows down creating files where many were just deleted (it scans for recently
        // freed inodes), which would measure this benchmark's own clean-up rather than the pass.
        const char* base = std::getenv("VELMOR_BENCH_FOLDER");
        std::string pattern =
            (std::filesystem::path(base != nullptr ? base : "/dev/shm") / "velmor-bench-XXXXXX").string();
        const std::filesystem::path folder = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(folder / "invader");
        return folder;
    }

    std::filesystem::path folder;
    std::unique_ptr<platform::ConnectionTable> table = platform::MakeSystemConnectionTable();
    std::unique_ptr<platform::SocketCounterSource> counters;
    rules::RuleStore store;
    rules::ListModel address_list;
    rules::ListModel port_list;
    bench::QuietHost host;
    bench::YesDialogs dialogs;
    engine::DefaultRandomSource random;
    engine::MonitoringCycle cycle;
};

void BM_BareDump(benchmark::State& state) {
    bench::BareDump dump;
    std::size_t rows = 0;
    for (auto _ : state) benchmark::DoNotOptimize(rows = dump.Messages());
    state.counters["rows"] = static_cast<double>(rows);
}

void BM_QuietTick(benchmark::State& state) {
    FrozenClock clock;
    Monitor monitor(clock);
    monitor.cycle.TimerGetTable_Timer();  // the first tick reads the table and files everything
    const auto dumps_before = monitor.cycle.GetStats().dumps;
    for (auto _ : state) monitor.cycle.TimerGetTable_Timer();
    state.counters["dumps"] = static_cast<double>(monitor.cycle.GetStats().dumps - dumps_before);
}

// A tick that reads the table and finds the same set of rows: the read, the row-set fingerprint
// (no full pass follows) and the automatic-blocking scan. What every tick costs when the gate opens
// on a counter that moved without changing the table.
void BM_SteadyReadTick(benchmark::State& state) {
    FrozenClock clock;
    Monitor monitor(clock, false);
    monitor.cycle.TimerGetTable_Timer();
    const auto passes_before = monitor.cycle.GetStats().full_passes;
    for (auto _ : state) monitor.cycle.TimerGetTable_Timer();
    state.counters["full_passes"] = static_cast<double>(monitor.cycle.GetStats().full_passes - passes_before);
    state.counters["rows"] = monitor.cycle.LastTcpCount();
}

void BM_FullPass(benchmark::State& state) {
    SystemClock clock;
    std::uint64_t passes = 0;
    int rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            auto monitor = std::make_unique<Monitor>(clock);
            state.ResumeTiming();
            monitor->cycle.TimerGetTable_Timer();
            state.PauseTiming();
            passes += monitor->cycle.GetStats().full_passes;
            rows = monitor->cycle.LastTcpCount();
        }
        state.ResumeTiming();
    }
    state.counters["passes"] = static_cast<double>(passes);
    state.counters["rows"] = rows;
}

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            real_[run.run_name.function_name] = run.GetAdjustedRealTime();
            cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }
    void PrintRatios() const {
        if (!real_.count("BM_BareDump") || !real_.count("BM_QuietTick") || !real_.count("BM_FullPass") ||
            !real_.count("BM_SteadyReadTick"))
            return;
        const double bare = real_.at("BM_BareDump");
        const double bare_cpu = cpu_.at("BM_BareDump");
        std::printf("\nAgainst the bare dump of this run (%d connections, median; real / CPU):\n",
                    kConnections);
        std::printf("  bare dump %.1f us / %.1f us\n", bare, bare_cpu);
        std::printf("  quiet tick %.2f us / %.2f us = %.4fx / %.4fx of the bare dump\n",
                    real_.at("BM_QuietTick"), cpu_.at("BM_QuietTick"), real_.at("BM_QuietTick") / bare,
                    cpu_.at("BM_QuietTick") / bare_cpu);
        std::printf("  steady read tick %.1f us / %.1f us = %.3fx / %.3fx of the bare dump\n",
                    real_.at("BM_SteadyReadTick"), cpu_.at("BM_SteadyReadTick"),
                    real_.at("BM_SteadyReadTick") / bare, cpu_.at("BM_SteadyReadTick") / bare_cpu);
        std::printf("  full pass %.1f us / %.1f us; beyond the dump %.2f us / %.2f us per row\n",
                    real_.at("BM_FullPass"), cpu_.at("BM_FullPass"),
                    (real_.at("BM_FullPass") - bare) / kConnections,
                    (cpu_.at("BM_FullPass") - bare_cpu) / kConnections);
    }

private:
    std::map<std::string, double> real_;
    std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!scene.Make(8080, true, kConnections / 2)) return 1;
    if (!scene.ConnectBothFamilies(kConnections, true)) {
        std::fprintf(stderr, "cannot open the benchmark's connections\n");
        return 1;
    }

    const auto configure = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
    };
    configure(benchmark::RegisterBenchmark("BM_BareDump", &BM_BareDump));
    configure(benchmark::RegisterBenchmark("BM_QuietTick", &BM_QuietTick));
    configure(benchmark::RegisterBenchmark("BM_SteadyReadTick", &BM_SteadyReadTick));
    configure(benchmark::RegisterBenchmark("BM_FullPass", &BM_FullPass)->Iterations(10));

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
