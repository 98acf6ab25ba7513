#pragma once

#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velmor::test {

// The standard output of a shell command, whole (empty when it could not start).
std::string ShellOutput(const std::string& command);

// A child process with pipes on its standard input and output, killed at the end if still running.
class ChildProcess final {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    int pid() const { return pid_; }
    bool WriteLine(const std::string& line);
    // The next line of standard output (without the newline); nullopt on timeout or end of output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Sends `command` and collects the answer lines up to the closing "end".
    std::optional<std::vector<std::string>> Ask(const std::string& command,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the exit; returns the exit status or nullopt on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    void Kill();

private:
    int pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    std::string buffer_;
};

// The lines a child writes, kept as they are read: what a test waits for, and what it shows when
// the wait fails.
class LineLog final {
public:
    // Reads lines of `child` until one is `wanted` or `timeout` has passed; whether it came.
    bool WaitFor(ChildProcess& child, const std::string& wanted, std::chrono::milliseconds timeout);
    // Every line read so far, one a line.
    std::string Text() const;
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
};

// Polls `condition` every 5 ms until it holds or `timeout` passes.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        struct timespec pause = {0, 5'000'000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

}  // namespace velmor::test
