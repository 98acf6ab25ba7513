#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "velmor/guard/guard_service.h"
#include "velmor/platform/socket_owners.h"

namespace velmor::guard {

// A process as the kernel program saw it: the pair of pid and start names it for good.
struct ProcessOwner {
    std::uint32_t pid = 0;
    std::uint32_t uid = 0;
    std::uint64_t start_ticks = 0;  // clock ticks since boot, as /proc/<pid>/stat counts them
    std::string name;
};

// The owners the kernel program keeps for live sockets; nothing without that program.
class KernelOwners {
public:
    virtual ~KernelOwners() = default;
    virtual std::optional<ProcessOwner> Lookup(std::uint64_t cookie) const = 0;
};

// The executables of processes, read from /proc once per process and kept; at most `capacity`
// processes, the least recently asked for going first.
class ProgramPaths final {
public:
    using Reader = std::function<bool(std::uint32_t pid, platform::ProcessIdentity& identity)>;
    static constexpr std::size_t kCapacity = 4096;

    explicit ProgramPaths(Reader reader, std::size_t capacity = kCapacity);

    // The executable of the process `pid` that started at `start_ticks`; empty when it is gone, may
    // not be read, or the pid belongs to another process by now.
    std::string PathOf(std::uint32_t pid, std::uint64_t start_ticks);
    // The process that has `pid` now, its path read or taken from what is kept.
    std::optional<platform::ProcessIdentity> Identity(std::uint32_t pid);

    std::size_t Size() const { return entries_.size(); }
    std::uint64_t Reads() const { return reads_; }

private:
    struct Entry {
        std::uint64_t key;
        std::string path;
    };
    static std::uint64_t Key(std::uint32_t pid, std::uint64_t start_ticks);
    const std::string* Find(std::uint64_t key);
    void Keep(std::uint64_t key, std::string path);

    Reader reader_;
    std::size_t capacity_;
    std::list<Entry> order_;  // most recently asked for first
    std::unordered_map<std::uint64_t, std::list<Entry>::iterator> entries_;
    std::uint64_t reads_ = 0;
};

// The owner record of a process, path included.
OwnerRecord OwnerRecordOf(std::uint64_t cookie, const ProcessOwner& owner, ProgramPaths& paths);

// Answers Owners: the kernel program's record of each socket first, then one scan of /proc/<pid>/fd
// for the sockets it does not know (those older than the guard, UDP sockets, all of them when the
// guard has no BPF rights), bounded in time by the scan.
class SystemOwnerFinder final : public OwnerFinder {
public:
    using Scan = std::function<platform::SocketHolderScan(std::span<const std::uint64_t> inodes)>;

    struct Stats {
        std::uint64_t from_kernel = 0;
        std::uint64_t from_proc = 0;
        std::uint64_t scans = 0;
        std::uint64_t scans_cut_short = 0;
    };

    // `kernel` may be nullptr (no BPF program).
    SystemOwnerFinder(ProgramPaths& paths, const KernelOwners* kernel, Scan scan);

    std::vector<OwnerRecord> Find(std::span<const SocketRef> sockets) override;
    const Stats& GetStats() const { return stats_; }

private:
    ProgramPaths& paths_;
    const KernelOwners* kernel_;
    Scan scan_;
    Stats stats_;
};

}  // namespace velmor::guard
