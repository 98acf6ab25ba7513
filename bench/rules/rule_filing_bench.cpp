// Filing one new address the way a monitoring pass does (is there a blocked rule, an allowed one,
// write the new rule, bring the blocked index up to date) with 0, 1,000 and 10,000 rule files in
// the folder. The time per filing is reported against one lstat of a rule file's name measured in
// the same run and folder (vs_lstat: how many lstat calls one filing costs); a filing that does
// not depend on the folder's size keeps the same ratio at every size.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "velmor/rules/rule_store.h"

namespace {

using velmor::rules::RuleStore;
using velmor::rules::Verdict;

// On tmpfs, as the monitoring benchmarks: ext4's cost of making files where many were just deleted
// would measure the benchmark's own clean-up.
std::filesystem::path MakeProgramFolder() {
    const char* base = std::getenv("VELMOR_BENCH_FOLDER");
    std::string pattern =
        (std::filesystem::path(base != nullptr ? base : "/dev/shm") / "velmor-rules-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    const std::filesystem::path folder = pattern;
    std::filesystem::create_directories(folder / "invader");
    return folder;
}

std::string Ipv4Of(int i) {
    return "10.77." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1);
}

std::string Ipv6Of(int i) {
    char text[48];
    std::snprintf(text, sizeof text, "fd00:77::%x:%x", i / 65536 + 1, i % 65536);
    return text;
}

struct Folder {
    explicit Folder(int files) : program(MakeProgramFolder()), store(program) {
        // Half IPv4, half IPv6, three of four blocked: the mix of a folder that has seen floods.
        for (int i = 0; i < files; ++i) {
            const std::string address = i % 2 == 0 ? Ipv4Of(i) : Ipv6Of(i);
            const Verdict verdict = i % 4 == 3 ? Verdict::Allowed : Verdict::Blocked;
            std::ofstream(store.FileOf(address, verdict)) << "1|" << address << "|\r\n";
        }
        probe = store.FileOf(files > 0 ? Ipv4Of(0) : "probe", Verdict::Blocked);
        if (files == 0) std::ofstream(probe) << "x\r\n";
        store.RefreshBlockedIndex();
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(program, ignored);
    }
    std::filesystem::path program;
    RuleStore store;
    std::filesystem::path probe;
};

// One new address filed as an intruder, as MonitoringCycle::FileNewAddress and the pass after it.
void FileIntruder(RuleStore& store, const std::string& address) {
    const bool blocked = store.Exists(address, Verdict::Blocked);
    const bool allowed = store.Exists(address, Verdict::Allowed);
    if (!blocked && !allowed && !store.Write(address, Verdict::Blocked, "80|" + address + "|")) std::abort();
    store.RefreshBlockedIndex(false);
    benchmark::DoNotOptimize(store.BlockedGeneration());
}

template <typename AddressOf>
void RunFiling(benchmark::State& state, AddressOf address_of) {
    using Clock = std::chrono::steady_clock;
    const int files = static_cast<int>(state.range(0));
    Folder folder(files);
    if (folder.program.empty()) {
        state.SkipWithError("cannot make the rule folder");
        return;
    }
    Clock::duration filing{};
    Clock::duration lstat_time{};
    int next = files + 1;
    for (auto _ : state) {
        const std::string address = address_of(next++);
        const auto start = Clock::now();
        FileIntruder(folder.store, address);
        const auto filed = Clock::now();
        struct stat info {};
        benchmark::DoNotOptimize(::lstat(folder.probe.c_str(), &info));
        const auto stated = Clock::now();
        filing += filed - start;
        lstat_time += stated - filed;
        state.SetIterationTime(std::chrono::duration<double>(filed - start).count());

        // The folder keeps its size: the new file goes again, and the store hears of it untimed.
        state.PauseTiming();
        ::unlink(folder.store.FileOf(address, Verdict::Blocked).c_str());
        folder.store.RefreshBlockedIndex(false);
        if (folder.store.IsIndexedBlocked(address)) state.SkipWithError("the index kept a deleted rule");
        state.ResumeTiming();
    }
    const double runs = static_cast<double>(state.iterations());
    const double filing_us = std::chrono::duration<double, std::micro>(filing).count() / runs;
    const double lstat_us = std::chrono::duration<double, std::micro>(lstat_time).count() / runs;
    state.counters["filing_us"] = filing_us;
    state.counters["lstat_us"] = lstat_us;
    state.counters["vs_lstat"] = filing_us / lstat_us;
}

void BM_FileNewIpv4(benchmark::State& state) {
    RunFiling(state, Ipv4Of);
}
void BM_FileNewIpv6(benchmark::State& state) {
    RunFiling(state, Ipv6Of);
}

// Rule folders of 0, 1,000 and 10,000 files.
void FolderSizes(benchmark::internal::Benchmark* bench) {
    bench->Arg(0)->Arg(1'000)->Arg(10'000)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_FileNewIpv4)->Apply(FolderSizes);
BENCHMARK(BM_FileNewIpv6)->Apply(FolderSizes);

}  // namespace

BENCHMARK_MAIN();
