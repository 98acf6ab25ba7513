#pragma once

// The programs under measurement as processes of their own: the headless monitor with a pipe to its
// commands and one from its answers, velmor-guard, and what /proc says of their CPU and memory.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_network.h"

namespace velmor::bench {

// A headless monitor started in a namespace: its commands go to `input`, its answers come on
// `output` (when asked for).
struct MonitorProcess {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

inline MonitorProcess StartMonitor(const std::string& ns, const std::filesystem::path& program,
                                   const std::vector<std::string>& flags, bool answers) {
    int commands[2];
    int replies[2] = {-1, -1};
    if (::pipe2(commands, O_CLOEXEC) != 0) return {};
    if (answers && ::pipe2(replies, O_CLOEXEC) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!BenchNetwork::Enter(ns)) ::_exit(126);
        ::dup2(commands[0], 0);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(answers ? replies[1] : null, 1);
        // Its standard error is kept only when VELMOR_BENCH_STDERR is set (for a look at its trail).
        if (std::getenv("VELMOR_BENCH_STDERR") == nullptr) ::dup2(null, 2);
        std::vector<std::string> arguments{program.string(), "--headless", "--quiet"};
        arguments.insert(arguments.end(), flags.begin(), flags.end());
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(commands[0]);
    if (answers) ::close(replies[1]);
    return {pid, commands[1], replies[0]};
}

inline void StopMonitor(MonitorProcess& monitor) {
    if (monitor.pid <= 0) return;
    const char quit[] = "quit\n";
    if (::write(monitor.input, quit, sizeof quit - 1) < 0) ::kill(monitor.pid, SIGTERM);
    ::close(monitor.input);
    for (int i = 0; i < 250; ++i) {
        if (::waitpid(monitor.pid, nullptr, WNOHANG) == monitor.pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (i == 249) {
            ::kill(monitor.pid, SIGKILL);
            ::waitpid(monitor.pid, nullptr, 0);
        }
    }
    if (monitor.output >= 0) ::close(monitor.output);
    monitor = {};
}

// Sends one command and reads its answer up to the line "end"; false when none came in `timeout`.
inline bool AskMonitor(const MonitorProcess& monitor, const std::string& command, std::string& answer,
                       std::chrono::milliseconds timeout) {
    const std::string line = command + '\n';
    if (::write(monitor.input, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    answer.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "end\n") != 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{monitor.output, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        const ssize_t got = ::read(monitor.output, chunk, sizeof chunk);
        if (got <= 0) return false;
        answer.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

// The number after "NAME " in an answer of the monitor; -1 when it has no such line.
inline long long AnswerField(const std::string& answer, const std::string& name) {
    std::istringstream lines(answer);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(name + ' ', 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
    return -1;
}

// User plus system CPU time of a process, in seconds; -1 when it cannot be read.
inline double CpuSeconds(pid_t pid) {
    char buffer[1024];
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t length = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (length <= 0) return -1;
    const std::string text(buffer, static_cast<std::size_t>(length));
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stoull(field);
        if (index == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The resident memory of a process in KiB (VmRSS); -1 when it cannot be read.
inline long RssKib(pid_t pid) {
    FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    }
    std::fclose(status);
    return kib;
}

// velmor-guard in namespace `ns` on `socket`, with the rights of its systemd unit (as the package runs
// it, through scripts/guard-as-unit.sh); -1 when it does not come up.
inline pid_t StartGuard(const std::string& ns, const std::filesystem::path& guard,
                        const std::string& socket) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!BenchNetwork::Enter(ns)) ::_exit(126);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(VELMOR_GUARD_AS_UNIT, VELMOR_GUARD_AS_UNIT, guard.c_str(), "--socket", socket.c_str(),
                "--group", "0", nullptr);
        ::_exit(127);
    }
    for (int i = 0; i < 250 && !std::filesystem::exists(socket); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (std::filesystem::exists(socket)) return pid;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// CPU of a child that does nothing but sleep 1 ms in a loop, over 10 s.
inline double MeasureBareLoop() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const timespec millisecond{0, 1000000};
        while (true) ::clock_nanosleep(CLOCK_MONOTONIC, 0, &millisecond, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double before = CpuSeconds(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double after = CpuSeconds(pid);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return before < 0 || after < 0 ? -1 : 100.0 * (after - before) / seconds;
}

inline double Percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return -1;
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

}  // namespace velmor::bench
