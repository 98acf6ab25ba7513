// The lookup tick over a 99-row address list: collecting a waiting answer (read and delete the
// exchange file, fill the row, complete its rule line, start the helper for the next row), a tick
// with nothing to collect, and a tick that really starts a program. The counter starts_per_tick
// shows that a tick starts at most one helper; at one tick a second that is one start a second.
// Runs without root and without any network.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_host.h"
#include "velmor/common/text_file.h"
#include "velmor/engine/lookup_cycle.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/process.h"

namespace {

using namespace velmor;
using Clock = std::chrono::steady_clock;

constexpr int kRows = 99;

class NoTable final : public platform::ConnectionTable {
public:
    bool ReadTcp(platform::TcpTable&) override { return false; }
    bool ReadUdp(platform::UdpTable&) override { return false; }
    void Destroy(std::span<const platform::SocketId>) override {}
};

class CountingStarter final : public platform::ProgramLauncher {
public:
    std::uint64_t starts = 0;
    bool Start(const std::filesystem::path&, const std::vector<std::string>&) override {
        ++starts;
        return true;
    }
};

class HalfRandom final : public engine::RandomSource {
public:
    double Next() override { return 0.5; }
};

// CPU time of this thread, in seconds: on a busy machine the wall time of a tick says more about
// the other processes than about the tick.
double ThreadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string Address(int row) {
    return "10.0." + std::to_string(row / 200) + "." + std::to_string(row % 200 + 1);
}

// A program folder of its own with the list, the rule store and both cycles.
struct Lookup {
    explicit Lookup(platform::ProgramLauncher& starter)
        : folder(std::filesystem::temp_directory_path() /
                 ("velmor-lookup-bench-" + std::to_string(::getpid()))),
          store((std::filesystem::create_directories(folder / "invader"), folder)),
          cycle(folder, store, list, monitor, starter) {
        for (int row = 0; row < kRows; ++row) {
            const std::string address = Address(row);
            list.AddRow({address, "1", row % 2 == 0 ? "차단" : "허용", "named-" + std::to_string(row)});
            if (!store.Write(address, row % 2 == 0 ? rules::Verdict::Blocked : rules::Verdict::Allowed,
                             "1043|" + address + "|named-" + std::to_string(row)))
                std::abort();  // a benchmark over missing rules would time something else
        }
    }
    ~Lookup() {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    std::filesystem::path folder;
    rules::RuleStore store;
    rules::ListModel list{engine::watch_ip::kColumns, engine::watch_ip::kAddress};
    rules::ListModel ports{engine::watch_port::kColumns, engine::watch_port::kPort};
    NoTable table;
    bench::QuietHost host;
    bench::YesDialogs dialogs;
    SystemClock clock;
    HalfRandom random;
    engine::MonitoringCycle monitor{table, nullptr, store, list, ports, host, dialogs, clock, random};
    engine::LookupCycle cycle;
};

// The last row waits and its answer is in the exchange file; the row before it also waits, so the
// tick ends by starting a lookup for it. Only the tick is timed, not the reset between ticks.
// Argument 0: the rule line still waits for its info and is rewritten, right after it was written
// (its data not yet on disk, as for an address filed a second ago). 1: the same, but the rule file
// is on disk already. 2: the rule line has its info already and is left alone.
void BM_LookupTickCollectsAnAnswer(benchmark::State& state) {
    const auto mode = state.range(0);
    CountingStarter starter;
    Lookup lookup(starter);
    const int answered = kRows - 1;
    const std::string address = Address(answered);
    const auto verdict = answered % 2 == 0 ? rules::Verdict::Blocked : rules::Verdict::Allowed;
    lookup.list.SetCell(kRows - 2, engine::watch_ip::kInfo, "");
    const std::string rule = "1043|" + address + (mode == 2 ? "|-" : "|");
    if (!lookup.store.Write(address, verdict, rule)) {
        state.SkipWithError("cannot write the rule file");
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        lookup.list.SetCell(answered, engine::watch_ip::kInfo, "");
        if (mode != 2 && !lookup.store.Write(address, verdict, rule)) {
            state.SkipWithError("cannot write the rule file");
            break;
        }
        if (mode == 1) {
            const int fd = ::open(lookup.store.FileOf(address, verdict).c_str(), O_RDONLY);
            ::fdatasync(fd);
            ::close(fd);
        }
        if (!WriteLineFile(lookup.cycle.ExchangeFile(), address + " ==> pc-" + std::to_string(answered))) {
            state.SkipWithError("cannot write the exchange file");
            break;
        }
        const auto begin = Clock::now();
        const double cpu_begin = ThreadCpuSeconds();
        lookup.cycle.TimerGetWWW_Timer();
        cpu += ThreadCpuSeconds() - cpu_begin;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
        if (lookup.list.Cell(answered, engine::watch_ip::kInfo).empty())
            state.SkipWithError("answer not taken");
    }
    state.counters["starts_per_tick"] =
        static_cast<double>(starter.starts) / static_cast<double>(state.iterations());
    state.counters["tick_cpu_us"] = cpu * 1e6 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LookupTickCollectsAnAnswer)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Every row has its name and there is no exchange file: the steady state of a quiet list.
void BM_LookupTickNothingToDo(benchmark::State& state) {
    CountingStarter starter;
    Lookup lookup(starter);
    for (auto _ : state) lookup.cycle.TimerGetWWW_Timer();
    state.counters["starts_per_tick"] =
        static_cast<double>(starter.starts) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LookupTickNothingToDo)->Unit(benchmark::kMicrosecond);

// As the first, but the helper is really started (a stand-in that ends at once), so the figure
// includes posix_spawn; the helpers are reaped between ticks, outside the timing.
void BM_LookupTickStartsARealProgram(benchmark::State& state) {
    platform::DetachedLauncher starter;
    Lookup lookup(starter);
    std::error_code error;
    std::filesystem::copy_file("/bin/true", lookup.cycle.LookupProgram(), error);
    if (error) {
        state.SkipWithError("cannot copy /bin/true");
        return;
    }
    lookup.list.SetCell(kRows - 1, engine::watch_ip::kInfo, "");
    double cpu = 0;
    for (auto _ : state) {
        const auto begin = Clock::now();
        const double cpu_begin = ThreadCpuSeconds();
        lookup.cycle.TimerGetWWW_Timer();
        cpu += ThreadCpuSeconds() - cpu_begin;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
        while (platform::ReapDetachedChildren() > 0) ::usleep(100);
    }
    state.counters["starts_per_tick"] =
        static_cast<double>(lookup.cycle.GetStats().starts) / static_cast<double>(state.iterations());
    state.counters["tick_cpu_us"] = cpu * 1e6 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LookupTickStartsARealProgram)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
