#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "velmor/platform/socket_owners.h"

namespace velmor::platform {
namespace {

// A directory entry of /proc that names a process; 0 for the rest.
std::uint32_t PidOfName(const char* name) {
    std::uint32_t pid = 0;
    const char* end = name + std::strlen(name);
    const auto [at, error] = std::from_chars(name, end, pid);
    return error == std::errc() && at == end ? pid : 0;
}

class Descriptor final {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The whole of a small /proc file; empty when it cannot be read.
std::string ReadSmallFile(int folder, const char* name) {
    const Descriptor fd(::openat(folder, name, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return {};
    std::string text;
    std::array<char, 1024> chunk;
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n <= 0) break;
        text.append(chunk.data(), static_cast<std::size_t>(n));
        if (text.size() > 64 * 1024) break;
    }
    return text;
}

// Reads the links of one process's descriptors; each socket link whose inode is still wanted is
// taken. False when the descriptors may not be read.
bool ScanDescriptors(int proc, const char* pid_name, std::uint32_t pid,
                     std::unordered_set<std::uint64_t>& wanted, SocketHolderScan& scan) {
    const std::string folder = std::string(pid_name) + "/fd";
    Descriptor fd(::openat(proc, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    DIR* entries = ::fdopendir(fd.get());
    if (entries == nullptr) return false;
    const int folder_fd = fd.release();
    std::array<char, 64> link;
    while (const dirent* entry = ::readdir(entries)) {
        if (entry->d_name[0] == '.') continue;
        const ssize_t length = ::readlinkat(folder_fd, entry->d_name, link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) continue;
        ++scan.links;
        const auto inode = SocketInodeOfLink(std::string_view(link.data(), static_cast<std::size_t>(length)));
        if (!inode || wanted.erase(*inode) == 0) continue;
        scan.holders.emplace(*inode, pid);
        if (wanted.empty()) break;
    }
    ::closedir(entries);
    return true;
}

}  // namespace

std::uint32_t EffectiveUserId() {
    return ::geteuid();
}

std::uint64_t BootNanosecondsToTicks(std::uint64_t nanoseconds) {
    static const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
    const auto per_tick =
        1'000'000'000ull / static_cast<std::uint64_t>(ticks_per_second > 0 ? ticks_per_second : 100);
    return nanoseconds / per_tick;
}

bool ReadProcessIdentity(std::uint32_t pid, ProcessIdentity& identity, bool with_path) {
    const std::string folder = "/proc/" + std::to_string(pid);
    const Descriptor proc(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc.get() < 0) return false;
    struct stat status {};
    if (::fstat(proc.get(), &status) != 0) return false;
    const std::string stat = ReadSmallFile(proc.get(), "stat");
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    const auto start = StartTicksOfStat(stat);
    if (open == std::string::npos || close == std::string::npos || close < open || !start) return false;
    identity = ProcessIdentity{};
    identity.pid = pid;
    identity.uid = status.st_uid;
    identity.start_ticks = *start;
    identity.name = stat.substr(open + 1, close - open - 1);
    if (with_path) {
        std::array<char, 4096> path;
        const ssize_t length = ::readlinkat(proc.get(), "exe", path.data(), path.size());
        if (length > 0 && static_cast<std::size_t>(length) < path.size())
            identity.path.assign(path.data(), static_cast<std::size_t>(length));
    }
    return true;
}

SocketHolderScan FindSocketHolders(std::span<const std::uint64_t> inodes,
                                   const SocketHolderOptions& options) {
    SocketHolderScan scan;
    std::unordered_set<std::uint64_t> wanted(inodes.begin(), inodes.end());
    wanted.erase(0);
    if (wanted.empty()) return scan;
    const auto deadline = std::chrono::steady_clock::now() + options.budget;
    Descriptor proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc.get() < 0) return scan;
    DIR* processes = ::fdopendir(proc.get());
    if (processes == nullptr) return scan;
    const int proc_fd = proc.release();
    while (const dirent* entry = ::readdir(processes)) {
        const std::uint32_t pid = PidOfName(entry->d_name);
        if (pid == 0) continue;
        if (std::chrono::steady_clock::now() >= deadline) {
            scan.cut_short = true;
            break;
        }
        if (options.only_uid) {
            struct stat status {};
            if (::fstatat(proc_fd, entry->d_name, &status, 0) != 0 || status.st_uid != *options.only_uid)
                continue;
        }
        if (ScanDescriptors(proc_fd, entry->d_name, pid, wanted, scan)) ++scan.processes;
        if (wanted.empty()) break;
    }
    ::closedir(processes);
    return scan;
}

}  // namespace velmor::platform
