#include "velmor/test/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace velmor::test {

std::string ShellOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
        ::pclose(pipe);
    }
    return out;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int in_pipe[2];
    int out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) return;
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        ::close(in_pipe[0]);
        ::close(in_pipe[1]);
        return;
    }
    std::vector<char*> args;
    std::vector<std::string> storage = argv;
    for (auto& arg : storage) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    pid_ = pid;
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
}

ChildProcess::~ChildProcess() {
    Kill();
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
}

bool ChildProcess::WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    return ::write(stdin_fd_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd entry{stdout_fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t n = ::read(stdout_fd_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<std::vector<std::string>> ChildProcess::Ask(const std::string& command,
                                                          std::chrono::milliseconds timeout) {
    if (!WriteLine(command)) return std::nullopt;
    std::vector<std::string> lines;
    for (;;) {
        auto line = ReadLine(timeout);
        if (!line) return std::nullopt;
        if (*line == "end") return lines;
        // Event lines may come between answers; they are not part of the answer.
        if (line->starts_with("event ")) continue;
        lines.push_back(*line);
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    const bool done = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!done) return std::nullopt;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool LineLog::WaitFor(ChildProcess& child, const std::string& wanted, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        const auto line = child.ReadLine(std::chrono::milliseconds(200));
        if (!line) continue;
        lines_.push_back(*line);
        if (*line == wanted) return true;
    }
    return false;
}

std::string LineLog::Text() const {
    std::string all;
    for (const auto& line : lines_) all += line + "\n";
    return all;
}

void ChildProcess::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!Wait(std::chrono::seconds(3))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

}  // namespace velmor::test
