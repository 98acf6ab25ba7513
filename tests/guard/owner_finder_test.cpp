// The guard's answer to Owners: the kernel program's record first, one scan of /proc for the rest,
// and the executables read once per process; all over fakes of the system's side.
#include "owner_finder.h"

#include <gtest/gtest.h>

#include <map>

namespace velmor::guard {
namespace {

// Processes as /proc would show them; counts the reads.
struct FakeProcesses {
    std::map<std::uint32_t, platform::ProcessIdentity> processes;
    int reads = 0;
    ProgramPaths::Reader Reader() {
        return [this](std::uint32_t pid, platform::ProcessIdentity& identity) {
            ++reads;
            const auto found = processes.find(pid);
            if (found == processes.end()) return false;
            identity = found->second;
            return true;
        };
    }
    void Add(std::uint32_t pid, std::uint64_t start, std::string name, std::string path) {
        processes[pid] = {pid, 1000, start, std::move(name), std::move(path)};
    }
};

class FakeKernel final : public KernelOwners {
public:
    std::map<std::uint64_t, ProcessOwner> owners;
    std::optional<ProcessOwner> Lookup(std::uint64_t cookie) const override {
        const auto found = owners.find(cookie);
        if (found == owners.end()) return std::nullopt;
        return found->second;
    }
};

TEST(ProgramPaths, ReadsEachProcessOnceAndNeverNamesAnotherOnesPath) {
    FakeProcesses proc;
    proc.Add(10, 500, "curl", "/usr/bin/curl");
    ProgramPaths paths(proc.Reader(), 2);
    EXPECT_EQ(paths.PathOf(10, 500), "/usr/bin/curl");
    EXPECT_EQ(paths.PathOf(10, 500), "/usr/bin/curl");
    EXPECT_EQ(proc.reads, 1);
    // The pid now belongs to a process that started later: the old one's path is unknown.
    proc.Add(10, 900, "sshd", "/usr/sbin/sshd");
    EXPECT_EQ(paths.PathOf(10, 400), "");
    EXPECT_EQ(paths.PathOf(10, 400), "");
    EXPECT_EQ(proc.reads, 2);  // the miss is kept too
    // A process that is gone has no path.
    EXPECT_EQ(paths.PathOf(77, 1), "");
    // At most two kept: the least recently asked for went first.
    EXPECT_EQ(paths.Size(), 2u);
    EXPECT_EQ(paths.PathOf(10, 400), "");
    EXPECT_EQ(proc.reads, 3);
    EXPECT_EQ(paths.Identity(10)->path, "/usr/sbin/sshd");
    EXPECT_EQ(paths.PathOf(10, 900), "/usr/sbin/sshd");
    EXPECT_EQ(proc.reads, 4);
}

TEST(SystemOwnerFinder, TheKernelsRecordFirstOneScanForTheRest) {
    FakeProcesses proc;
    proc.Add(10, 500, "curl", "/usr/bin/curl");
    proc.Add(20, 600, "python3", "/usr/bin/python3.11");
    ProgramPaths paths(proc.Reader());
    FakeKernel kernel;
    kernel.owners[1] = {10, 1000, 500, "curl"};
    std::vector<std::vector<std::uint64_t>> scans;
    SystemOwnerFinder finder(paths, &kernel, [&](std::span<const std::uint64_t> inodes) {
        scans.emplace_back(inodes.begin(), inodes.end());
        platform::SocketHolderScan scan;
        scan.holders = {{201, 20}, {202, 20}, {203, 99}};
        return scan;
    });
    const std::vector<SocketRef> sockets = {{1, 101}, {2, 201}, {3, 202}, {4, 203}, {5, 0}, {6, 204}};
    const std::vector<OwnerRecord> found = finder.Find(sockets);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].cookie, 1u);
    EXPECT_EQ(found[0].name, "curl");
    EXPECT_EQ(found[0].path, "/usr/bin/curl");
    EXPECT_EQ(found[0].flags, OwnerRecord::kHasOwner);
    EXPECT_EQ(found[1].cookie, 2u);
    EXPECT_EQ(found[1].pid, 20u);
    EXPECT_EQ(found[1].name, "python3");
    EXPECT_EQ(found[1].path, "/usr/bin/python3.11");
    EXPECT_EQ(found[2].cookie, 3u);
    // One scan, for the inodes the kernel did not know; a socket without one is not looked for.
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0], (std::vector<std::uint64_t>{201, 202, 203, 204}));
    // Python's two sockets read its process once; pid 99 is gone and names nobody.
    EXPECT_EQ(proc.reads, 3);
    EXPECT_EQ(finder.GetStats().from_kernel, 1u);
    EXPECT_EQ(finder.GetStats().from_proc, 2u);

    // All known to the kernel: no scan at all.
    EXPECT_EQ(finder.Find(std::vector<SocketRef>{{1, 101}}).size(), 1u);
    EXPECT_EQ(scans.size(), 1u);
    // Without the kernel program everything is looked for in /proc.
    SystemOwnerFinder proc_only(paths, nullptr, [&](std::span<const std::uint64_t> inodes) {
        scans.emplace_back(inodes.begin(), inodes.end());
        return platform::SocketHolderScan{};
    });
    EXPECT_TRUE(proc_only.Find(std::vector<SocketRef>{{1, 101}}).empty());
    EXPECT_EQ(scans.back(), (std::vector<std::uint64_t>{101}));
}

}  // namespace
}  // namespace velmor::guard
