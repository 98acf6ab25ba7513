// Fetchel against the usual tools, each run as a whole process the way a user would run it:
//   download of a 256 MB file over loopback: fetchel vs `curl -o`   (target ratio >= 0.9)
//   local copy of the same file:             fetchel vs `cp`         (target ratio >= 0.8)
//   peak resident memory, 1 MB vs 256 MB download                     (target difference < 1 MB)
// Every ratio compares runs made in the same process, against the same server and files.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "test_http_server.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLarge = 256u * 1024 * 1024;
constexpr std::size_t kSmall = 1024 * 1024;

struct ProcessResult {
    double seconds = 0;
    long peak_rss_kb = 0;
    int status = -1;
};

// The high-water mark of a process's resident memory (VmHWM), 0 when it cannot be read. This
// belongs to the memory the program mapped after exec; the rusage figure from wait4 would instead
// start from the spawning process's own peak, which here holds the 256 MB body.
long PeakResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// Runs a program with its output streams on /dev/null and measures wall time; with `watch_memory`
// it also samples the program's peak resident memory every millisecond until it ends (the mark
// only grows, so the last sample is the peak up to its last moments).
ProcessResult RunProcess(const std::vector<std::string>& command, bool watch_memory = false) {
    std::vector<std::string> storage = command;
    std::vector<char*> argv;
    for (auto& item : storage) argv.push_back(item.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ProcessResult result;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return result;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (watch_memory) {
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            result.peak_rss_kb = std::max(result.peak_rss_kb, PeakResidentKb(pid));
            ::usleep(1000);
        }
    } else {
        ::waitpid(pid, &status, 0);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Fetchel() {
    return std::string(VELMOR_PROGRAM_DIR) + "/support/fetchel";
}

struct Fixture {
    velmor::test::TestHttpServer server;
    fs::path dir;
    fs::path large_file;

    Fixture() {
        auto large = std::make_shared<std::string>(velmor::test::PatternBytes(kLarge));
        server.Publish("/large", large);
        server.Publish("/small", std::make_shared<std::string>(large->substr(0, kSmall)));
        dir = fs::temp_directory_path() / ("fetchel-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        large_file = dir / "large.src";
        std::ofstream(large_file, std::ios::binary)
            .write(large->data(), static_cast<std::streamsize>(large->size()));
    }
    ~Fixture() { fs::remove_all(dir); }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void Compare(benchmark::State& state, const std::vector<std::string>& ours,
             const std::vector<std::string>& theirs) {
    double our_seconds = 0;
    double their_seconds = 0;
    for (auto _ : state) {
        const ProcessResult a = RunProcess(ours);
        const ProcessResult b = RunProcess(theirs);
        if (a.status != 0 || b.status != 0) {
            state.SkipWithError("a process failed");
            return;
        }
        our_seconds += a.seconds;
        their_seconds += b.seconds;
        state.SetIterationTime(a.seconds);
    }
    const double megabytes =
        static_cast<double>(kLarge) / (1024 * 1024) * static_cast<double>(state.iterations());
    state.counters["fetchel_MBps"] = megabytes / our_seconds;
    state.counters["baseline_MBps"] = megabytes / their_seconds;
    state.counters["ratio"] = their_seconds / our_seconds;  // our throughput over theirs
}

void BM_Download256MB_FetchelVsCurl(benchmark::State& state) {
    Fixture& f = Shared();
    const std::string url = f.server.Url("/large");
    Compare(state, {Fetchel(), url, (f.dir / "fetchel.out").string()},
            {"curl", "-s", "-o", (f.dir / "curl.out").string(), url});
}
BENCHMARK(BM_Download256MB_FetchelVsCurl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_LocalCopy256MB_FetchelVsCp(benchmark::State& state) {
    Fixture& f = Shared();
    Compare(state, {Fetchel(), f.large_file.string(), (f.dir / "fetchel.copy").string()},
            {"cp", f.large_file.string(), (f.dir / "cp.copy").string()});
}
BENCHMARK(BM_LocalCopy256MB_FetchelVsCp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_PeakMemory_1MBvs256MB(benchmark::State& state) {
    Fixture& f = Shared();
    long small_kb = 0;
    long large_kb = 0;
    for (auto _ : state) {
        // With a size given, so the counting and the percentages run too.
        const ProcessResult s = RunProcess({Fetchel(), f.server.Url("/small"), (f.dir / "small.out").string(),
                                            "0", "0", std::to_string(kSmall)},
                                           true);
        const ProcessResult l = RunProcess({Fetchel(), f.server.Url("/large"), (f.dir / "large.out").string(),
                                            "0", "0", std::to_string(kLarge)},
                                           true);
        small_kb = std::max(small_kb, s.peak_rss_kb);
        large_kb = std::max(large_kb, l.peak_rss_kb);
        state.SetIterationTime(l.seconds);
    }
    state.counters["rss_1MB_kB"] = static_cast<double>(small_kb);
    state.counters["rss_256MB_kB"] = static_cast<double>(large_kb);
    state.counters["difference_kB"] = static_cast<double>(large_kb - small_kb);
}
BENCHMARK(BM_PeakMemory_1MBvs256MB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
