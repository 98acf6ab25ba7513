// A flood of intruders against the headless monitor: thousands of distinct addresses complete a
// handshake with port 80, as fast as one client can open them or at a steady rate, while a `stats`
// command goes to the monitor every 100 ms. Reported per run: intruders filed against handshakes the
// monitored machine completed (its PassiveOpens), the command latency, accept -> reset as the
// intruders see it, the CPU of velmor and of the guard per filed intruder, and velmor's memory.
//
// Usage: bench_flood PROGRAM_FOLDER GUARD_PROGRAM [COUNT]   (COUNT: intruders of a flood, 10000)
// Needs root; everything happens in namespaces of its own. The client namespace owns 10.79.0.0/16
// (AnyIP), routed to the monitored one.

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "bench_process.h"

namespace {

using namespace velmor::bench;
using Clock = std::chrono::steady_clock;

std::string SourceOf(int index) {
    return "10.79." + std::to_string(index / 250) + "." + std::to_string(1 + index % 250);
}

// PassiveOpens of namespace `ns`: connections whose handshake the machine completed.
long long PassiveOpens(const std::string& ns) {
    FILE* pipe = ::popen(("ip netns exec " + ns + " cat /proc/net/snmp").c_str(), "r");
    if (pipe == nullptr) return -1;
    char line[2048];
    std::vector<std::string> lines;
    while (std::fgets(line, sizeof line, pipe) != nullptr) lines.emplace_back(line);
    ::pclose(pipe);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].rfind("Tcp: ", 0) != 0 || lines[i + 1].rfind("Tcp: ", 0) != 0) continue;
        std::istringstream names(lines[i]);
        std::istringstream values(lines[i + 1]);
        std::string name;
        std::string value;
        while (names >> name && values >> value)
            if (name == "PassiveOpens") return std::atoll(value.c_str());
    }
    return -1;
}

std::size_t CountFiles(const std::filesystem::path& folder, const std::string& extension) {
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == extension) ++count;
    return count;
}

struct FloodResult {
    int opened = 0;
    int client_established = 0;  // connect() completed at the client
    int reset_seen = 0;
    int ended_otherwise = 0;  // connected, then closed in order or failed without a reset
    int ended_by_close = 0;
    long long completed = 0;  // PassiveOpens of the monitored machine during the flood
    std::size_t filed = 0;
    std::vector<double> reset_ms;
    std::vector<double> probe_ms;
    int probes_missing = 0;
    double velmor_cpu = 0;
    double guard_cpu = 0;
    long rss_before = 0;
    long rss_after = 0;
    double seconds = 0;
    std::string counts;  // the monitor's own counts after the flood
};

// Opens `count` connections from distinct sources to port 80, `rate` a second (0: as fast as the
// client can), and waits for each to be reset or to fail, at most 30 s after the last one.
void Flood(const BenchNetwork& network, int count, int rate, FloodResult& result) {
    std::thread worker([&] {
        if (!BenchNetwork::Enter(network.remote())) return;
        const int poller = ::epoll_create1(EPOLL_CLOEXEC);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(80);
        ::inet_pton(AF_INET, BenchNetwork::kLocalAddress, &server.sin_addr);
        struct Pending {
            Clock::time_point opened{};
            Clock::time_point established{};
            bool connected = false;
        };
        std::vector<Pending> state(70000);
        int open = 0;
        const auto start = Clock::now();
        auto last_open = start;
        const auto reset = [&](Clock::time_point since) {
            ++result.reset_seen;
            result.reset_ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - since).count());
        };
        const auto handle = [&](const epoll_event& event) {
            const int fd = event.data.fd;
            Pending& pending = state[static_cast<std::size_t>(fd)];
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (!pending.connected && error == 0 && (event.events & EPOLLOUT) != 0) {
                pending.connected = true;
                pending.established = Clock::now();
                ++result.client_established;
                epoll_event wait_reset{EPOLLIN | EPOLLRDHUP, {.fd = fd}};
                ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &wait_reset);
                return;
            }
            if (pending.connected) {
                char byte;
                const ssize_t got = error == 0 ? ::recv(fd, &byte, 1, MSG_DONTWAIT) : -1;
                if (got > 0 || (got < 0 && error == 0 && errno == EAGAIN)) return;
                if (error == ECONNRESET || (got < 0 && errno == ECONNRESET)) {
                    reset(pending.established);
                } else {
                    ++result.ended_otherwise;
                    if (got == 0) ++result.ended_by_close;
                }
            } else if (error == ECONNRESET) {
                // Connected and reset before the client looked: counted from the connect() call.
                ++result.client_established;
                reset(pending.opened);
            } else {
                ++result.ended_otherwise;
            }
            ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
            ::close(fd);
            pending = {};
            --open;
        };
        epoll_event events[256];
        for (int i = 0; i < count; ++i) {
            if (rate > 0) {
                const auto due = start + std::chrono::microseconds(1'000'000LL * i / rate);
                while (Clock::now() < due) {
                    const int wait = static_cast<int>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count());
                    const int ready = ::epoll_wait(poller, events, 256, std::max(wait, 0));
                    for (int e = 0; e < ready; ++e) handle(events[e]);
                }
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) break;
            sockaddr_in source{};
            source.sin_family = AF_INET;
            ::inet_pton(AF_INET, SourceOf(i).c_str(), &source.sin_addr);
            ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
            state[static_cast<std::size_t>(fd)].opened = Clock::now();
            ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
            epoll_event wait_connect{EPOLLOUT | EPOLLIN | EPOLLRDHUP, {.fd = fd}};
            ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &wait_connect);
            ++result.opened;
            ++open;
            last_open = Clock::now();
            const int ready = ::epoll_wait(poller, events, 256, 0);
            for (int e = 0; e < ready; ++e) handle(events[e]);
        }
        while (open > 0 && Clock::now() - last_open < std::chrono::seconds(30)) {
            const int ready = ::epoll_wait(poller, events, 256, 100);
            for (int e = 0; e < ready; ++e) handle(events[e]);
        }
        for (std::size_t fd = 0; fd < state.size(); ++fd)
            if (state[fd].connected) ::close(static_cast<int>(fd));
        ::close(poller);
    });
    worker.join();
}

FloodResult RunFlood(const BenchNetwork& network, const std::filesystem::path& program, pid_t guard,
                     const std::vector<std::string>& flags, int count, int rate, int prefilled) {
    FloodResult result;
    const std::filesystem::path rules = program.parent_path() / "invader";
    std::error_code error;
    std::filesystem::remove_all(rules, error);
    std::filesystem::create_directories(rules);
    // A rule folder of earlier intruders, none of them in this flood.
    for (int i = 0; i < prefilled; ++i) {
        const std::string address = "10.80." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
        FILE* file = std::fopen((rules / (address + ".x")).c_str(), "w");
        if (file == nullptr) continue;
        std::fprintf(file, "4321|%s|\r\n", address.c_str());
        std::fclose(file);
    }
    MonitorProcess monitor = StartMonitor(network.local(), program, flags, true);
    std::string answer;
    for (int i = 0; i < 100 && !AskMonitor(monitor, "stats", answer, std::chrono::milliseconds(500)); ++i) {
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the first pass over the prefilled folder
    result.rss_before = RssKib(monitor.pid);
    const double velmor_before = CpuSeconds(monitor.pid);
    const double guard_before = guard > 0 ? CpuSeconds(guard) : 0;
    const long long opens_before = PassiveOpens(network.local());

    std::atomic<bool> probing{true};
    std::thread prober([&] {
        std::string reply;
        while (probing) {
            const auto asked = Clock::now();
            if (AskMonitor(monitor, "stats", reply, std::chrono::seconds(10))) {
                result.probe_ms.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
            } else {
                ++result.probes_missing;
            }
            std::this_thread::sleep_until(asked + std::chrono::milliseconds(100));
        }
    });
    const auto start = Clock::now();
    Flood(network, count, rate, result);
    result.completed = PassiveOpens(network.local()) - opens_before;
    // Filing may trail the resets: wait until every completed handshake is filed, or nothing moves
    // for five seconds.
    std::size_t filed = 0;
    auto moved = Clock::now();
    while (Clock::now() - moved < std::chrono::seconds(5)) {
        const std::size_t now = CountFiles(rules, ".x") - static_cast<std::size_t>(prefilled);
        if (now != filed) moved = Clock::now();
        filed = now;
        if (static_cast<long long>(filed) >= result.completed) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    result.filed = filed;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.velmor_cpu = CpuSeconds(monitor.pid) - velmor_before;
    result.guard_cpu = guard > 0 ? CpuSeconds(guard) - guard_before : 0;
    result.rss_after = RssKib(monitor.pid);
    probing = false;
    prober.join();
    if (AskMonitor(monitor, "stats", answer, std::chrono::seconds(5))) {
        for (const char* name : {"dumps", "full_passes", "pass_slices", "targeted", "teardowns", "struck"})
            result.counts += std::string(" ") + name + " " + std::to_string(AnswerField(answer, name));
    }
    StopMonitor(monitor);
    return result;
}

void Print(const char* what, const FloodResult& r) {
    std::printf("%s:\n", what);
    std::printf(
        "  opened %d, handshakes completed by the machine %lld, filed %zu (%.1f %%), resets seen %d "
        "(%d ended otherwise, %d of them closed in order)\n",
        r.opened, r.completed, r.filed,
        r.completed > 0 ? 100.0 * static_cast<double>(r.filed) / static_cast<double>(r.completed) : 0.0,
        r.reset_seen, r.ended_otherwise, r.ended_by_close);
    std::printf("  accept -> reset: median %.2f ms, p99 %.2f ms, max %.2f ms\n", Percentile(r.reset_ms, 0.5),
                Percentile(r.reset_ms, 0.99), Percentile(r.reset_ms, 1.0));
    std::printf(
        "  stats every 100 ms: %zu answered, median %.2f ms, p99 %.2f ms, max %.2f ms, %d unanswered\n",
        r.probe_ms.size(), Percentile(r.probe_ms, 0.5), Percentile(r.probe_ms, 0.99),
        Percentile(r.probe_ms, 1.0), r.probes_missing);
    const double filed = r.filed > 0 ? static_cast<double>(r.filed) : 1.0;
    std::printf("  CPU per filed intruder: velmor %.3f ms, guard %.3f ms (%.1f s in all)\n",
                1000.0 * r.velmor_cpu / filed, 1000.0 * r.guard_cpu / filed, r.seconds);
    std::printf("  velmor RSS %ld KiB before, %ld KiB after\n", r.rss_before, r.rss_after);
    std::printf("  velmor's counts:%s\n", r.counts.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s PROGRAM_FOLDER GUARD_PROGRAM [COUNT [hidden]]\n", argv[0]);
        return 2;
    }
    const int count = argc >= 4 ? std::atoi(argv[3]) : 10000;
    // "hidden": only the burst with the window hidden, for a closer look at it.
    const bool hidden_only = argc == 5 && std::string(argv[4]) == "hidden";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    rlimit files{70000, 70000};
    ::setrlimit(RLIMIT_NOFILE, &files);
    std::string pattern = (std::filesystem::temp_directory_path() / "velmor-flood-XXXXXX").string();
    const std::filesystem::path folder = ::mkdtemp(pattern.data());
    std::filesystem::copy_file(std::filesystem::path(argv[1]) / "velmor", folder / "velmor");
    const std::filesystem::path program = folder / "velmor";

    BenchNetwork network;
    if (!network.Make(0) ||
        !Shell("ip -n " + network.remote() + " route add local 10.79.0.0/16 dev lo && ip -n " +
               network.local() + " route add 10.79.0.0/16 via 10.78.0.2")) {
        std::fprintf(stderr, "cannot make the benchmark's network namespaces (needs root and `ip netns`)\n");
        return 1;
    }
    const std::string socket = (folder / "guard.sock").string();
    const pid_t guard = StartGuard(network.local(), argv[2], socket);
    if (guard < 0) {
        std::fprintf(stderr, "velmor-guard did not come up\n");
        return 1;
    }
    ::setenv("VELMOR_GUARD_SOCKET", socket.c_str(), 1);
    const std::vector<std::string> shown{"--auto-block=on"};
    const std::vector<std::string> hidden{"--auto-block=on", "--hidden"};
    std::printf("Flood of %d distinct intruders, velmor through velmor-guard (kernel events):\n", count);
    if (hidden_only) {
        Print("As fast as the client opens them, hidden, empty rule folder",
              RunFlood(network, program, guard, hidden, count, 0, 0));
        ::kill(guard, SIGTERM);
        ::waitpid(guard, nullptr, 0);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return 0;
    }
    const FloodResult fast = RunFlood(network, program, guard, shown, count, 0, 0);
    Print("As fast as the client opens them, window shown, empty rule folder", fast);
    const FloodResult fast_hidden = RunFlood(network, program, guard, hidden, count, 0, 0);
    Print("As fast as the client opens them, hidden, empty rule folder", fast_hidden);
    const FloodResult steady = RunFlood(network, program, guard, shown, std::min(count, 2000), 200, 0);
    Print("200 a second, window shown", steady);
    const FloodResult steady_hidden =
        RunFlood(network, program, guard, hidden, std::min(count, 2000), 200, 0);
    Print("200 a second, hidden", steady_hidden);
    const FloodResult large = RunFlood(network, program, guard, shown, count, 0, 10000);
    Print("As fast as the client opens them, window shown, 10,000 rule files", large);
    const auto per = [](const FloodResult& r, double cpu) {
        return r.filed > 0 ? cpu / static_cast<double>(r.filed) : 0;
    };
    const double empty_cost = per(fast, fast.velmor_cpu + fast.guard_cpu);
    std::printf("CPU per filed intruder (velmor + guard), 10,000 rule files against none: %.2fx\n",
                empty_cost > 0 ? per(large, large.velmor_cpu + large.guard_cpu) / empty_cost : -1.0);
    ::kill(guard, SIGTERM);
    ::waitpid(guard, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    const bool all_filed = fast.filed >= static_cast<std::size_t>(fast.completed) &&
                           large.filed >= static_cast<std::size_t>(large.completed);
    return all_filed ? 0 : 1;
}
