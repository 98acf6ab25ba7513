#include "owner_finder.h"

#include <utility>

namespace velmor::guard {

ProgramPaths::ProgramPaths(Reader reader, std::size_t capacity)
    : reader_(std::move(reader)), capacity_(capacity == 0 ? 1 : capacity) {}

std::uint64_t ProgramPaths::Key(std::uint32_t pid, std::uint64_t start_ticks) {
    // Pids stay below 2^22 and start ticks below 2^42 for some 139 years of uptime at 1,000 ticks a
    // second; a collision would only name another process's path for a process that is gone.
    return (static_cast<std::uint64_t>(pid) << 42) ^ start_ticks;
}

const std::string* ProgramPaths::Find(std::uint64_t key) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) return nullptr;
    order_.splice(order_.begin(), order_, found->second);
    return &found->second->path;
}

void ProgramPaths::Keep(std::uint64_t key, std::string path) {
    if (const auto found = entries_.find(key); found != entries_.end()) {
        found->second->path = std::move(path);
        order_.splice(order_.begin(), order_, found->second);
        return;
    }
    order_.push_front({key, std::move(path)});
    entries_.emplace(key, order_.begin());
    if (entries_.size() > capacity_) {
        entries_.erase(order_.back().key);
        order_.pop_back();
    }
}

std::string ProgramPaths::PathOf(std::uint32_t pid, std::uint64_t start_ticks) {
    const std::uint64_t key = Key(pid, start_ticks);
    if (const std::string* kept = Find(key)) return *kept;
    platform::ProcessIdentity identity;
    ++reads_;
    // A process that is gone, or a pid taken by another since, is kept as unknown: it is not read
    // again for every socket it had.
    const bool same = reader_(pid, identity) && identity.start_ticks == start_ticks;
    Keep(key, same ? identity.path : std::string());
    if (same) return identity.path;
    return {};
}

std::optional<platform::ProcessIdentity> ProgramPaths::Identity(std::uint32_t pid) {
    platform::ProcessIdentity identity;
    ++reads_;
    if (!reader_(pid, identity)) return std::nullopt;
    Keep(Key(pid, identity.start_ticks), identity.path);
    return identity;
}

OwnerRecord OwnerRecordOf(std::uint64_t cookie, const ProcessOwner& owner, ProgramPaths& paths) {
    OwnerRecord record;
    record.cookie = cookie;
    record.flags = OwnerRecord::kHasOwner;
    record.pid = owner.pid;
    record.uid = owner.uid;
    record.name = owner.name;
    record.path = paths.PathOf(owner.pid, owner.start_ticks);
    return record;
}

SystemOwnerFinder::SystemOwnerFinder(ProgramPaths& paths, const KernelOwners* kernel, Scan scan)
    : paths_(paths), kernel_(kernel), scan_(std::move(scan)) {}

std::vector<OwnerRecord> SystemOwnerFinder::Find(std::span<const SocketRef> sockets) {
    std::vector<OwnerRecord> found;
    std::vector<std::uint64_t> inodes;
    std::vector<const SocketRef*> unknown;
    for (const SocketRef& socket : sockets) {
        if (found.size() >= kMaxOwnerRecords) return found;
        if (kernel_ != nullptr) {
            if (const auto owner = kernel_->Lookup(socket.cookie)) {
                found.push_back(OwnerRecordOf(socket.cookie, *owner, paths_));
                ++stats_.from_kernel;
                continue;
            }
        }
        if (socket.inode != 0) {
            inodes.push_back(socket.inode);
            unknown.push_back(&socket);
        }
    }
    if (inodes.empty() || !scan_) return found;
    // One scan for all of them: it reads every process's descriptors once at most.
    const platform::SocketHolderScan scan = scan_(inodes);
    ++stats_.scans;
    if (scan.cut_short) ++stats_.scans_cut_short;
    std::unordered_map<std::uint32_t, std::optional<platform::ProcessIdentity>> processes;
    for (const SocketRef* socket : unknown) {
        if (found.size() >= kMaxOwnerRecords) break;
        const auto holder = scan.holders.find(socket->inode);
        if (holder == scan.holders.end()) continue;
        auto [process, fresh] = processes.try_emplace(holder->second);
        if (fresh) process->second = paths_.Identity(holder->second);
        if (!process->second) continue;
        const platform::ProcessIdentity& identity = *process->second;
        OwnerRecord record;
        record.cookie = socket->cookie;
        record.flags = OwnerRecord::kHasOwner;
        record.pid = identity.pid;
        record.uid = identity.uid;
        record.name = identity.name;
        record.path = identity.path;
        found.push_back(std::move(record));
        ++stats_.from_proc;
    }
    return found;
}

}  // namespace velmor::guard
