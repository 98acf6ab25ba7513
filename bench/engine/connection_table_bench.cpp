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
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_counters.h"

namespace {

using velmor::platform::ConnectionTable;
using velmor::platform::SocketCounters;
using velmor::platform::TcpRow;
using velmor::platform::TcpTable;

const std::string kTag = std::to_string(::getpid());
const std::string kLocalName = "vlbench-l" + kTag;
const std::string kRemoteName = "vlbench-r" + kTag;

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool EnterNamespace(const std::string& name) {
    const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

bool MakeNetwork() {
    const std::string veth = "vlbn" + std::to_string(::getpid() % 100000);
    return Shell("set -e; ip netns add " + kLocalName + "; ip netns add " + kRemoteName + "; ip link add " +
                 veth + "a type veth peer name " + veth + "b; ip link set " + veth + "a netns " + kLocalName +
                 "; ip link set " + veth + "b netns " + kRemoteName + "; ip -n " + kLocalName +
                 " addr add 10.78.0.1/24 dev " + veth + "a; ip -n " + kRemoteName +
                 " addr add 10.78.0.2/24 dev " + veth + "b; ip -n " + kLocalName + " link set lo up; ip -n " +
                 kRemoteName + " link set lo up; ip -n " + kLocalName + " link set " + veth + "a up; ip -n " +
                 kRemoteName + " link set " + veth + "b up; ip netns exec " + kLocalName +
                 " sysctl -qw net.core.somaxconn=65535; ip netns exec " + kRemoteName +
                 " sysctl -qw net.ipv4.ip_local_port_range='10000 65000'");
}

void RemoveNetwork() {
    Shell("ip netns del " + kLocalName + " 2>/dev/null");
    Shell("ip netns del " + kRemoteName + " 2>/dev/null");
}

// The connections of the scene; the connecting side lives in "remote", the accepted side stays in
// the listener's queue in "local" (established rows all the same).
struct Scene {
    int listener = -1;
    std::vector<int> clients;

    bool Grow(std::size_t connections) {
        if (clients.size() >= connections) return true;
        bool ok = true;
        std::thread worker([&] {
            if (!EnterNamespace(kRemoteName)) {
                ok = false;
                return;
            }
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(80);
            ::inet_pton(AF_INET, "10.78.0.1", &server.sin_addr);
            while (ok && clients.size() < connections) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
                    std::perror("connect");
                    ok = false;
                    if (fd >= 0) ::close(fd);
                    break;
                }
                clients.push_back(fd);
            }
        });
        worker.join();
        return ok;
    }
};

Scene scene;

// The baseline: one sock_diag dump per family with the same request, each reply merely walked to
// its end. Everything the table reader adds (rows, mapping, sorting) is measured against this.
class BareDump final {
public:
    BareDump() {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        buffer_.resize(64 * 1024);
    }
    ~BareDump() { ::close(fd_); }

    std::size_t Messages() { return Dump(AF_INET) + Dump(AF_INET6); }

private:
    std::size_t Dump(std::uint8_t family) {
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence_;
        message.request.sdiag_family = family;
        message.request.sdiag_protocol = IPPROTO_TCP;
        message.request.idiag_states = 0xFFF;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ::sendto(fd_, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        std::size_t count = 0;
        while (true) {
            const ssize_t received = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
            if (received <= 0) return count;
            int length = static_cast<int>(received);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer_.data()); NLMSG_OK(header, length);
                 header = NLMSG_NEXT(header, length)) {
                if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) return count;
                ++count;
            }
        }
    }

    int fd_ = -1;
    std::uint32_t sequence_ = 0;
    std::vector<char> buffer_;
};

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
                if (matched && !(local[0] == 0 && local[1] == 0 && local[2] == htonl(0xFFFF))) matched = 0;
            } else {
                matched = std::sscanf(cursor, "%*d: %8x:%x %8x:%x %x", &local[3], &local_port, &remote[3],
                                      &remote_port, &state) == 5;
            }
            if (matched) {
                rows.push_back(TcpRow{state, local[3], htons(static_cast<std::uint16_t>(local_port)),
                                      remote[3], htons(static_cast<std::uint16_t>(remote_port))});
            }
            cursor =
                static_cast<const char*>(std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
        }
    }
    return rows.size();
}

void SetUp(benchmark::State& state) {
    if (!scene.Grow(static_cast<std::size_t>(state.range(0)))) state.SkipWithError("cannot open connections");
}

void BM_BareDump(benchmark::State& state) {
    SetUp(state);
    BareDump dump;
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
            std::printf("  N=%-6s bare dump %.3f ms real, %.3f ms CPU", n.c_str(), base_real / 1e3, base_cpu / 1e3);
            for (const char* other : {"BM_ReadTcp", "BM_ProcNetTcp"}) {
                if (!real_.count(other) || !real_.at(other).count(n)) continue;
                std::printf(" | %s %.2fx / %.2fx", other + 3, real_.at(other).at(n) / base_real,
                            cpu_.at(other).at(n) / base_cpu);
            }
            std::printf("\n");
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> cpu_;
    std::map<std::string, std::map<std::string, double>> real_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    rlimit files{70000, 70000};
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (!MakeNetwork()) {
        std::fprintf(stderr, "cannot make the benchmark's network namespaces (needs root and `ip netns`)\n");
        RemoveNetwork();
        return 1;
    }
    if (!EnterNamespace(kLocalName)) {
        std::fprintf(stderr, "cannot enter %s\n", kLocalName.c_str());
        RemoveNetwork();
        return 1;
    }
    scene.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    ::inet_pton(AF_INET, "10.78.0.1", &address.sin_addr);
    if (::bind(scene.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(scene.listener, 65535) != 0) {
        std::perror("listen");
        RemoveNetwork();
        return 1;
    }

    // Each size is measured in turn, baseline first, so that all three see the same table.
    for (const int n : {100, 1000, 10000}) {
        for (auto [name, function] :
             {std::pair{"BM_BareDump", &BM_BareDump}, std::pair{"BM_ReadTcp", &BM_ReadTcp},
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
    benchmark::RegisterBenchmark("BM_ReadUdp", &BM_ReadUdp)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();

    for (const int fd : scene.clients) ::close(fd);
    ::close(scene.listener);
    RemoveNetwork();
    return 0;
}
