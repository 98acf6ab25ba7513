#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "velmor/platform/process.h"

extern char** environ;

namespace velmor::platform {
namespace {

std::mutex children_mutex;
std::vector<pid_t> running_children;

int ReapLocked() {
    std::erase_if(running_children, [](pid_t pid) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        return result == pid || (result < 0 && errno == ECHILD);
    });
    return static_cast<int>(running_children.size());
}

}  // namespace

bool StartDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_folder) {
    std::vector<std::string> argv_storage;
    argv_storage.reserve(arguments.size() + 1);
    argv_storage.push_back(program.string());
    argv_storage.insert(argv_storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& item : argv_storage) argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (!working_folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
    // A new session, and the default signal mask and dispositions, so the child is not tied to us.
    sigset_t no_signals;
    sigset_t default_signals;
    sigemptyset(&no_signals);
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    sigaddset(&default_signals, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);

    std::lock_guard lock(children_mutex);
    ReapLocked();
    if (error != 0) return false;
    running_children.push_back(pid);
    return true;
}

int ReapDetachedChildren() {
    std::lock_guard lock(children_mutex);
    return ReapLocked();
}

}  // namespace velmor::platform
