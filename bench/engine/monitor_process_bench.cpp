// The headless monitor as a whole process: its CPU use over 10 s beside 1,000 idle connections (with
// the 1 ms table timer, and paced as a hidden window), and the latency from a remote connection being
// accepted on port 80 to the remote side seeing the reset, over 200 connections.
//
// Usage: bench_monitor_process PROGRAM_FOLDER [GUARD_PROGRAM] (the build's program folder, holding
// `velmor`, and velmor-guard, build/<preset>/libexec/velmor-guard). Needs root; it makes its own
// network namespaces and runs a copy of the program in a folder of its own, so the rule files it
// writes land there. With the guard it measures everything again with the guard in the monitored
// namespace (with its systemd unit's rights), whose kernel socket events drive the table timer. A bare loop
// that only sleeps 1 ms is measured in the same run as the yardstick.

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"

namespace {

using namespace velmor::bench;
using Clock = std::chrono::steady_clock;

double MeasureCpu(const BenchNetwork& network, const std::filesystem::path& program,
                  const std::vector<std::string>& flags) {
    MonitorProcess monitor = StartMonitor(network.local(), program, flags, false);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up and the first full pass
    const double before = CpuSeconds(monitor.pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double after = CpuSeconds(monitor.pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    StopMonitor(monitor);
    return before < 0 || after < 0 ? -1 : 100.0 * (after - before) / seconds;
}

// Connects from the intruder address to local port 80 `count` times; each sample is the time from
// connect() returning (the connection accepted) to the read that reports the reset. `distinct`: each
// connection from an address of its own (the guard drops the packets of an address once filed).
std::vector<double> MeasureResets(const BenchNetwork& network, int count, int& failures, bool distinct) {
    std::vector<double> samples;
    failures = 0;
    std::thread worker([&] {
        if (!BenchNetwork::Enter(network.remote())) return;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(80);
        ::inet_pton(AF_INET, BenchNetwork::kLocalAddress, &server.sin_addr);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, BenchNetwork::ClientAddress(0).c_str(), &source.sin_addr);
        for (int i = 0; i < count; ++i) {
            if (distinct) ::inet_pton(AF_INET, BenchNetwork::ClientAddress(i + 1).c_str(), &source.sin_addr);
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
            timeval timeout{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            // A dropped handshake (an address the guard blocks) fails after a second, not minutes.
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
                ++failures;
                ::close(fd);
                continue;
            }
            const auto accepted = Clock::now();
            char byte = 0;
            const ssize_t got = ::recv(fd, &byte, 1, 0);
            const auto reset = Clock::now();
            if (got < 0 && errno == ECONNRESET) {
                samples.push_back(std::chrono::duration<double, std::milli>(reset - accepted).count());
            } else {
                ++failures;
            }
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    worker.join();
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s PROGRAM_FOLDER [GUARD_PROGRAM]\n", argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    rlimit files{70000, 70000};
    ::setrlimit(RLIMIT_NOFILE, &files);
    // A program folder of its own: the program and an empty rule directory.
    std::string pattern = (std::filesystem::temp_directory_path() / "velmor-bench-XXXXXX").string();
    const std::filesystem::path folder = ::mkdtemp(pattern.data());
    std::filesystem::copy_file(std::filesystem::path(argv[1]) / "velmor", folder / "velmor");
    std::filesystem::create_directories(folder / "invader");
    const std::filesystem::path program = folder / "velmor";

    BenchNetwork network;
    std::vector<int> idle;
    int idle_listener = -1;
    int bait = -1;
    if (!network.Make(201)) {
        std::fprintf(stderr, "cannot make the benchmark's network namespaces (needs root and `ip netns`)\n");
        return 1;
    }
    std::thread setup([&] {
        if (!BenchNetwork::Enter(network.local())) return;
        idle_listener = velmor::bench::ListenOn(8080);
        bait = velmor::bench::ListenOn(80);
    });
    setup.join();
    if (idle_listener < 0 || bait < 0 || !network.Connect(8080, 1000, false, idle)) {
        std::fprintf(stderr, "cannot open the idle connections\n");
        return 1;
    }

    const double bare = MeasureBareLoop();
    std::printf("A bare loop sleeping 1 ms:    %.2f %% of one core\n", bare);
    const auto ratio = [&](double cpu) { return bare > 0 && cpu >= 0 ? cpu / bare : -1.0; };
    std::printf("CPU of the headless monitor over 10 s with %zu idle connections:\n", idle.size());
    const double shown = MeasureCpu(network, program, {});
    std::printf("  1 ms timer, window shown:   %.2f %% of one core (%.2fx the bare loop)\n", shown,
                ratio(shown));
    const double hidden = MeasureCpu(network, program, {"--hidden"});
    std::printf("  hidden (100 ms pause):      %.2f %% of one core (%.2fx the bare loop)\n", hidden,
                ratio(hidden));

    const auto resets = [&](const char* what, bool distinct, const std::vector<std::string>& flags) {
        if (distinct) {
            // Addresses filed by an earlier run would be blocked by the guard before they connect.
            std::error_code error;
            std::filesystem::remove_all(folder / "invader", error);
            std::filesystem::create_directories(folder / "invader", error);
        }
        MonitorProcess monitor = StartMonitor(network.local(), program, flags, false);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        int missed = 0;
        const std::vector<double> samples = MeasureResets(network, 200, missed, distinct);
        StopMonitor(monitor);
        std::printf(
            "Accepted on port 80 -> reset seen by the remote side, %s, %zu connections (%d not reset "
            "within 1 s):\n",
            what, samples.size(), missed);
        std::printf("  median %.2f ms, p99 %.2f ms, max %.2f ms\n", Percentile(samples, 0.5),
                    Percentile(samples, 0.99), Percentile(samples, 1.0));
        return missed;
    };
    int failures = resets("window shown", false, {"--auto-block=on"});
    failures += resets("hidden", false, {"--auto-block=on", "--hidden"});

    if (argc == 3) {
        // The guard opens the bait itself.
        ::close(bait);
        bait = -1;
        const std::string socket = (folder / "guard.sock").string();
        const pid_t guard = StartGuard(network.local(), argv[2], socket);
        if (guard < 0) {
            std::fprintf(stderr, "velmor-guard did not come up\n");
            return 1;
        }
        ::setenv("VELMOR_GUARD_SOCKET", socket.c_str(), 1);
        std::printf("With velmor-guard's socket events:\n");
        const double events_shown = MeasureCpu(network, program, {});
        std::printf("  window shown:               %.2f %% of one core (%.2fx the bare loop)\n", events_shown,
                    ratio(events_shown));
        const double events_hidden = MeasureCpu(network, program, {"--hidden"});
        std::printf("  hidden:                     %.2f %% of one core (%.2fx the bare loop)\n",
                    events_hidden, ratio(events_hidden));
        failures += resets("events, window shown", true, {"--auto-block=on"});
        failures += resets("events, hidden", true, {"--auto-block=on", "--hidden"});
        ::unsetenv("VELMOR_GUARD_SOCKET");
        ::kill(guard, SIGTERM);
        ::waitpid(guard, nullptr, 0);
    }

    for (const int fd : idle) ::close(fd);
    ::close(idle_listener);
    if (bait >= 0) ::close(bait);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return failures == 0 ? 0 : 1;
}
