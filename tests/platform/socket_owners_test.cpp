// Which process holds a socket: the /proc parsers on the kernel's texts, and a scan that finds this
// test's own sockets (no rights needed: a process may read its own descriptors).

#include "velmor/platform/socket_owners.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velmor/test/sockets.h"

namespace velmor::platform {
namespace {

std::uint64_t InodeOf(int fd) {
    struct stat file {};
    EXPECT_EQ(::fstat(fd, &file), 0);
    return file.st_ino;
}

TEST(SocketOwnersParse, SocketLinksAndTheStartField) {
    EXPECT_EQ(SocketInodeOfLink("socket:[12345]"), 12345u);
    EXPECT_EQ(SocketInodeOfLink("socket:[18446744073709551615]"), 18446744073709551615ull);
    for (const char* other : {"pipe:[12345]", "socket:[]", "socket:[12a]", "socket:[12345", "socket:12345]",
                              "/dev/null", "socket:[99999999999999999999]", ""})
        EXPECT_FALSE(SocketInodeOfLink(other).has_value()) << other;

    // Fields are counted from the last ')': a name with blanks and parentheses does not shift them.
    const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654 20 21\n";
    EXPECT_EQ(StartTicksOfStat("1234 (curl)" + tail), 987654u);
    EXPECT_EQ(StartTicksOfStat("1234 (a) (b c))" + tail), 987654u);
    EXPECT_FALSE(StartTicksOfStat("1234 (curl) S 1 2 3").has_value());
    EXPECT_FALSE(
        StartTicksOfStat("1234 curl S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 9 20").has_value());
    EXPECT_FALSE(StartTicksOfStat("1 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 9x 20").has_value());
    // The last field of a line ends at the line's end.
    EXPECT_EQ(StartTicksOfStat("1 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 42\n"), 42u);

    // Nanoseconds since boot in the kernel's clock ticks (100 a second here).
    EXPECT_EQ(BootNanosecondsToTicks(0), 0u);
    EXPECT_EQ(BootNanosecondsToTicks(1'000'000'000ull * 3 + 5),
              3u * static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK)));
}

TEST(SocketOwners, ReadsItsOwnProcess) {
    ProcessIdentity self;
    ASSERT_TRUE(ReadProcessIdentity(static_cast<std::uint32_t>(::getpid()), self));
    EXPECT_EQ(self.pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(self.uid, ::geteuid());
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(self.name, name);
    EXPECT_EQ(self.path, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_GT(self.start_ticks, 0u);

    ProcessIdentity again;
    ASSERT_TRUE(ReadProcessIdentity(self.pid, again, false));
    EXPECT_EQ(again.start_ticks, self.start_ticks);
    EXPECT_TRUE(again.path.empty());

    // A pid that no process has.
    EXPECT_FALSE(ReadProcessIdentity(0x7FFFFFF0u, again));
}

TEST(SocketOwners, FindsTheHolderOfEachSocketAndOnlyForItsUser) {
    std::vector<test::Fd> sockets;
    std::vector<std::uint64_t> inodes;
    for (int i = 0; i < 3; ++i) {
        sockets.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(sockets.back().valid());
        inodes.push_back(InodeOf(sockets.back().get()));
    }
    // An inode no socket has is simply not found.
    inodes.push_back(1);

    SocketHolderScan scan = FindSocketHolders(inodes, {});
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(scan.holders.contains(inodes[i])) << i;
        EXPECT_EQ(scan.holders.at(inodes[i]), static_cast<std::uint32_t>(::getpid()));
    }
    EXPECT_FALSE(scan.holders.contains(1u));
    EXPECT_GT(scan.links, 0u);
    EXPECT_FALSE(scan.cut_short);

    // Limited to another user's processes, this process is not looked at.
    SocketHolderOptions others;
    others.only_uid = ::geteuid() + 1;
    scan = FindSocketHolders(std::span(inodes).first(3), others);
    EXPECT_TRUE(scan.holders.empty());

    SocketHolderOptions mine;
    mine.only_uid = ::geteuid();
    scan = FindSocketHolders(std::span(inodes).first(3), mine);
    EXPECT_EQ(scan.holders.size(), 3u);

    // Found all it was asked for, the scan stops; without time it stops at once.
    SocketHolderOptions no_time;
    no_time.budget = std::chrono::milliseconds(0);
    scan = FindSocketHolders(std::span(inodes).first(3), no_time);
    EXPECT_TRUE(scan.cut_short);
    EXPECT_TRUE(scan.holders.empty());
    EXPECT_TRUE(FindSocketHolders({}, {}).holders.empty());
}

}  // namespace
}  // namespace velmor::platform
