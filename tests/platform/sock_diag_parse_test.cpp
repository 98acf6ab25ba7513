// The sock_diag byte parser over recorded kernel dumps and hand-made damaged ones.

#include "sock_diag_parse.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "velmor/test/netlink_reply.h"
#include "velmor/test/socket_checks.h"

namespace velmor::platform::sockdiag {
namespace {

using test::AllRows;
using test::Bytes;
using Reply = test::NetlinkReply;

Bytes ReadData(const char* name) {
    // Beside this file; CTest does not hand every test the source folder's variable.
    const char* source = std::getenv("VELMOR_SOURCE_DIR");
    const std::filesystem::path folder = source != nullptr
                                             ? std::filesystem::path(source) / "tests/platform/data"
                                             : std::filesystem::path(__FILE__).parent_path() / "data";
    std::ifstream in(folder / name, std::ios::binary);
    EXPECT_TRUE(in.good()) << "missing replay data " << (folder / name);
    const std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes bytes(chars.size());
    std::memcpy(bytes.data(), chars.data(), chars.size());
    return bytes;
}

std::uint32_t FirstSequence(const Bytes& dump) {
    nlmsghdr header{};
    if (dump.size() >= sizeof header) std::memcpy(&header, dump.data(), sizeof header);
    return header.nlmsg_seq;
}

std::uint32_t Address(const char* text) {
    in_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1);
    return address.s_addr;
}

auto Row(std::uint32_t state, const char* local, std::uint16_t local_port, const char* remote,
         std::uint16_t remote_port) {
    return std::make_tuple(state, Address(local), std::uint32_t{htons(local_port)}, Address(remote),
                           std::uint32_t{htons(remote_port)});
}

auto AllFields(const TcpTable& table) {
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> result;
    for (const TcpRow& row : table.rows) {
        result.emplace_back(row.dwState, row.dwLocalAddr, row.dwLocalPort, row.dwRemoteAddr,
                            row.dwRemotePort);
    }
    return result;
}

// A real reply of the kernel, recorded in a namespace holding an IPv4 listener on port 80 with a
// remote client (10.77.0.2:40001), a dual-stack listener on 8080 with an IPv4 remote client
// (10.77.0.2:40002), an IPv6-only conversation on ::1 and an IPv4 loopback conversation.
TEST(SockDiagReplay, RecordedDumpGivesIpv4MappedAndIpv6RowsInOrder) {
    const Bytes tcp4 = ReadData("scene_tcp4.bin");
    const Bytes tcp6 = ReadData("scene_tcp6.bin");
    TcpTable table;
    DumpTarget v4;
    v4.table = &table;
    EXPECT_EQ(ParseDump(tcp4, FirstSequence(tcp4), v4), DumpStatus::kDone);
    DumpTarget v6;
    v6.table = &table;
    EXPECT_EQ(ParseDump(tcp6, FirstSequence(tcp6), v6), DumpStatus::kDone);
    EXPECT_EQ(v4.rows, 4u);
    EXPECT_EQ(v6.rows, 5u);  // the mapped conversation becomes an IPv4 row, the other four stay IPv6
    TcpRowSorter().Sort(table);
    // IPv4 rows first, then the IPv6 ones, each part in address and port order.
    EXPECT_THAT(
        AllRows(table),
        testing::ElementsAre("2 0.0.0.0:80 0.0.0.0:0", "5 10.77.0.1:80 10.77.0.2:40001",
                             "5 10.77.0.1:8080 10.77.0.2:40002", "5 127.0.0.1:80 127.0.0.1:40004",
                             "5 127.0.0.1:40004 127.0.0.1:80", "2 [::]:8080 [::]:0", "2 [::1]:9090 [::]:0",
                             "5 [::1]:9090 [::1]:40003", "5 [::1]:40003 [::1]:9090"));
    ASSERT_EQ(table.ids.size(), 9u);
    // The mapped row keeps what SOCK_DESTROY needs: its IPv6 family and its ::ffff: addresses.
    const SocketId& mapped = table.ids[2];
    EXPECT_EQ(mapped.family, AF_INET6);
    EXPECT_EQ(mapped.source[2], htonl(0xFFFF));
    EXPECT_EQ(mapped.source[3], Address("10.77.0.1"));
    EXPECT_EQ(mapped.destination[3], Address("10.77.0.2"));
    EXPECT_EQ(mapped.destination_port_be, htons(40002));
    EXPECT_NE(mapped.cookie[0] | mapped.cookie[1], 0u);
}

// The same scene asked for with the single-walk request: one reply holds both families, its
// messages typed TCPDIAG_GETSOCK.
TEST(SockDiagReplay, SingleWalkDumpGivesTheSameRows) {
    const Bytes single = ReadData("scene_tcp_single.bin");
    TcpTable table;
    DumpTarget target;
    target.table = &table;
    EXPECT_EQ(ParseDump(single, FirstSequence(single), target), DumpStatus::kDone);
    EXPECT_EQ(target.rows, 9u);
    TcpRowSorter().Sort(table);
    EXPECT_THAT(
        AllRows(table),
        testing::ElementsAre("2 0.0.0.0:80 0.0.0.0:0", "5 10.77.0.1:80 10.77.0.2:40001",
                             "5 10.77.0.1:8080 10.77.0.2:40002", "5 127.0.0.1:80 127.0.0.1:40004",
                             "5 127.0.0.1:40004 127.0.0.1:80", "2 [::]:8080 [::]:0", "2 [::1]:9090 [::]:0",
                             "5 [::1]:9090 [::1]:40003", "5 [::1]:40003 [::1]:9090"));
    ASSERT_EQ(table.ids.size(), 9u);
    EXPECT_EQ(table.ids[1].family, AF_INET);
    EXPECT_EQ(table.ids[2].family, AF_INET6);
}

TEST(SockDiagReplay, EveryTruncationIsMalformedOrUnfinishedNeverDone) {
    const Bytes dump = ReadData("scene_tcp6.bin");
    ASSERT_GT(dump.size(), 100u);
    const std::uint32_t sequence = FirstSequence(dump);
    for (std::size_t length = 0; length < dump.size(); ++length) {
        DumpTarget target;
        const DumpStatus status = ParseDump(std::span(dump.data(), length), sequence, target);
        EXPECT_TRUE(status == DumpStatus::kMalformed || status == DumpStatus::kMore) << "cut at " << length;
    }
    // Fed in two pieces split at a message boundary, the same dump still completes.
    nlmsghdr first{};
    std::memcpy(&first, dump.data(), sizeof first);
    DumpTarget target;
    EXPECT_EQ(ParseDump(std::span(dump.data(), first.nlmsg_len), sequence, target), DumpStatus::kMore);
    EXPECT_EQ(ParseDump(std::span(dump).subspan(first.nlmsg_len), sequence, target), DumpStatus::kDone);
    EXPECT_EQ(target.rows, 5u);
}

TEST(SockDiagParse, MappedRowsBecomeIpv4AndPureIpv6RowsStayIpv6) {
    const Bytes reply = Reply(5)
                            .Socket(AF_INET6, TCP_ESTABLISHED, "::ffff:10.0.0.1", 80, "::ffff:10.0.0.9", 1043)
                            .Socket(AF_INET6, TCP_LISTEN, "::ffff:10.0.0.1", 81, "::", 0)
                            .Socket(AF_INET6, TCP_LISTEN, "::", 82, "::", 0)
                            .Socket(AF_INET6, TCP_ESTABLISHED, "::ffff:10.0.0.1", 83, "2001:db8::1", 1)
                            .Socket(AF_INET6, TCP_ESTABLISHED, "::1", 84, "::1", 2)
                            .Socket(AF_INET6, TCP_ESTABLISHED, "::10.0.0.1", 85, "::10.0.0.2", 3)
                            .Socket(AF_INET6, TCP_ESTABLISHED, "fd00:77::1", 80, "fd00:77::2", 40000)
                            .Done()
                            .bytes();
    TcpTable table;
    DumpTarget target;
    target.table = &table;
    EXPECT_EQ(ParseDump(reply, 5, target), DumpStatus::kDone);
    // Only rows whose both ends are mapped (or one end unspecified) talk IPv4; a mapped address
    // facing a real IPv6 one and the old IPv4-compatible form are IPv6 rows.
    EXPECT_THAT(
        AllRows(table),
        testing::ElementsAre("5 10.0.0.1:80 10.0.0.9:1043", "2 10.0.0.1:81 0.0.0.0:0", "2 [::]:82 [::]:0",
                             "5 [::ffff:10.0.0.1]:83 [2001:db8::1]:1", "5 [::1]:84 [::1]:2",
                             "5 [::10.0.0.1]:85 [::10.0.0.2]:3", "5 [fd00:77::1]:80 [fd00:77::2]:40000"));
    EXPECT_EQ(target.rows, 7u);
    // IPv6 rows leave the IPv4 fields empty, and their ids keep the family for SOCK_DESTROY.
    EXPECT_EQ(table.rows[6].dwRemoteAddr, 0u);
    EXPECT_EQ(table.ids[6].family, AF_INET6);
    // Sorted, the IPv4 rows come first and the IPv6 ones follow in address order.
    TcpRowSorter().Sort(table);
    EXPECT_THAT(AllRows(table), testing::ElementsAre("5 10.0.0.1:80 10.0.0.9:1043", "2 10.0.0.1:81 0.0.0.0:0",
                                                     "2 [::]:82 [::]:0", "5 [::1]:84 [::1]:2",
                                                     "5 [::10.0.0.1]:85 [::10.0.0.2]:3",
                                                     "5 [::ffff:10.0.0.1]:83 [2001:db8::1]:1",
                                                     "5 [fd00:77::1]:80 [fd00:77::2]:40000"));
}

TEST(SockDiagParse, KernelAnswersAndDamagedMessages) {
    // Errors: a refused dump, one refused through DONE, and acknowledgements, which end nothing.
    {
        DumpTarget target;
        EXPECT_EQ(ParseDump(Reply(1).Error(-EPERM).bytes(), 1, target), DumpStatus::kError);
        EXPECT_EQ(target.error, EPERM);
    }
    for (const int nonsense : {std::numeric_limits<int>::min(), 5}) {
        DumpTarget target;
        EXPECT_EQ(ParseDump(Reply(1).Error(nonsense).bytes(), 1, target), DumpStatus::kError);
        EXPECT_GT(target.error, 0);
    }
    {
        DumpTarget target;
        EXPECT_EQ(ParseDump(Reply(1).Done(std::numeric_limits<int>::min()).bytes(), 1, target),
                  DumpStatus::kError);
        EXPECT_GT(target.error, 0);
    }
    {
        DumpTarget target;
        EXPECT_EQ(ParseDump(Reply(1).Done(-ENOMEM).bytes(), 1, target), DumpStatus::kError);
        EXPECT_EQ(target.error, ENOMEM);
    }
    {
        DumpTarget target;
        const Bytes reply =
            Reply(1).Error(0).Socket(AF_INET, TCP_LISTEN, "0.0.0.0", 80, "0.0.0.0", 0).bytes();
        EXPECT_EQ(ParseDump(reply, 1, target), DumpStatus::kMore);
        EXPECT_EQ(target.rows, 1u);
    }
    // An error message too short to hold its error code is not read past its end.
    {
        DumpTarget target;
        EXPECT_EQ(ParseDump(Reply(1).Error(-EPERM, 2).bytes(), 1, target), DumpStatus::kMalformed);
        EXPECT_EQ(target.error, 0);
    }
    // A diag message shorter than its fixed part.
    {
        const inet_diag_msg message{};
        DumpTarget target;
        const Bytes reply = Reply(1).Message(SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, &message, 40).Done().bytes();
        EXPECT_EQ(ParseDump(reply, 1, target), DumpStatus::kMalformed);
    }
    // Length fields below the header size or beyond the buffer.
    for (const std::uint32_t length : {0u, 8u, 15u, 4096u}) {
        Bytes reply = Reply(1).Socket(AF_INET, TCP_LISTEN, "0.0.0.0", 80, "0.0.0.0", 0).Done().bytes();
        std::memcpy(reply.data(), &length, sizeof length);
        DumpTarget target;
        EXPECT_EQ(ParseDump(reply, 1, target), DumpStatus::kMalformed) << length;
    }
    // Trailing bytes too few for a header.
    {
        Bytes reply = Reply(1).Socket(AF_INET, TCP_LISTEN, "0.0.0.0", 80, "0.0.0.0", 0).bytes();
        reply.resize(reply.size() + 8);
        DumpTarget target;
        EXPECT_EQ(ParseDump(reply, 1, target), DumpStatus::kMalformed);
    }
}

// Each row's details: the socket's inode and user always, its byte counts from a TCP info attribute
// long enough to hold them; an older kernel's short info, or attributes with impossible lengths,
// leave the counts unreported but the row standing.
TEST(SockDiagParse, DetailsCarryInodeUserAndTheByteCountsOfTheTcpInfo) {
    Bytes reply =
        Reply(1)
            .SocketWithInfo(AF_INET, TCP_ESTABLISHED, "10.0.0.1", 80, "10.0.0.2", 1000, 4711, 1000, 232,
                            5'000'000'000ull, 77)
            .SocketWithInfo(AF_INET, TCP_ESTABLISHED, "10.0.0.1", 81, "10.0.0.2", 1001, 4712, 0, 128, 1, 2)
            .SocketWithInfo(AF_INET6, TCP_LISTEN, "::", 82, "::", 0, 4713, 33, 0, 0, 0)
            .SocketWithInfo(AF_INET, TCP_ESTABLISHED, "10.0.0.1", 83, "10.0.0.2", 1003, 4714, 7, 232, 9, 9)
            .Done()
            .bytes();
    // The last socket's attribute claims more bytes than its message holds.
    const std::size_t last =
        reply.size() - NLMSG_ALIGN(NLMSG_LENGTH(sizeof(int))) - NLMSG_ALIGN(232) - RTA_LENGTH(0);
    const unsigned short too_long = 4000;
    std::memcpy(reply.data() + last, &too_long, sizeof too_long);
    TcpTable table;
    DumpTarget target;
    target.table = &table;
    ASSERT_EQ(ParseDump(reply, 1, target), DumpStatus::kDone);
    ASSERT_EQ(table.details.size(), 4u);
    EXPECT_EQ(table.details[0].inode, 4711u);
    EXPECT_EQ(table.details[0].uid, 1000u);
    EXPECT_TRUE(table.details[0].has_counts);
    EXPECT_EQ(table.details[0].bytes_received, 5'000'000'000ull);
    EXPECT_EQ(table.details[0].bytes_sent, 77u);
    EXPECT_FALSE(table.details[1].has_counts);  // 128 bytes: the received count is cut off
    EXPECT_EQ(table.details[1].inode, 4712u);
    EXPECT_FALSE(table.details[2].has_counts);
    EXPECT_EQ(table.details[2].uid, 33u);
    EXPECT_FALSE(table.details[3].has_counts);
    EXPECT_EQ(table.details[3].inode, 4714u);

    // The details move with their rows when the table is sorted.
    TcpRowSorter().Sort(table);
    ASSERT_EQ(table.details.size(), table.rows.size());
    for (std::size_t i = 0; i < table.rows.size(); ++i)
        EXPECT_EQ(table.details[i].inode,
                  4711u + (ntohs(static_cast<std::uint16_t>(table.rows[i].dwLocalPort)) - 80u));
}

TEST(SockDiagParse, StaleMessagesAreSkippedAndInterruptedDumpsAreFlagged) {
    const Bytes reply =
        Reply(8)
            .Socket(AF_INET, TCP_ESTABLISHED, "10.0.0.1", 80, "10.0.0.2", 1000)
            .Error(-EPERM)  // an answer to an older request
            .Sequence(9)
            .Socket(AF_INET, TCP_ESTABLISHED, "10.0.0.1", 80, "10.0.0.3", 1000)
            .Socket(AF_INET, TCP_ESTABLISHED, "10.0.0.1", 80, "10.0.0.4", 1000, NLM_F_MULTI | NLM_F_DUMP_INTR)
            .Done()
            .bytes();
    TcpTable table;
    DumpTarget target;
    target.table = &table;
    EXPECT_EQ(ParseDump(reply, 9, target), DumpStatus::kInterrupted);
    EXPECT_TRUE(target.interrupted);
    EXPECT_THAT(AllFields(table), testing::ElementsAre(Row(5, "10.0.0.1", 80, "10.0.0.3", 1000),
                                                       Row(5, "10.0.0.1", 80, "10.0.0.4", 1000)));
    // Bytes after DONE belong to nothing and are not read.
    Bytes tail = Reply(3).Done().bytes();
    tail.resize(tail.size() + 3, std::byte{0xFF});
    DumpTarget after;
    EXPECT_EQ(ParseDump(tail, 3, after), DumpStatus::kDone);
}

TEST(SockDiagParse, LinuxStatesMapToTheTableStateNumbers) {
    EXPECT_EQ(MibTcpState(TCP_ESTABLISHED), 5u);
    EXPECT_EQ(MibTcpState(TCP_SYN_SENT), 3u);
    EXPECT_EQ(MibTcpState(TCP_SYN_RECV), 4u);
    EXPECT_EQ(MibTcpState(TCP_FIN_WAIT1), 6u);
    EXPECT_EQ(MibTcpState(TCP_FIN_WAIT2), 7u);
    EXPECT_EQ(MibTcpState(TCP_TIME_WAIT), 11u);
    EXPECT_EQ(MibTcpState(TCP_CLOSE), 1u);
    EXPECT_EQ(MibTcpState(TCP_CLOSE_WAIT), 8u);
    EXPECT_EQ(MibTcpState(TCP_LAST_ACK), 10u);
    EXPECT_EQ(MibTcpState(TCP_LISTEN), 2u);
    EXPECT_EQ(MibTcpState(TCP_CLOSING), 9u);
    EXPECT_EQ(MibTcpState(12), 4u);  // TCP_NEW_SYN_RECV, a half-open request
    EXPECT_EQ(MibTcpState(200), 1u);
}

TEST(SockDiagParse, SortComparesHostOrderNumbersAndKeepsIdsWithTheirRows) {
    TcpTable table;
    DumpTarget target;
    target.table = &table;
    // As raw network-order words, 10.0.0.2 < 9.0.0.1 and port 256 < port 2; as numbers, the reverse.
    const Bytes reply = Reply(1)
                            .Socket(AF_INET, TCP_ESTABLISHED, "10.0.0.2", 2, "1.1.1.1", 1)
                            .Socket(AF_INET, TCP_ESTABLISHED, "9.0.0.1", 256, "1.1.1.1", 1)
                            .Socket(AF_INET, TCP_ESTABLISHED, "9.0.0.1", 2, "1.1.1.1", 513)
                            .Socket(AF_INET, TCP_ESTABLISHED, "9.0.0.1", 2, "1.1.1.1", 2)
                            .Socket(AF_INET, TCP_TIME_WAIT, "9.0.0.1", 2, "1.1.1.1", 2)
                            .Done()
                            .bytes();
    ASSERT_EQ(ParseDump(reply, 1, target), DumpStatus::kDone);
    TcpRowSorter sorter;
    sorter.Sort(table);
    EXPECT_THAT(
        AllFields(table),
        testing::ElementsAre(Row(5, "9.0.0.1", 2, "1.1.1.1", 2), Row(11, "9.0.0.1", 2, "1.1.1.1", 2),
                             Row(5, "9.0.0.1", 2, "1.1.1.1", 513), Row(5, "9.0.0.1", 256, "1.1.1.1", 1),
                             Row(5, "10.0.0.2", 2, "1.1.1.1", 1)));
    // Cookies were numbered in dump order; each must still sit beside its own row.
    std::vector<std::uint32_t> cookies;
    for (const SocketId& id : table.ids) cookies.push_back(id.cookie[0]);
    EXPECT_THAT(cookies, testing::ElementsAre(4u, 5u, 3u, 2u, 1u));
    EXPECT_EQ(table.dwNumEntries, 5u);
}

}  // namespace
}  // namespace velmor::platform::sockdiag
