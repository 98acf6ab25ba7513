// Who is talking, measured: the /proc scan that finds the holders of 1,000 sockets of 50 processes
// against one `ss -tanp` run, the guard's CPU with 200 new outgoing connections a second from 20
// programs with attribution on and off, and the resident memory of the guard and the headless
// monitor over 100,000 short connections from 200 processes. Needs root (its own namespaces).
//
//   bench_who_talks <build>/P <build>/libexec/velmor-guard
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_network.h"
#include "bench_process.h"
#include "velmor/guard/guard_events.h"
#include "velmor/guard/guard_link.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_owners.h"

namespace {

using namespace std::chrono_literals;
using velmor::bench::BenchNetwork;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kPort = 7800;
constexpr const char* kRemoteAddress = "10.78.0.2";

// The CPU time of a process so far, in seconds, to the nanosecond (/proc/<pid>/schedstat, its
// threads included); -1 when it cannot be read. Clock ticks are too coarse for a guard at 1 %.
double CpuSecondsExact(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        FILE* file = std::fopen((task.path() / "schedstat").c_str(), "r");
        if (file == nullptr) continue;
        unsigned long long nanoseconds = 0;
        if (std::fscanf(file, "%llu", &nanoseconds) == 1) total += static_cast<double>(nanoseconds) / 1e9;
        std::fclose(file);
    }
    return error ? -1 : total;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// Children that each hold `per_child` connections from the remote namespace to the local listener
// until `release` closes; their pids.
std::vector<pid_t> Holders(const BenchNetwork& network, int children, int per_child,
                           const int (&release)[2]) {
    std::vector<pid_t> pids;
    for (int child = 0; child < children; ++child) {
        int ready[2];
        if (::pipe(ready) != 0) break;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(release[1]);
            if (!BenchNetwork::Enter(network.remote())) ::_exit(126);
            std::vector<int> fds;
            for (int i = 0; i < per_child; ++i)
                fds.push_back(velmor::test::OpenConnection(BenchNetwork::kLocalAddress, kPort));
            const char byte = 'r';
            if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
            char wait = 0;
            while (::read(release[0], &wait, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        char byte = 0;
        if (::read(ready[0], &byte, 1) == 1) pids.push_back(pid);
        ::close(ready[0]);
    }
    return pids;
}

// The inodes of the remote ends of the connections to the local port, as the table of `ns` says.
std::vector<std::uint64_t> RemoteInodes(const BenchNetwork& network) {
    std::vector<std::uint64_t> inodes;
    std::thread([&] {
        if (!BenchNetwork::Enter(network.remote())) return;
        const auto table = velmor::platform::MakeSystemConnectionTable();
        velmor::platform::TcpTable rows;
        if (!table->ReadTcp(rows)) return;
        for (std::size_t i = 0; i < rows.rows.size() && i < rows.details.size(); ++i) {
            const auto* port = reinterpret_cast<const unsigned char*>(&rows.rows[i].dwRemotePort);
            if ((port[0] << 8 | port[1]) == kPort && rows.details[i].inode != 0)
                inodes.push_back(rows.details[i].inode);
        }
    }).join();
    return inodes;
}

void FallbackScan(const BenchNetwork& network) {
    int release[2];
    if (::pipe(release) != 0) return;
    // The local ends wait in the listener's queue (this thread is in the local namespace).
    const int listener = velmor::bench::ListenOn(kPort);
    const std::vector<pid_t> holders = Holders(network, 50, 20, release);
    ::close(release[0]);
    const std::vector<std::uint64_t> inodes = RemoteInodes(network);
    std::vector<double> scan_ms;
    std::size_t found = 0;
    std::size_t processes = 0;
    for (int run = 0; run < 7; ++run) {
        velmor::platform::SocketHolderOptions options;
        options.budget = 10s;
        const auto start = Clock::now();
        const auto scan = velmor::platform::FindSocketHolders(inodes, options);
        scan_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        found = scan.holders.size();
        processes = scan.processes;
    }
    std::vector<double> ss_ms;
    std::thread([&] {
        if (!BenchNetwork::Enter(network.remote())) return;
        for (int run = 0; run < 7; ++run) {
            const auto start = Clock::now();
            if (std::system("ss -tanp >/dev/null 2>&1") != 0) std::fprintf(stderr, "ss failed\n");
            ss_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }).join();
    std::fflush(stdout);
    std::printf("Fallback scan: %zu of %zu sockets of %zu holders found, %zu processes read\n", found,
                inodes.size(), holders.size(), processes);
    std::printf("  /proc scan %.2f ms, ss -tanp %.2f ms (medians of 7): %.2fx\n", Median(scan_ms),
                Median(ss_ms), Median(scan_ms) / Median(ss_ms));
    ::close(release[1]);
    for (const pid_t pid : holders) ::waitpid(pid, nullptr, 0);
    ::close(listener);
}

// velmor-guard with its unit's rights, attribution on or off.
pid_t StartGuard(const BenchNetwork& network, const std::filesystem::path& guard, const std::string& socket,
                 bool owners) {
    std::filesystem::remove(socket);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!BenchNetwork::Enter(network.local())) ::_exit(126);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(VELMOR_GUARD_AS_UNIT, VELMOR_GUARD_AS_UNIT, guard.c_str(), "--socket", socket.c_str(),
                "--group", "0", "--owners", owners ? "on" : "off", nullptr);
        ::_exit(127);
    }
    for (int i = 0; i < 250 && !std::filesystem::exists(socket); ++i) std::this_thread::sleep_for(20ms);
    return std::filesystem::exists(socket) ? pid : -1;
}

// Connects from the local namespace to the remote accept loop and closes with a reset (no
// TIME_WAIT), `per_second` times a second for `total` connections, in one process.
void Churn(int per_second, int total) {
    const auto gap = std::chrono::nanoseconds(1'000'000'000 / std::max(1, per_second));
    auto next = Clock::now();
    for (int i = 0; i < total; ++i) {
        const int fd = velmor::test::OpenConnection(kRemoteAddress, kPort);
        if (fd >= 0) {
            linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(fd);
        }
        if (per_second > 0) {
            next += gap;
            std::this_thread::sleep_until(next);
        }
    }
}

// `programs` processes in the local namespace churning connections; waits for them all.
void ChurnFrom(const BenchNetwork& network, int programs, int per_second, int total) {
    std::vector<pid_t> pids;
    for (int program = 0; program < programs; ++program) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!BenchNetwork::Enter(network.local())) ::_exit(126);
            Churn(per_second, total);
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) ::waitpid(pid, nullptr, 0);
}

// The remote end: accepts and closes until `stop`.
std::thread AcceptLoop(const BenchNetwork& network, std::atomic<bool>& stop) {
    return std::thread([&network, &stop] {
        if (!BenchNetwork::Enter(network.remote())) return;
        const int listener = velmor::test::OpenListener("0.0.0.0", kPort, false, 65535);
        while (!stop) {
            pollfd entry{listener, POLLIN, 0};
            if (::poll(&entry, 1, 50) != 1) continue;
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) ::close(fd);
        }
        ::close(listener);
    });
}

// A subscriber of the guard's events, as velmor is one, draining them and the owner records.
std::thread Subscriber(const BenchNetwork& network, const std::string& socket, std::atomic<bool>& stop,
                       std::atomic<std::uint64_t>& owners) {
    return std::thread([&network, socket, &stop, &owners] {
        if (!BenchNetwork::Enter(network.local())) return;
        auto stream = velmor::guard::MakeGuardEventStream(socket);
        if (!stream->Subscribe()) return;
        std::vector<velmor::guard::OwnerRecord> records;
        while (!stop) {
            pollfd entry{stream->Fd(), POLLIN, 0};
            ::poll(&entry, 1, 50);
            stream->Take(nullptr);
            stream->TakeOwners(records);
            owners += records.size();
        }
    });
}

void AttributionCost(const BenchNetwork& network, const std::filesystem::path& guard) {
    std::atomic<bool> stop{false};
    std::thread remote = AcceptLoop(network, stop);
    double percent[2] = {0, 0};
    std::uint64_t told[2] = {0, 0};
    for (const bool owners : {false, true}) {
        const std::string socket = "/run/velmor-bench-who-" + std::to_string(::getpid()) + ".sock";
        const pid_t pid = StartGuard(network, guard, socket, owners);
        if (pid < 0) {
            std::fprintf(stderr, "the guard did not come up\n");
            break;
        }
        std::atomic<bool> done{false};
        std::atomic<std::uint64_t> records{0};
        std::thread subscriber = Subscriber(network, socket, done, records);
        std::this_thread::sleep_for(500ms);
        const double before = CpuSecondsExact(pid);
        const auto start = Clock::now();
        // 200 a second from 20 programs, for 20 s.
        ChurnFrom(network, 20, 10, 200);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        percent[owners] = 100.0 * (CpuSecondsExact(pid) - before) / seconds;
        done = true;
        subscriber.join();
        told[owners] = records;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    stop = true;
    remote.join();
    std::printf(
        "Attribution cost: guard CPU with 200 new connections a second from 20 programs, one subscriber\n");
    std::printf("  off %.2f %%, on %.2f %% (%llu owner records told): %.2fx\n", percent[0], percent[1],
                static_cast<unsigned long long>(told[1]), percent[0] > 0 ? percent[1] / percent[0] : -1.0);
}

void Memory(const BenchNetwork& network, const std::filesystem::path& program,
            const std::filesystem::path& guard) {
    std::atomic<bool> stop{false};
    std::thread remote = AcceptLoop(network, stop);
    const std::string socket = "/run/velmor-bench-who-" + std::to_string(::getpid()) + ".sock";
    const pid_t guard_pid = StartGuard(network, guard, socket, true);
    ::setenv(velmor::guard::kGuardSocketVariable, socket.c_str(), 1);
    velmor::bench::MonitorProcess monitor = velmor::bench::StartMonitor(network.local(), program, {}, true);
    std::string answer;
    if (guard_pid < 0 || monitor.pid < 0 || !velmor::bench::AskMonitor(monitor, "stats", answer, 10s)) {
        std::fprintf(stderr, "the guard or the monitor did not come up\n");
    } else {
        // 10,000 to warm up, then 100,000 more, each program 50 then 500 as fast as it can.
        ChurnFrom(network, 200, 0, 50);
        std::this_thread::sleep_for(2s);
        const long guard_before = velmor::bench::RssKib(guard_pid);
        const long monitor_before = velmor::bench::RssKib(monitor.pid);
        std::printf("Memory over 100,000 short connections from 200 processes, RSS after each 20,000:\n");
        std::printf("  after the warm-up: guard %ld KiB, velmor %ld KiB\n", guard_before, monitor_before);
        long guard_after = 0;
        long monitor_after = 0;
        for (int round = 1; round <= 5; ++round) {
            const auto start = Clock::now();
            ChurnFrom(network, 200, 0, 100);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            std::this_thread::sleep_for(1s);
            velmor::bench::AskMonitor(monitor, "stats", answer, 10s);
            guard_after = velmor::bench::RssKib(guard_pid);
            monitor_after = velmor::bench::RssKib(monitor.pid);
            std::printf("  %3d,000 (%.1f s): guard %ld KiB, velmor %ld KiB\n", round * 20, seconds,
                        guard_after, monitor_after);
        }
        std::printf(
            "  guard %+.1f %%, velmor %+.1f %% from the warm-up to the end\n",
            100.0 * static_cast<double>(guard_after - guard_before) / static_cast<double>(guard_before),
            100.0 * static_cast<double>(monitor_after - monitor_before) /
                static_cast<double>(monitor_before));
    }
    velmor::bench::StopMonitor(monitor);
    if (guard_pid > 0) {
        ::kill(guard_pid, SIGTERM);
        ::waitpid(guard_pid, nullptr, 0);
    }
    stop = true;
    remote.join();
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: bench_who_talks <build>/P <build>/libexec/velmor-guard [scan|cost|memory]...\n");
        return 2;
    }
    rlimit files{70000, 70000};
    ::setrlimit(RLIMIT_NOFILE, &files);
    BenchNetwork network;
    if (!network.Make()) {
        std::fprintf(stderr, "cannot make the benchmark's network namespaces (needs root)\n");
        return 1;
    }
    if (!BenchNetwork::Enter(network.local())) return 1;
    std::vector<std::string> parts(argv + 3, argv + argc);
    if (parts.empty()) parts = {"scan", "cost", "memory"};
    for (const std::string& part : parts) {
        if (part == "scan") FallbackScan(network);
        if (part == "cost") AttributionCost(network, argv[2]);
        if (part == "memory") Memory(network, std::filesystem::path(argv[1]) / "velmor", argv[2]);
    }
    return 0;
}
