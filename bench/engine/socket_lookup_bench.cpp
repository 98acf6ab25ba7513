// One socket asked for by its exact id against a read of the whole TCP table, in the same run and
// on the same table. An event names the socket it is about, so a new intruder can be checked with
// one lookup instead of a dump.
//
// Needs root: it makes two network namespaces joined by a veth pair ("local" holds a listener and
// the accepted side of N connections, "remote" the connecting side), runs every measurement inside
// "local", and removes both at the end. Ratios are printed after the table.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_network.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_lookup.h"

namespace {

using velmor::platform::SocketId;
using velmor::platform::TcpTable;

velmor::bench::BenchScene scene;

bool SetUp(benchmark::State& state) {
    if (!scene.Connect(static_cast<std::size_t>(state.range(0)))) {
        state.SkipWithError("cannot open the connections");
        return false;
    }
    return true;
}

// The id of one accepted connection, as the table (or an event) names it.
bool SomeConnection(SocketId& id) {
    auto connections = velmor::platform::MakeSystemConnectionTable();
    TcpTable table;
    if (!connections->ReadTcp(table)) return false;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        if (table.rows[i].dwRemoteAddr != 0) {
            id = table.ids[i];
            return true;
        }
    }
    return false;
}

void BM_ReadTcp(benchmark::State& state) {
    if (!SetUp(state)) return;
    auto connections = velmor::platform::MakeSystemConnectionTable();
    TcpTable table;
    for (auto _ : state) {
        connections->ReadTcp(table);
        benchmark::DoNotOptimize(table.rows.data());
    }
    state.counters["rows"] = table.dwNumEntries;
}

void BM_SocketLookup(benchmark::State& state) {
    if (!SetUp(state)) return;
    SocketId id;
    if (!SomeConnection(id)) {
        state.SkipWithError("no connection in the table");
        return;
    }
    velmor::platform::SocketLookup lookup;
    velmor::platform::SocketRow row;
    for (auto _ : state) {
        if (lookup.Find(id, row) != velmor::platform::SocketLookupStatus::kFound) {
            state.SkipWithError("the connection was not found");
            return;
        }
        benchmark::DoNotOptimize(row);
    }
}

// The answer "gone" costs the same hash lookup, without a row to build.
void BM_SocketLookupGone(benchmark::State& state) {
    if (!SetUp(state)) return;
    SocketId id;
    if (!SomeConnection(id)) {
        state.SkipWithError("no connection in the table");
        return;
    }
    id.cookie[0] ^= 1;
    velmor::platform::SocketLookup lookup;
    velmor::platform::SocketRow row;
    for (auto _ : state) {
        if (lookup.Find(id, row) != velmor::platform::SocketLookupStatus::kGone) {
            state.SkipWithError("a socket with another cookie was found");
            return;
        }
    }
}

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            real_[run.run_name.function_name][run.run_name.args] = run.GetAdjustedRealTime();
            cpu_[run.run_name.function_name][run.run_name.args] = run.GetAdjustedCPUTime();
        }
    }

    void PrintRatios() const {
        std::printf(
            "\nWhole table read / one lookup, this run (median of the repetitions; real time, CPU time):\n");
        if (!real_.count("BM_ReadTcp") || !real_.count("BM_SocketLookup")) return;
        for (const auto& [n, table_real] : real_.at("BM_ReadTcp")) {
            if (!real_.at("BM_SocketLookup").count(n)) continue;
            const double lookup_real = real_.at("BM_SocketLookup").at(n);
            const double lookup_cpu = cpu_.at("BM_SocketLookup").at(n);
            std::printf("  N=%-6s table %.1f us, lookup %.2f us: %.1fx real, %.1fx CPU\n", n.c_str(),
                        table_real, lookup_real, table_real / lookup_real,
                        cpu_.at("BM_ReadTcp").at(n) / lookup_cpu);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> real_;
    std::map<std::string, std::map<std::string, double>> cpu_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!scene.Make(80, false)) return 1;
    // Each size in turn, so that the table read and the lookups see the same table.
    for (const int n : {1, 1000, 10000}) {
        for (auto [name, function] :
             {std::pair{"BM_ReadTcp", &BM_ReadTcp}, std::pair{"BM_SocketLookup", &BM_SocketLookup},
              std::pair{"BM_SocketLookupGone", &BM_SocketLookupGone}}) {
            benchmark::RegisterBenchmark(name, function)
                ->Arg(n)
                ->Unit(benchmark::kMicrosecond)
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
