// What the first strike's packet-path programs cost traffic that is not struck: TCP throughput and
// connect rate over loopback and over a veth, with the programs on every interface of the namespace
// and maps of 100,000 blocked and 100,000 exempt addresses, against no programs, in alternating
// rounds of one run. Loads the socket event object and the strike itself (as the guard does), in
// namespaces of its own; nothing else is touched. Needs root.
//
// Usage: bench_strike_cost [ROUNDS]   (default 3; the median of the rounds is reported)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../engine/bench_network.h"
#include "velmor/guard/kernel_strike.h"
#include "velmor/guard/socket_event_source.h"
#include "velmor/test/sockets.h"

namespace {

using namespace velmor;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBytes = 256u << 20;
constexpr int kConnects = 1000;

// Runs `work` on a thread of its own inside `netns`.
template <typename Work>
void In(const std::string& netns, Work work) {
    std::thread worker([&] {
        if (!bench::BenchNetwork::Enter(netns)) {
            std::fprintf(stderr, "cannot enter %s\n", netns.c_str());
            std::exit(1);
        }
        work();
    });
    worker.join();
}

// Megabytes a second from a client in `client_ns` to a listener in `server_ns` on `address`.
double Throughput(const std::string& server_ns, const std::string& client_ns, const char* address,
                  std::uint16_t port) {
    int listener = -1;
    In(server_ns, [&] { listener = bench::ListenOn(port, true); });
    double seconds = 0;
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(1 << 16);
        while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
        }
        ::close(fd);
    });
    In(client_ns, [&] {
        const int fd = test::OpenConnection(address, port, "");
        std::vector<char> buffer(1 << 16, 'v');
        const auto start = Clock::now();
        std::size_t sent = 0;
        while (sent < kBytes) {
            const ssize_t n = ::send(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        ::close(fd);
    });
    server.join();
    ::close(listener);
    return static_cast<double>(kBytes) / (1 << 20) / seconds;
}

// Connections a second (connect, accept, close on both ends) from `client_ns` to `address`.
double ConnectRate(const std::string& server_ns, const std::string& client_ns, const char* address,
                   std::uint16_t port) {
    int listener = -1;
    In(server_ns, [&] { listener = bench::ListenOn(port, true); });
    std::thread server([&] {
        for (int i = 0; i < kConnects; ++i) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0) ::close(fd);
        }
    });
    double seconds = 0;
    In(client_ns, [&] {
        const auto start = Clock::now();
        for (int i = 0; i < kConnects; ++i) {
            const int fd = test::OpenConnection(address, port, "");
            // No TIME_WAIT left behind to run out of ports: the client closes with a reset.
            linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::close(fd);
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    });
    server.join();
    ::close(listener);
    return kConnects / seconds;
}

guard::Address V4(std::uint32_t value) {
    guard::Address a;
    a.family = guard::Address::Family::V4;
    for (int i = 0; i < 4; ++i)
        a.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return a;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    bench::BenchNetwork net;
    if (!net.Make()) {
        std::fprintf(stderr, "cannot make the namespaces (root?)\n");
        return 1;
    }
    // This thread owns the strike, in the monitored namespace, as the guard's does.
    if (!bench::BenchNetwork::Enter(net.local())) return 1;
    guard::SocketEventSource source;
    if (!source.Open()) {
        std::fprintf(stderr, "no socket events: %s\n", source.failure_reason().c_str());
        return 1;
    }
    std::string reason;
    auto strike = guard::KernelStrike::Open(source, reason);
    if (!strike) {
        std::fprintf(stderr, "no first strike: %s\n", reason.c_str());
        return 1;
    }
    // 100,000 blocked addresses from 11.0.0.0 and 100,000 exempt ones from 12.0.0.0 (none of them
    // the namespaces' own), in the pieces a client sends.
    std::vector<guard::Address> blocked;
    std::vector<guard::ExemptRange> exempt;
    for (std::uint32_t i = 0; i < 100'000; ++i) {
        blocked.push_back(V4((11u << 24) + i));
        exempt.push_back({V4((12u << 24) + i), 32});
    }
    if (!strike->Block(blocked) || !strike->UpdateExempt(true, exempt, {})) {
        std::fprintf(stderr, "the maps refused the addresses\n");
        return 1;
    }
    strike->Arm(true);
    std::printf("maps: %zu blocked, %zu exempt\n", strike->BlockedCount(), strike->ExemptCount());

    const char* names[] = {"loopback MB/s", "veth MB/s", "loopback connects/s", "veth connects/s"};
    std::vector<double> without[4], with[4];
    std::uint16_t port = 30000;
    for (int round = 0; round < rounds; ++round) {
        for (const bool attached : {false, true}) {
            if (attached) {
                if (strike->CoverInterfaces() == 0) {
                    std::fprintf(stderr, "the programs could not be attached\n");
                    return 1;
                }
            } else {
                strike->Uncover();
            }
            auto& into = attached ? with : without;
            into[0].push_back(Throughput(net.local(), net.local(), "127.0.0.1", ++port));
            into[1].push_back(
                Throughput(net.local(), net.remote(), bench::BenchNetwork::kLocalAddress, ++port));
            into[2].push_back(ConnectRate(net.local(), net.local(), "127.0.0.1", ++port));
            into[3].push_back(
                ConnectRate(net.local(), net.remote(), bench::BenchNetwork::kLocalAddress, ++port));
        }
    }
    const auto counts = strike->GetCounts();
    strike->Uncover();
    std::printf("%-22s %12s %12s %8s   (median of %d rounds)\n", "", "no programs", "programs", "ratio",
                rounds);
    for (int i = 0; i < 4; ++i) {
        const double a = Median(without[i]), b = Median(with[i]);
        std::printf("%-22s %12.1f %12.1f %8.3f   rounds:", names[i], a, b, b / a);
        for (std::size_t r = 0; r < with[i].size(); ++r) std::printf(" %.0f/%.0f", without[i][r], with[i][r]);
        std::printf("\n");
    }
    std::printf("dropped in the runs: %llu in, %llu out (none expected)\n",
                static_cast<unsigned long long>(counts.dropped_in),
                static_cast<unsigned long long>(counts.dropped_out));
    return 0;
}
