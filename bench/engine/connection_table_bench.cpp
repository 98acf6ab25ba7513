// The cost of reading the TCP table, against a bare netlink dump written here, and against reading
// /proc/net/tcp as other tools do; and the cost of reading the socket counters of the change gate.
//
// Needs root: it makes two network namespaces joined by a veth pair ("local" holds a listener and
// the accepted side of N connections, "remote" the connecting side), runs every measurement inside
// "local", and removes both at the end. Ratios against the bare dump of the same run are printed
// after the table.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_network.h"
#include "velmor/engine/module_tcp_table.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_counters.h"

namespace {

using velmor::platform::ConnectionTable;
using velmor::platform::SocketCounters;
using velmor::platform::TcpRow;
using velmor::platform::TcpTable;

// The connections of the scene: the connecting side lives in "remote", the accepted side stays in
// the dual-stack listener's queue in "local" (established rows all the same). Half of them are
// IPv4, half IPv6, so the reader parses, sorts and hands over rows of both families.
velmor::bench::BenchScene scene;

using velmor::bench::BareDump;

// What netstat-like tools do: read /proc/net/tcp and tcp6 and parse every line into a row.
std::size_t ReadProcNetTcp(std::vector<TcpRow>& rows, std::vector<char>& buffer) {
    rows.clear();
    for (const char* path : {"/proc/thread-self/net/tcp", "/proc/thread-self/net/tcp6"}) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        std::size_t length = 0;
        while (true) {
            if (buffer.size() - length < 65536) buffer.resize(buffer.size() * 2 + 65536);
            const ssize_t got = ::read(fd, buffer.data() + length, buffer.size() - length);
            if (got <= 0) break;
            length += static_cast<std::size_t>(got);
        }
        ::close(fd);
        const bool v6 = std::strstr(path, "tcp6") != nullptr;
        const char* cursor = static_cast<const char*>(std::memchr(buffer.data(), '\n', length));
        const char* end = buffer.data() + length;
        while (cursor != nullptr && cursor + 1 < end) {
            ++cursor;
            // "  sl  local_address rem_address   st ..." with hex fields: ADDR:PORT ADDR:PORT ST
            unsigned local[4] = {};
            unsigned remote[4] = {};
            unsigned local_port = 0;
            unsigned remote_port = 0;
            unsigned state = 0;
            int matched = 0;
            if (v6) {
                matched = std::sscanf(cursor, "%*d: %8x%8x%8x%8x:%x %8x%8x%8x%8x:%x %x", &local[0], &local[1],
                                      &local[2], &local[3], &local_port, &remote[0], &remote[1], &remote[2],
                                      &remote[3], &remote_port, &state) == 11
                              ? 1
                              : 0;
                // Mapped rows are IPv4 rows; the others become IPv6 rows, as the reader makes them.
                if (matched && !(local[0] == 0 && local[1] == 0 && local[2] == htonl(0xFFFF))) matched = 2;
            } else {
                matched = std::sscanf(cursor, "%*d: %8x:%x %8x:%x %x", &local[3], &local_port, &remote[3],
                                      &remote_port, &state) == 5;
            }
            if (matched == 1) {
                rows.push_back(TcpRow{state, local[3], htons(static_cast<std::uint16_t>(local_port)),
                                      remote[3], htons(static_cast<std::uint16_t>(remote_port))});
            } else if (matched == 2) {
                TcpRow row{state, 0, htons(static_cast<std::uint16_t>(local_port)), 0,
                           htons(static_cast<std::uint16_t>(remote_port))};
                row.family = velmor::platform::AddressFamily::kIpv6;
                std::memcpy(row.dwLocalAddr6, local, sizeof row.dwLocalAddr6);
                std::memcpy(row.dwRemoteAddr6, remote, sizeof row.dwRemoteAddr6);
                rows.push_back(row);
            }
            cursor =
                static_cast<const char*>(std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
        }
    }
    return rows.size();
}

void SetUp(benchmark::State& state) {
    if (!scene.ConnectBothFamilies(static_cast<std::size_t>(state.range(0))))
        state.SkipWithError("cannot open connections");
}

void BM_BareDump(benchmark::State& state) {
    SetUp(state);
    BareDump dump(BareDump::Kind::kSingleWalk);
    std::size_t messages = 0;
    for (auto _ : state) benchmark::DoNotOptimize(messages = dump.Messages());
    state.counters["rows"] = static_cast<double>(messages);
}

void BM_BareDumpPerFamily(benchmark::State& state) {
    SetUp(state);
    BareDump dump(BareDump::Kind::kPerFamily);
    std::size_t messages = 0;
    for (auto _ : state) benchmark::DoNotOptimize(messages = dump.Messages());
    state.counters["rows"] = static_cast<double>(messages);
}

void BM_ReadTcp(benchmark::State& state) {
    SetUp(state);
    auto connections = velmor::platform::MakeSystemConnectionTable();
    TcpTable table;
    for (auto _ : state) {
        connections->ReadTcp(table);
        benchmark::DoNotOptimize(table.rows.data());
    }
    state.counters["rows"] = table.dwNumEntries;
}

// The same read without each socket's TCP info (no byte counts): what asking for them costs.
void BM_ReadTcpWithoutCounts(benchmark::State& state) {
    SetUp(state);
    auto connections = velmor::platform::MakeSystemConnectionTable();
    connections->SetByteCounts(false);
    TcpTable table;
    for (auto _ : state) {
        connections->ReadTcp(table);
        benchmark::DoNotOptimize(table.rows.data());
    }
    state.counters["rows"] = table.dwNumEntries;
}

// The read as the monitoring tick uses it: the table, then the fingerprint of its row set that
// decides whether a full pass runs.
void BM_ReadTcpFingerprint(benchmark::State& state) {
    SetUp(state);
    auto connections = velmor::platform::MakeSystemConnectionTable();
    TcpTable table;
    std::uint64_t fingerprint = 0;
    for (auto _ : state) {
        connections->ReadTcp(table);
        benchmark::DoNotOptimize(fingerprint = velmor::engine::RowSetFingerprint(table, 0x5eed));
    }
    state.counters["rows"] = table.dwNumEntries;
}

void BM_ProcNetTcp(benchmark::State& state) {
    SetUp(state);
    std::vector<TcpRow> rows;
    std::vector<char> buffer;
    std::size_t count = 0;
    for (auto _ : state) benchmark::DoNotOptimize(count = ReadProcNetTcp(rows, buffer));
    state.counters["rows"] = static_cast<double>(count);
}

void BM_SocketCounters(benchmark::State& state) {
    auto counters = velmor::platform::MakeSystemSocketCounters();
    SocketCounters value;
    for (auto _ : state) benchmark::DoNotOptimize(counters->Read(value));
}

// All three files on every read, as with a zero refresh interval for the open counters.
void BM_SocketCountersAllFiles(benchmark::State& state) {
    auto counters = velmor::platform::MakeSystemSocketCounters(std::chrono::milliseconds(0));
    SocketCounters value;
    for (auto _ : state) benchmark::DoNotOptimize(counters->Read(value));
}

void BM_ReadUdp(benchmark::State& state) {
    auto connections = velmor::platform::MakeSystemConnectionTable();
    velmor::platform::UdpTable table;
    for (auto _ : state) benchmark::DoNotOptimize(connections->ReadUdp(table));
}

// Collects the medians so that the ratios can be printed after the usual table.
class RatioReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;
            const std::string n = run.run_name.args;
            cpu_[name][n] = run.GetAdjustedCPUTime();
            real_[name][n] = run.GetAdjustedRealTime();
        }
    }

    void PrintRatios() const {
        std::printf(
            "\nRatios against the bare dump of this run (median of the repetitions; real time / CPU "
            "time):\n");
        if (!real_.count("BM_BareDump")) return;
        for (const auto& [n, base_real] : real_.at("BM_BareDump")) {
            const double base_cpu = cpu_.at("BM_BareDump").at(n);
            std::printf("  N=%-6s bare dump %.3f ms real, %.3f ms CPU", n.c_str(), base_real / 1e3,
                        base_cpu / 1e3);
            for (const char* other : {"BM_ReadTcp", "BM_ReadTcpWithoutCounts", "BM_ReadTcpFingerprint",
                                      "BM_BareDumpPerFamily", "BM_ProcNetTcp"}) {
                if (!real_.count(other) || !real_.at(other).count(n)) continue;
                std::printf(" | %s %.2fx / %.2fx", other + 3, real_.at(other).at(n) / base_real,
                            cpu_.at(other).at(n) / base_cpu);
            }
            std::printf("\n");
        }
        if (!real_.count("BM_ReadTcp") || !real_.count("BM_ReadTcpWithoutCounts")) return;
        std::printf("\nThe read with byte counts against the read without them (real time / CPU time):\n");
        for (const auto& [n, without] : real_.at("BM_ReadTcpWithoutCounts")) {
            if (!real_.at("BM_ReadTcp").count(n)) continue;
            std::printf("  N=%-6s %.2fx / %.2fx\n", n.c_str(), real_.at("BM_ReadTcp").at(n) / without,
                        cpu_.at("BM_ReadTcp").at(n) / cpu_.at("BM_ReadTcpWithoutCounts").at(n));
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> cpu_;
    std::map<std::string, std::map<std::string, double>> real_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!scene.Make(80, true)) return 1;

    // Each size is measured in turn, baseline first, so that all three see the same table.
    for (const int n : {100, 1000, 10000}) {
        for (auto [name, function] :
             {std::pair{"BM_BareDump", &BM_BareDump}, std::pair{"BM_ReadTcp", &BM_ReadTcp},
              std::pair{"BM_ReadTcpWithoutCounts", &BM_ReadTcpWithoutCounts},
              std::pair{"BM_ReadTcpFingerprint", &BM_ReadTcpFingerprint},
              std::pair{"BM_BareDumpPerFamily", &BM_BareDumpPerFamily},
              std::pair{"BM_ProcNetTcp", &BM_ProcNetTcp}}) {
            benchmark::RegisterBenchmark(name, function)
                ->Arg(n)
                ->Unit(benchmark::kMicrosecond)
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
        }
    }
    benchmark::RegisterBenchmark("BM_SocketCounters", &BM_SocketCounters)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("BM_SocketCountersAllFiles", &BM_SocketCountersAllFiles)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("BM_ReadUdp", &BM_ReadUdp)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
