// The guard's shared sets, in namespaces of the benchmark's own (root needed), each against a baseline
// of the same run:
//  - a startup replace of 100,000 elements (80,000 IPv4 and 10,000 IPv6 addresses, 5,000 IPv4 /28
//    and 5,000 IPv6 /64 ranges, all with timeouts) through velmor-guard, against the same elements
//    written by libnftables in one transaction into a table of the benchmark's own;
//  - a change of 1,000 of them (500 leave, 500 come, in that mix) against the sets holding 100,000,
//    through the guard and bare in the same way;
//  - connects a second over loopback in the guard's namespace and over the veth from the other one,
//    with 100,000 ranges in its interval sets against empty sets, in four alternating rounds.
// The guard's resident memory before and after the replace, and the ratios, follow the table.
//
// Usage: bench_shared_sets [path of velmor-guard] [benchmark flags]
//        (default: ../libexec/velmor-guard beside bench/)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../engine/bench_network.h"
#include "velmor/guard/guard_link.h"
#include "velmor/guard/guard_service.h"
#include "velmor/test/sockets.h"

namespace {

using namespace velmor;
using guard::Address;
using guard::AddressSpan;
using guard::SharedElement;

constexpr std::size_t kStartup = 100'000;
constexpr std::size_t kChange = 1'000;
constexpr std::uint16_t kPort = 31000;

struct Scene {
    std::unique_ptr<guard::GuardLink> link;
    std::unique_ptr<guard::PacketFilter> bare;  // libnftables in this namespace
    pid_t guard_pid = -1;
    std::vector<SharedElement> startup;  // held after a replace
    std::vector<SharedElement> fresh;    // never held yet
    std::vector<SharedElement> ranges;   // for the packet path
    bool full = false;                   // the guard holds `ranges`
    std::size_t turn = 0;                // the changes made so far
    int listener = -1;
    int veth_listener = -1;  // on 10.78.0.1
    std::string remote;      // the client namespace
};
Scene* scene = nullptr;

Address V4(std::uint32_t value) {
    Address a;
    for (int i = 0; i < 4; ++i)
        a.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return a;
}

Address V6(std::uint32_t prefix, std::uint32_t index, bool ones) {
    Address a;
    a.family = Address::Family::V6;
    a.bytes[0] = 0x2a;
    a.bytes[1] = 0x0b;
    for (int i = 0; i < 4; ++i) {
        a.bytes[static_cast<std::size_t>(2 + i)] = static_cast<std::uint8_t>(prefix >> (24 - 8 * i));
        a.bytes[static_cast<std::size_t>(12 + i)] = static_cast<std::uint8_t>(index >> (24 - 8 * i));
    }
    if (ones) std::fill(a.bytes.begin() + 8, a.bytes.end(), 0xff);
    return a;
}

// Element i of a pool in the mix of the header: every tenth a range (IPv4 /28 and IPv6 /64 in
// turn), every tenth from the fifth on an IPv6 address, the rest IPv4 addresses; `pool` keeps the
// pools apart (11.x, 12.x ... and 2a0b:<pool>...).
SharedElement Element(std::uint32_t pool, std::uint32_t i) {
    const std::uint32_t v4 = ((10u + pool) << 24) + i * 16;
    AddressSpan span{V4(v4), V4(v4)};
    if (i % 20 == 0) span.last = V4(v4 + 15);
    if (i % 20 == 10) span = {V6(pool << 24 | i, 0, false), V6(pool << 24 | i, 0, true)};
    if (i % 10 == 5) span.first = span.last = V6(pool << 24, i, false);
    return {span, 86'400};
}

std::vector<SharedElement> Pool(std::uint32_t pool, std::size_t count) {
    std::vector<SharedElement> elements;
    for (std::uint32_t i = 0; i < count; ++i) elements.push_back(Element(pool, i));
    return elements;
}

std::string SetOf(const AddressSpan& span) {
    const bool v4 = span.first.family == Address::Family::V4;
    if (span.first == span.last) return v4 ? "b4" : "b6";
    return v4 ? "b4r" : "b6r";
}

// What the baseline writes: the same elements into the four sets of "inet velmor_bench" (made as
// the guard makes its own), one line per set and verb.
std::string BareScript(bool flush, const std::vector<SharedElement>& add,
                       const std::vector<AddressSpan>& remove) {
    std::map<std::string, std::string> adds, deletes;
    for (const auto& span : remove) {
        auto& line = deletes[SetOf(span)];
        line += (line.empty() ? "" : ", ") + guard::FormatSpan(span);
    }
    for (const auto& element : add) {
        auto& line = adds[SetOf(element.span)];
        line += (line.empty() ? "" : ", ") + guard::FormatSpan(element.span) + " timeout " +
                std::to_string(element.timeout_seconds) + "s";
    }
    std::string script;
    if (flush) {
        for (const char* set : {"b4", "b6", "b4r", "b6r"})
            script += std::string("flush set inet velmor_bench ") + set + "\n";
    }
    for (const auto& [set, line] : deletes)
        script += "delete element inet velmor_bench " + set + " { " + line + " }\n";
    for (const auto& [set, line] : adds)
        script += "add element inet velmor_bench " + set + " { " + line + " }\n";
    return script;
}

void Fail(benchmark::State& state, const char* what) {
    state.SkipWithError(what);
}

void BM_StartupReplace_Guard(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        // Velmor starts against a guard whose sets its last session emptied.
        if (!scene->link->UpdateShared(true, {}, {})) return Fail(state, "the guard refused to empty");
        scene->full = false;
        state.ResumeTiming();
        if (!scene->link->UpdateShared(true, scene->startup, {})) return Fail(state, "the guard refused");
    }
    state.counters["elements"] = static_cast<double>(scene->startup.size());
}

void BM_StartupReplace_BareNft(benchmark::State& state) {
    const std::string script = BareScript(true, scene->startup, {});
    // Only the baseline's sets are full: nft reads every interval set of the namespace for a change.
    scene->link->UpdateShared(true, {}, {});
    for (auto _ : state) {
        state.PauseTiming();
        scene->bare->Run(BareScript(true, {}, {}));
        state.ResumeTiming();
        if (!scene->bare->Run(script)) return Fail(state, "nft refused the baseline");
    }
    scene->bare->Run(BareScript(true, {}, {}));
}

// The next change: 500 of the fresh pool come, 500 held elements leave: in their mix, or with
// `singles_leave` single addresses only.
void NextChange(bool singles_leave, std::vector<SharedElement>& add, std::vector<AddressSpan>& remove) {
    const std::size_t half = kChange / 2, at = scene->turn++ * half;
    for (std::size_t i = at; i < at + half; ++i) add.push_back(scene->fresh[i % scene->fresh.size()]);
    for (std::size_t i = at; remove.size() < half; ++i) {
        const AddressSpan& span = scene->startup[i % scene->startup.size()].span;
        if (!singles_leave || span.first == span.last) remove.push_back(span);
    }
}

void BM_Change1000_Guard(benchmark::State& state) {
    // Set-up outside the loop is not timed.
    if (!scene->link->UpdateShared(true, scene->startup, {})) return Fail(state, "the guard refused");
    scene->full = false;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<SharedElement> add;
        std::vector<AddressSpan> remove;
        NextChange(state.range(0) != 0, add, remove);
        state.ResumeTiming();
        if (!scene->link->UpdateShared(false, add, remove)) return Fail(state, "the guard refused");
        state.PauseTiming();
        // Back as they were, so that every change meets the same sets.
        std::vector<SharedElement> back;
        for (const auto& span : remove) back.push_back({span, 86'400});
        std::vector<AddressSpan> away;
        for (const auto& element : add) away.push_back(element.span);
        scene->link->UpdateShared(false, back, away);
        state.ResumeTiming();
    }
}

void BM_Change1000_BareNft(benchmark::State& state) {
    scene->bare->Run(BareScript(true, scene->startup, {}));
    scene->link->UpdateShared(true, {}, {});
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<SharedElement> add;
        std::vector<AddressSpan> remove;
        NextChange(state.range(0) != 0, add, remove);
        state.ResumeTiming();
        if (!scene->bare->Run(BareScript(false, add, remove))) return Fail(state, "nft refused the baseline");
        state.PauseTiming();
        std::vector<SharedElement> back;
        for (const auto& span : remove) back.push_back({span, 86'400});
        std::vector<AddressSpan> away;
        for (const auto& element : add) away.push_back(element.span);
        scene->bare->Run(BareScript(false, back, away));
        state.ResumeTiming();
    }
    scene->bare->Run(BareScript(true, {}, {}));
}

// One loopback connection a round: connect, accept, both closed (the client with a reset, so no
// TIME_WAIT piles up).
void BM_LoopbackConnects(benchmark::State& state) {
    const bool full = state.range(0) != 0;
    if (full != scene->full) {
        const auto start = std::chrono::steady_clock::now();
        if (!scene->link->UpdateShared(true, full ? scene->ranges : std::vector<SharedElement>{}, {}))
            return Fail(state, "the guard refused");
        scene->full = full;
        if (full) {
            std::fprintf(stderr, "(the guard took %.1f s to hold %zu ranges)\n",
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                         scene->ranges.size());
        }
    }
    for (auto _ : state) {
        const int client = test::OpenConnection("127.0.0.1", kPort);
        const int server = ::accept(scene->listener, nullptr, nullptr);
        if (client < 0 || server < 0) return Fail(state, "no connection");
        linger abort{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(client);
        ::close(server);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["interval_elements"] = full ? static_cast<double>(scene->ranges.size()) : 0;
}

// The same over the veth: from the remote namespace to 10.78.0.1, the packets crossing the
// guard's input and output chains as an outside host's do. The client sockets are made in the
// remote namespace beforehand (a socket stays in the namespace it was made in).
void BM_VethConnects(benchmark::State& state) {
    const bool full = state.range(0) != 0;
    if (full != scene->full) {
        if (!scene->link->UpdateShared(true, full ? scene->ranges : std::vector<SharedElement>{}, {}))
            return Fail(state, "the guard refused");
        scene->full = full;
    }
    std::vector<int> clients;
    std::thread maker([&] {
        if (!bench::BenchNetwork::Enter(scene->remote)) return;
        for (benchmark::IterationCount i = 0; i < state.max_iterations; ++i)
            clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    });
    maker.join();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort + 1);
    ::inet_pton(AF_INET, bench::BenchNetwork::kLocalAddress, &to.sin_addr);
    std::size_t next = 0;
    for (auto _ : state) {
        const int client = clients[next++];
        if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            return Fail(state, "no connection");
        const int server = ::accept(scene->veth_listener, nullptr, nullptr);
        if (server < 0) return Fail(state, "no connection");
        linger abort{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(client);
        ::close(server);
    }
    for (std::size_t i = next; i < clients.size(); ++i) ::close(clients[i]);
    state.SetItemsProcessed(state.iterations());
}

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
            times_[run.run_name.function_name + run.run_name.args].push_back(run.GetAdjustedRealTime());
        }
    }
    const std::vector<double>& All(const std::string& name) { return times_[name]; }
    double Median(const std::string& name) const {
        const auto found = times_.find(name);
        if (found == times_.end() || found->second.empty()) return 0;
        auto values = found->second;
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

std::string ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) return line.substr(line.find_first_not_of(" \t", 6));
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    std::string guard_path = (self.parent_path() / "libexec" / "velmor-guard").string();
    if (argc > 1 && argv[1][0] != '-') {
        guard_path = argv[1];
        --argc;
        ++argv;
    }
    benchmark::Initialize(&argc, argv);
    bench::BenchNetwork net;
    if (!net.Make() || !bench::BenchNetwork::Enter(net.local())) {
        std::fprintf(stderr, "bench_shared_sets: could not make namespaces (root needed)\n");
        return 1;
    }
    Scene here;
    scene = &here;
    const fs::path folder = fs::temp_directory_path() / ("velmor-shared-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string socket = (folder / "guard.sock").string();
    here.guard_pid = ::fork();
    if (here.guard_pid == 0) {
        // A benchmark that dies takes its guard along.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::execlp("ip", "ip", "netns", "exec", net.local().c_str(), VELMOR_GUARD_AS_UNIT, guard_path.c_str(),
                 "--socket", socket.c_str(), "--group", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    here.link = guard::MakeGuardLink(socket);
    bool up = false;
    for (int i = 0; i < 100 && !(up = here.link->Connect()); ++i) ::usleep(50'000);
    const auto state = up ? here.link->Status() : std::nullopt;
    if (!state || !state->shared_sets) {
        std::fprintf(stderr, "bench_shared_sets: no guard with shared sets came up\n");
        ::kill(here.guard_pid, SIGTERM);
        return 1;
    }
    here.bare = guard::MakeSystemPacketFilter();
    if (!here.bare->Run("table inet velmor_bench {\n"
                        "  set b4 { type ipv4_addr; flags timeout; }\n"
                        "  set b6 { type ipv6_addr; flags timeout; }\n"
                        "  set b4r { type ipv4_addr; flags interval, timeout; }\n"
                        "  set b6r { type ipv6_addr; flags interval, timeout; }\n"
                        "}\n")) {
        std::fprintf(stderr, "bench_shared_sets: nft refused the baseline's table\n");
        return 1;
    }
    here.startup = Pool(1, kStartup);
    here.fresh = Pool(2, kStartup);
    for (std::uint32_t i = 0; i < kStartup; ++i)
        here.ranges.push_back({{V4((13u << 24) + i * 16), V4((13u << 24) + i * 16 + 7)}, 86'400});
    here.listener = test::OpenListener("127.0.0.1", kPort, false, 4096);
    here.veth_listener = test::OpenListener(bench::BenchNetwork::kLocalAddress, kPort + 1, false, 4096);
    here.remote = net.remote();
    rlimit files{20000, 20000};
    ::setrlimit(RLIMIT_NOFILE, &files);

    const std::string before = ResidentKiB(here.guard_pid);
    benchmark::RegisterBenchmark("BM_StartupReplace_Guard", BM_StartupReplace_Guard)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(5)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_StartupReplace_BareNft", BM_StartupReplace_BareNft)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(5)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_Change1000_Guard", BM_Change1000_Guard)
        ->DenseRange(0, 1)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(10)
        ->Repetitions(3)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_Change1000_BareNft", BM_Change1000_BareNft)
        ->DenseRange(0, 1)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(10)
        ->Repetitions(3)
        ->UseRealTime();
    for (int round = 0; round < 4; ++round) {
        for (const int full : {0, 1}) {
            benchmark::RegisterBenchmark("BM_LoopbackConnects", BM_LoopbackConnects)
                ->Arg(full)
                ->Unit(benchmark::kMicrosecond)
                ->Iterations(5000)
                ->UseRealTime();
            benchmark::RegisterBenchmark("BM_VethConnects", BM_VethConnects)
                ->Arg(full)
                ->Unit(benchmark::kMicrosecond)
                ->Iterations(5000)
                ->UseRealTime();
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The replace again: the guard's memory with 100,000 elements held, and what they cost a change
    // of the blocked sets (nft reads every interval set of the namespace before each change).
    here.link->UpdateShared(true, here.startup, {});
    const std::string after = ResidentKiB(here.guard_pid);
    const auto held = here.link->Status();
    const auto blocked_change_ms = [&] {
        const std::vector<std::string> one = {"10.250.0.1"};
        std::vector<double> times;
        for (int i = 0; i < 11; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (!here.link->UpdateBlocked(false, one, {}) || !here.link->UpdateBlocked(false, {}, one))
                return -1.0;
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
                2);
        }
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    };
    const double blocked_full = blocked_change_ms();
    here.link->UpdateShared(true, {}, {});
    const double blocked_empty = blocked_change_ms();

    const auto ratio = [&](const char* what, const std::string& a, const std::string& b) {
        const double x = reporter.Median(a), y = reporter.Median(b);
        if (x > 0 && y > 0) std::printf("%-44s %10.2f / %10.2f = %.2f\n", what, x, y, x / y);
    };
    std::printf("\nmedians, real time; this run\n");
    ratio("startup replace ms: guard / bare nft", "BM_StartupReplace_Guard", "BM_StartupReplace_BareNft");
    ratio("change of 1,000 ms: guard / bare nft", "BM_Change1000_Guard0", "BM_Change1000_BareNft0");
    ratio("  the same, single addresses leaving", "BM_Change1000_Guard1", "BM_Change1000_BareNft1");
    // Time per connect, so the connect rate's ratio is the inverse.
    // Alternating rounds: the mean of each.
    const auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v) sum += x;
        return v.empty() ? 0 : sum / static_cast<double>(v.size());
    };
    const double empty = mean(reporter.All("BM_LoopbackConnects0")),
                 full = mean(reporter.All("BM_LoopbackConnects1"));
    for (std::size_t i = 0; i < reporter.All("BM_LoopbackConnects1").size(); ++i) {
        std::printf("  round %zu: %.1f us empty, %.1f us with ranges a connect\n", i + 1,
                    reporter.All("BM_LoopbackConnects0")[i], reporter.All("BM_LoopbackConnects1")[i]);
    }
    if (empty > 0 && full > 0)
        std::printf("%-44s %10.2f / %10.2f = %.3f\n", "loopback connects/s: 100,000 ranges / empty",
                    1e6 / full, 1e6 / empty, empty / full);
    const double veth_empty = mean(reporter.All("BM_VethConnects0")),
                 veth_full = mean(reporter.All("BM_VethConnects1"));
    for (std::size_t i = 0; i < reporter.All("BM_VethConnects1").size(); ++i) {
        std::printf("  veth round %zu: %.1f us empty, %.1f us with ranges a connect\n", i + 1,
                    reporter.All("BM_VethConnects0")[i], reporter.All("BM_VethConnects1")[i]);
    }
    if (veth_empty > 0 && veth_full > 0)
        std::printf("%-44s %10.2f / %10.2f = %.3f\n", "veth connects/s: 100,000 ranges / empty",
                    1e6 / veth_full, 1e6 / veth_empty, veth_empty / veth_full);
    std::printf("%-44s %10.2f / %10.2f = %.2f\n", "a blocked set's change ms: 100,000 held / none",
                blocked_full, blocked_empty, blocked_full / blocked_empty);
    std::printf("guard RSS: %s before, %s with %u + %u elements held\n", before.c_str(), after.c_str(),
                held ? held->shared_v4 : 0, held ? held->shared_v6 : 0);

    ::close(here.listener);
    here.link.reset();
    ::kill(here.guard_pid, SIGTERM);
    ::waitpid(here.guard_pid, nullptr, 0);
    fs::remove_all(folder);
    benchmark::Shutdown();
    return 0;
}
