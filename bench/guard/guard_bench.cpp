// velmor-guard's costs, in namespaces of the benchmark's own (root needed):
//  - from a verdict change to the guard's set holding the address: the enforcement's sync alone, and
//    the whole monitoring tick that follows the change (table read, pass, sync);
//  - one teardown batch through the guard against direct SOCK_DESTROY of the same batch.
// Usage: bench_guard [path of velmor-guard]   (default: ../libexec/velmor-guard beside bench/)
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../engine/bench_host.h"
#include "../engine/bench_network.h"
#include "velmor/engine/enforcement.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/guard/guard_link.h"

namespace {

using Clock = std::chrono::steady_clock;
using velmor::bench::BenchNetwork;

struct Figures {
    double median_us = 0;
    double p90_us = 0;
};

Figures Measure(int rounds, const std::function<void()>& step) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        step();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 9 / 10]};
}

bool SetHolds(const BenchNetwork& net, const std::string& address) {
    const std::string command =
        "ip netns exec " + net.local() + " nft list set inet velmor blocked4 | grep -q '" + address + "'";
    return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string guard = argc > 1 ? argv[1] : (self.parent_path() / "libexec" / "velmor-guard").string();
    BenchNetwork net;
    if (!net.Make()) {
        std::fprintf(stderr, "bench_guard: could not make namespaces (root needed)\n");
        return 1;
    }
    const fs::path folder = fs::temp_directory_path() / ("velmor-guard-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder / "invader");
    const std::string socket = (folder / "guard.sock").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // With the rights of its systemd unit, as the package runs it.
        ::execlp("ip", "ip", "netns", "exec", net.local().c_str(), VELMOR_GUARD_AS_UNIT, guard.c_str(),
                 "--socket", socket.c_str(), "--group", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // The guard serves its own namespace only: the link is made from inside it.
    auto link = velmor::guard::MakeGuardLink(socket);
    bool up = false;
    if (BenchNetwork::Enter(net.local())) {
        for (int i = 0; i < 100 && !(up = link->Connect()); ++i) ::usleep(50'000);
    }
    if (!up) {
        std::fprintf(stderr, "bench_guard: the guard did not come up\n");
        ::kill(pid, SIGTERM);
        return 1;
    }

    // A monitor in the measured namespace, its enforcement through the guard.
    const int listener = velmor::bench::ListenOn(8080);
    std::vector<int> clients;
    net.Connect(8080, 1, false, clients);
    velmor::SystemClock clock;
    auto table = velmor::platform::MakeSystemConnectionTable();
    velmor::rules::RuleStore store(folder);
    velmor::rules::ListModel list(velmor::engine::watch_ip::kColumns, velmor::engine::watch_ip::kAddress);
    velmor::rules::ListModel ports(velmor::engine::watch_port::kColumns, velmor::engine::watch_port::kPort);
    velmor::bench::QuietHost host;
    velmor::bench::YesDialogs dialogs;
    velmor::engine::DefaultRandomSource random;
    velmor::engine::MonitoringCycle cycle(*table, nullptr, store, list, ports, host, dialogs, clock, random);
    velmor::engine::GuardEnforcement enforcement(*link, *table, clock);
    enforcement.EnsureConnected(true);
    cycle.SetEnforcement(&enforcement);
    cycle.TimerGetTable_Timer();
    const int row = list.Find("10.78.0.2");
    if (row < 0) {
        std::fprintf(stderr, "bench_guard: the remote address is not listed\n");
        return 1;
    }

    bool blocked = false;
    auto toggle = [&] {
        blocked = !blocked;
        list.SetCell(list.Find("10.78.0.2"), velmor::engine::watch_ip::kVerdict, blocked ? "차단" : "허용");
    };
    const Figures sync = Measure(400, [&] {
        toggle();
        enforcement.Sync(cycle.Policy(), true, false);
    });
    const bool holds_after_block = [&] {
        if (!blocked) toggle(), enforcement.Sync(cycle.Policy(), true, false);
        return SetHolds(net, "10.78.0.2");
    }();
    const Figures tick = Measure(400, [&] {
        toggle();
        cycle.TimerGetTable_Timer();
    });
    std::printf("verdict change -> set holds the address (checked: %s)\n", holds_after_block ? "yes" : "NO");
    std::printf("  enforcement sync alone: median %.0f us, p90 %.0f us\n", sync.median_us, sync.p90_us);
    std::printf("  whole tick after the change: median %.0f us, p90 %.0f us\n", tick.median_us, tick.p90_us);

    // Teardown batches of connections that are not there: the kernel looks each up and refuses it,
    // so both ways do the same kernel work and the difference is the guard's round trip.
    std::printf("teardown batch: guard round trip vs direct SOCK_DESTROY (median)\n");
    for (const std::size_t size : {1u, 16u, 256u}) {
        std::vector<velmor::platform::SocketId> ids(size);
        for (std::size_t i = 0; i < size; ++i) {
            ids[i].family = AF_INET;
            ids[i].source_port_be = htons(static_cast<std::uint16_t>(20000 + i));
            ids[i].destination_port_be = htons(9);
            ::inet_pton(AF_INET, "10.78.0.1", &ids[i].source[0]);
            ::inet_pton(AF_INET, "10.78.0.2", &ids[i].destination[0]);
        }
        const Figures through_guard = Measure(300, [&] { link->TearDown(ids); });
        const Figures direct = Measure(300, [&] { table->Destroy(ids); });
        std::printf("  %3zu ids: guard %.0f us, direct %.0f us, ratio %.2f\n", size, through_guard.median_us,
                    direct.median_us, through_guard.median_us / direct.median_us);
    }

    cycle.SetEnforcement(nullptr);
    for (int fd : clients) ::close(fd);
    ::close(listener);
    link.reset();
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove_all(folder);
    return 0;
}
