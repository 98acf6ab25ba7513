#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

// Which process holds a socket, found the way the system's socket tools do it (ss -p, netstat -p):
// every socket a process holds is a link "socket:[inode]" in /proc/<pid>/fd, and the connection
// table names each socket's inode. Linux only (the Windows build has no attribution yet).
namespace velmor::platform {

// A process as /proc shows it.
struct ProcessIdentity {
    std::uint32_t pid = 0;  // the thread group (the process), not a thread
    std::uint32_t uid = 0;  // the owner of /proc/<pid>: its effective user
    // When it started, in clock ticks since boot (/proc/<pid>/stat field 22): a pid is used again
    // once its process is gone, the pair of pid and start names one process for good.
    std::uint64_t start_ticks = 0;
    std::string name;  // the thread group's name (comm), at most 15 bytes
    std::string path;  // the executable (/proc/<pid>/exe); empty when it may not be read
};

// Reads one process: false when it is gone or cannot be read at all. Without `with_path` the
// executable is left empty (one system call less).
bool ReadProcessIdentity(std::uint32_t pid, ProcessIdentity& identity, bool with_path = true);

// The process's start time as the kernel keeps it (nanoseconds of CLOCK_BOOTTIME) in the clock
// ticks /proc/<pid>/stat counts, so that a start time taken in the kernel can be compared with it.
std::uint64_t BootNanosecondsToTicks(std::uint64_t nanoseconds);

// The user this process runs as (its effective user): the owner of the processes it may read.
std::uint32_t EffectiveUserId();

struct SocketHolderOptions {
    // Only processes that this user owns (what an unprivileged caller may read); nullopt: all.
    std::optional<std::uint32_t> only_uid;
    // The longest a scan may take; it stops there with what it found so far.
    std::chrono::milliseconds budget{200};
};

struct SocketHolderScan {
    std::unordered_map<std::uint64_t, std::uint32_t> holders;  // socket inode -> pid
    std::size_t processes = 0;                                 // processes whose descriptors were read
    std::size_t links = 0;                                     // descriptor links read
    bool cut_short = false;  // the budget ran out before every process was looked at
};

// Finds, for each socket inode in `inodes`, a process that holds it (the first one met when several
// share it), reading /proc/<pid>/fd until every one is found, the processes end, or the budget runs
// out. Processes this caller may not read are passed over.
SocketHolderScan FindSocketHolders(std::span<const std::uint64_t> inodes, const SocketHolderOptions& options);

// The parsers under both, on the text the kernel writes.
// The inode of a descriptor link "socket:[12345]"; nullopt for any other link.
std::optional<std::uint64_t> SocketInodeOfLink(std::string_view link);
// Field 22 (starttime) of /proc/<pid>/stat; the name in field 2 may hold blanks and parentheses.
std::optional<std::uint64_t> StartTicksOfStat(std::string_view stat);

}  // namespace velmor::platform
