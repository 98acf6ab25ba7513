// The reading policy of the connection table and the socket lookup, driven by scripted datagrams:
// which requests go out, when a dump is taken again, when the reader falls back or gives up.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sock_diag_parse.h"
#include "velmor/platform/socket_lookup.h"
#include "velmor/test/netlink_reply.h"
#include "velmor/test/scripted_channel.h"
#include "velmor/test/socket_checks.h"

namespace velmor::platform::sockdiag {
namespace {

using test::AllRows;
using test::Bytes;
using test::NetlinkReply;
using test::ScriptedChannel;
using testing::ElementsAre;
using testing::IsEmpty;

// A request as the kernel would read it: "tcp-single", or "<protocol> <family>" for a dump by
// family, or "destroy xN" for a batch of N teardown requests.
std::string Describe(const Bytes& request) {
    nlmsghdr header{};
    if (request.size() < sizeof header) return "short";
    std::memcpy(&header, request.data(), sizeof header);
    if (header.nlmsg_type == TCPDIAG_GETSOCK) return "tcp-single";
    if (header.nlmsg_type == SOCK_DESTROY) {
        return "destroy x" + std::to_string(request.size() / NLMSG_ALIGN(header.nlmsg_len));
    }
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || request.size() < NLMSG_LENGTH(sizeof(inet_diag_req_v2))) {
        return "other";
    }
    inet_diag_req_v2 body{};
    std::memcpy(&body, request.data() + NLMSG_HDRLEN, sizeof body);
    std::string text = body.sdiag_protocol == IPPROTO_TCP   ? "tcp"
                       : body.sdiag_protocol == IPPROTO_UDP ? "udp"
                                                            : "?";
    text += body.sdiag_family == AF_INET ? " 4" : body.sdiag_family == AF_INET6 ? " 6" : " ?";
    if ((header.nlmsg_flags & NLM_F_DUMP) != NLM_F_DUMP) text += " exact";
    return text;
}

std::vector<std::string> Requests(const ScriptedChannel& channel) {
    std::vector<std::string> result;
    for (const Bytes& request : channel.requests()) result.push_back(Describe(request));
    return result;
}

// One IPv4 and one IPv6 conversation, as one datagram.
Bytes Both() {
    return NetlinkReply()
        .Socket(AF_INET6, TCP_ESTABLISHED, "fd00:77::1", 443, "fd00:77::2", 50000, NLM_F_MULTI,
                TCPDIAG_GETSOCK)
        .Socket(AF_INET, TCP_ESTABLISHED, "10.77.0.1", 80, "10.77.0.2", 40000, NLM_F_MULTI, TCPDIAG_GETSOCK)
        .Done()
        .bytes();
}

Bytes Ipv4(std::uint16_t remote_port, std::uint16_t flags = NLM_F_MULTI) {
    return NetlinkReply()
        .Socket(AF_INET, TCP_ESTABLISHED, "10.77.0.1", 80, "10.77.0.2", remote_port, flags)
        .bytes();
}

Bytes Ipv6(std::uint16_t remote_port) {
    return NetlinkReply()
        .Socket(AF_INET6, TCP_LISTEN, "::", 22, "::", 0)
        .Socket(AF_INET6, TCP_ESTABLISHED, "fd00:77::1", 22, "fd00:77::2", remote_port)
        .bytes();
}

Bytes Done() {
    return NetlinkReply().Done().bytes();
}

Bytes Interrupted(std::uint16_t remote_port) {
    return NetlinkReply()
        .Socket(AF_INET, TCP_ESTABLISHED, "10.77.0.1", 80, "10.77.0.2", remote_port,
                NLM_F_MULTI | NLM_F_DUMP_INTR)
        .Done()
        .bytes();
}

Bytes Refused(int error) {
    return NetlinkReply().Error(-error).bytes();
}

struct Reader {
    explicit Reader(TcpRequest request) {
        auto owned = std::make_unique<ScriptedChannel>();
        channel = owned.get();
        table = MakeConnectionTable(request, std::move(owned));
    }
    ScriptedChannel* channel;
    std::unique_ptr<ConnectionTable> table;
};

TEST(SockDiagReader, SingleWalkReadsBothFamiliesAndFallsBackForGoodWhenRefused) {
    {
        Reader reader(TcpRequest::kSingleWalk);
        reader.channel->Datagram(Both());
        TcpTable table;
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table),
                    ElementsAre("5 10.77.0.1:80 10.77.0.2:40000", "5 [fd00:77::1]:443 [fd00:77::2]:50000"));
        EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp-single"));
    }
    // A kernel without the older request refuses it: the same read asks per family, and so does
    // every later one.
    Reader reader(TcpRequest::kSingleWalk);
    reader.channel->Datagram(Refused(EINVAL))
        .Datagram(Ipv4(40000))
        .Datagram(Done())
        .Datagram(Ipv6(50000))
        .Datagram(Done());
    TcpTable table;
    ASSERT_TRUE(reader.table->ReadTcp(table));
    EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:40000", "2 [::]:22 [::]:0",
                                            "5 [fd00:77::1]:22 [fd00:77::2]:50000"));
    reader.channel->Datagram(NetlinkReply().Done().bytes()).Datagram(Done());
    ASSERT_TRUE(reader.table->ReadTcp(table));
    EXPECT_THAT(AllRows(table), IsEmpty());
    EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp-single", "tcp 4", "tcp 6", "tcp 4", "tcp 6"));
    EXPECT_EQ(reader.channel->unscripted_receives(), 0);
}

TEST(SockDiagReader, RowsOfARefusedSingleWalkAreNotKept) {
    // The kernel may refuse a walk it has begun (an error in DONE); what it sent before is dropped.
    Reader reader(TcpRequest::kSingleWalk);
    reader.channel
        ->Datagram(NetlinkReply()
                       .Socket(AF_INET, TCP_ESTABLISHED, "10.77.0.1", 80, "10.77.0.9", 1, NLM_F_MULTI,
                               TCPDIAG_GETSOCK)
                       .Done(-ENOMEM)
                       .bytes())
        .Datagram(Ipv4(40000))
        .Datagram(Done())
        .Datagram(Done());
    TcpTable table;
    ASSERT_TRUE(reader.table->ReadTcp(table));
    EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:40000"));
    EXPECT_EQ(table.ids.size(), 1u);
}

TEST(SockDiagReader, InterruptedDumpsAreTakenAgainFourTimesAtMost) {
    // Per family: two interrupted IPv4 dumps, then a sound one; only its rows stay.
    {
        Reader reader(TcpRequest::kPerFamily);
        reader.channel->Datagram(Interrupted(1)).Datagram(Interrupted(2)).Datagram(Ipv4(3)).Datagram(Done());
        reader.channel->Datagram(Done());
        TcpTable table;
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:3"));
        EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp 4", "tcp 4", "tcp 4", "tcp 6"));
    }
    // Interrupted every time: the fourth dump is kept as it is, and no fifth is asked for.
    {
        Reader reader(TcpRequest::kPerFamily);
        for (std::uint16_t port = 1; port <= 4; ++port) reader.channel->Datagram(Interrupted(port));
        reader.channel->Datagram(Done());
        TcpTable table;
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:4"));
        EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp 4", "tcp 4", "tcp 4", "tcp 4", "tcp 6"));
    }
    // The single walk the same way.
    {
        Reader reader(TcpRequest::kSingleWalk);
        for (std::uint16_t port = 1; port <= 4; ++port) reader.channel->Datagram(Interrupted(port));
        TcpTable table;
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:4"));
        EXPECT_THAT(Requests(*reader.channel),
                    ElementsAre("tcp-single", "tcp-single", "tcp-single", "tcp-single"));
        EXPECT_EQ(reader.channel->unscripted_receives(), 0);
    }
}

TEST(SockDiagReader, AnOverrunSocketIsReplacedAndTheDumpTakenAgain) {
    Reader reader(TcpRequest::kPerFamily);
    // ENOBUFS in the middle of the IPv4 dump: its first part is dropped, the socket replaced.
    reader.channel->Datagram(Ipv4(1)).ReceiveFails(ENOBUFS).Datagram(Ipv4(2)).Datagram(Done());
    reader.channel->Datagram(Ipv6(50000)).Datagram(Done());
    TcpTable table;
    ASSERT_TRUE(reader.table->ReadTcp(table));
    EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:2", "2 [::]:22 [::]:0",
                                            "5 [fd00:77::1]:22 [fd00:77::2]:50000"));
    EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp 4", "tcp 4", "tcp 6"));
    EXPECT_EQ(reader.channel->closes(), 1);
    EXPECT_EQ(reader.channel->opens(), 2);
}

// Unlike an interrupted dump, an overrun one is short of rows: when the last retake overruns too,
// the read fails rather than pass off the rows that did arrive as the whole table.
TEST(SockDiagReader, AnOverrunOnTheLastRetakeLosesTheRead) {
    for (const TcpRequest request : {TcpRequest::kPerFamily, TcpRequest::kSingleWalk}) {
        SCOPED_TRACE(request == TcpRequest::kPerFamily ? "per family" : "single walk");
        Reader reader(request);
        for (std::uint16_t port = 1; port <= 4; ++port) {
            reader.channel->Datagram(Ipv4(port)).ReceiveFails(ENOBUFS);
        }
        TcpTable table;
        EXPECT_FALSE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), IsEmpty());
        EXPECT_EQ(table.ids.size(), 0u);
        const std::string dump = request == TcpRequest::kPerFamily ? "tcp 4" : "tcp-single";
        EXPECT_THAT(Requests(*reader.channel), ElementsAre(dump, dump, dump, dump));
        EXPECT_EQ(reader.channel->unscripted_receives(), 0);

        // The next read takes the dump afresh.
        reader.channel->Datagram(Ipv4(5)).Datagram(Done());
        if (request == TcpRequest::kPerFamily) reader.channel->Datagram(Done());
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:5"));
    }
    // Overruns before an interrupted last retake: that one arrived whole and is kept.
    {
        Reader reader(TcpRequest::kPerFamily);
        for (int i = 0; i < 3; ++i) reader.channel->ReceiveFails(ENOBUFS);
        reader.channel->Datagram(Interrupted(4)).Datagram(Done());
        TcpTable table;
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:4"));
    }
    // The UDP count the same way: a lost count is no count.
    {
        Reader reader(TcpRequest::kPerFamily);
        for (int i = 0; i < 4; ++i) reader.channel->ReceiveFails(ENOBUFS);
        UdpTable udp;
        udp.dwNumEntries = 7;
        EXPECT_FALSE(reader.table->ReadUdp(udp));
        EXPECT_EQ(udp.dwNumEntries, 0u);
        EXPECT_THAT(Requests(*reader.channel), ElementsAre("udp 4", "udp 4", "udp 4", "udp 4"));
    }
}

TEST(SockDiagReader, IpvSixRefusedKeepsTheIpv4RowsOtherRefusalsAndFailuresLoseTheRead) {
    {
        Reader reader(TcpRequest::kPerFamily);
        reader.channel->Datagram(Ipv4(1)).Datagram(Done()).Datagram(Refused(EAFNOSUPPORT));
        TcpTable table;
        ASSERT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:1"));
    }
    {
        Reader reader(TcpRequest::kPerFamily);
        reader.channel->Datagram(Refused(EPERM));
        TcpTable table;
        table.rows.resize(3);
        EXPECT_FALSE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), IsEmpty());
        EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp 4"));
    }
    // Transport failures: each closes the socket (anything of the reply still queued goes with it),
    // and the next read opens a fresh one that works.
    struct Case {
        const char* what;
        void (*script)(ScriptedChannel&);
    };
    const Case cases[] = {
        {"truncated datagram", [](ScriptedChannel& c) { c.Datagram(Ipv4(1)).Truncated(Ipv4(2)); }},
        {"datagram longer than the buffer",
         [](ScriptedChannel& c) {
             NetlinkReply big;
             for (int i = 0; i < 1000; ++i)
                 big.Socket(AF_INET, TCP_ESTABLISHED, "10.77.0.1", 80, "10.77.0.2", 1);
             c.Datagram(big.bytes());
         }},
        {"empty datagram", [](ScriptedChannel& c) { c.Datagram(Bytes{}); }},
        {"malformed datagram",
         [](ScriptedChannel& c) {
             Bytes damaged = Ipv4(1);
             damaged.resize(damaged.size() - 4);
             c.Datagram(damaged);
         }},
        {"receive error", [](ScriptedChannel& c) { c.ReceiveFails(EIO); }},
        {"send error", [](ScriptedChannel& c) { c.SendFails(EPERM); }},
        {"short send", [](ScriptedChannel& c) { c.SendFails(0); }},
    };
    for (const Case& failure : cases) {
        SCOPED_TRACE(failure.what);
        Reader reader(TcpRequest::kPerFamily);
        failure.script(*reader.channel);
        TcpTable table;
        EXPECT_FALSE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), IsEmpty());
        EXPECT_EQ(reader.channel->closes(), 1);
        EXPECT_EQ(reader.channel->pending(), 0u);
        reader.channel->Datagram(Ipv4(7)).Datagram(Done()).Datagram(Done());
        EXPECT_TRUE(reader.table->ReadTcp(table));
        EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:7"));
        EXPECT_EQ(reader.channel->opens(), 2);
    }
    // A socket that cannot be opened fails the read without sending.
    Reader reader(TcpRequest::kPerFamily);
    reader.channel->Close();
    reader.channel->RefuseOpen();
    TcpTable table;
    EXPECT_FALSE(reader.table->ReadTcp(table));
    EXPECT_THAT(Requests(*reader.channel), IsEmpty());
}

TEST(SockDiagReader, InterruptedCallsForeignSendersAndStaleAnswersAreSkipped) {
    Reader reader(TcpRequest::kPerFamily);
    reader.channel->SendFails(EINTR).SendFails(EAGAIN);
    reader.channel->ReceiveFails(EINTR)
        .Datagram(Ipv4(9), 4242)                           // not from the kernel
        .Datagram(NetlinkReply(77).Error(-EPERM).bytes())  // an answer to an older request
        .Datagram(Ipv4(1))
        .ReceiveFails(EAGAIN)
        .Datagram(Done())
        .Datagram(Done());
    TcpTable table;
    ASSERT_TRUE(reader.table->ReadTcp(table));
    EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:1"));
    EXPECT_EQ(reader.channel->closes(), 0);
    EXPECT_THAT(Requests(*reader.channel), ElementsAre("tcp 4", "tcp 6"));
    // Interrupted receives are retried, but not forever.
    for (int i = 0; i < kIoRetries; ++i) reader.channel->ReceiveFails(EINTR);
    EXPECT_FALSE(reader.table->ReadTcp(table));
    EXPECT_EQ(reader.channel->closes(), 1);
    // Neither are interrupted sends.
    for (int i = 0; i <= kIoRetries; ++i) reader.channel->SendFails(EINTR);
    reader.channel->Datagram(Done()).Datagram(Done());
    EXPECT_FALSE(reader.table->ReadTcp(table));
    EXPECT_EQ(reader.channel->closes(), 2);
    EXPECT_EQ(reader.channel->pending(), 2u);
}

TEST(SockDiagReader, UdpCountsBothFamiliesAndSurvivesAnIpv6Refusal) {
    Reader reader(TcpRequest::kPerFamily);
    reader.channel
        ->Datagram(NetlinkReply()
                       .Socket(AF_INET, TCP_CLOSE, "0.0.0.0", 53, "0.0.0.0", 0)
                       .Socket(AF_INET, TCP_CLOSE, "127.0.0.1", 5353, "0.0.0.0", 0)
                       .Done()
                       .bytes())
        .Datagram(NetlinkReply().Socket(AF_INET6, TCP_CLOSE, "::", 53, "::", 0).Done().bytes());
    UdpTable table;
    ASSERT_TRUE(reader.table->ReadUdp(table));
    EXPECT_EQ(table.dwNumEntries, 3u);
    reader.channel
        ->Datagram(NetlinkReply().Socket(AF_INET, TCP_CLOSE, "0.0.0.0", 53, "0.0.0.0", 0).Done().bytes())
        .Datagram(Refused(EAFNOSUPPORT));
    ASSERT_TRUE(reader.table->ReadUdp(table));
    EXPECT_EQ(table.dwNumEntries, 1u);
    reader.channel->Truncated(Done());
    EXPECT_FALSE(reader.table->ReadUdp(table));
    EXPECT_EQ(table.dwNumEntries, 0u);
    EXPECT_THAT(Requests(*reader.channel), ElementsAre("udp 4", "udp 6", "udp 4", "udp 6", "udp 4"));
}

TEST(SockDiagReader, TeardownGoesInBatchesSkipsListenersAndDrainsTheRefusals) {
    Reader reader(TcpRequest::kPerFamily);
    std::vector<SocketId> ids(70);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i].family = AF_INET;
        ids[i].source_port_be = htons(80);
        ids[i].destination_port_be = htons(static_cast<std::uint16_t>(40000 + i));
        ids[i].destination[0] = htonl(0x0A4D0002);
    }
    SocketId listener;
    listener.family = AF_INET6;
    listener.source_port_be = htons(22);
    ids.insert(ids.begin() + 10, listener);
    // The kernel's refusals of the first batch are queued by the time its send returns.
    reader.channel->Datagram(NetlinkReply(1).Error(-ENOENT).Error(-EPERM).bytes()).ReceiveFails(ENOBUFS);
    reader.table->Destroy(ids);
    EXPECT_THAT(Requests(*reader.channel), ElementsAre("destroy x64", "destroy x6"));
    EXPECT_EQ(reader.channel->pending(), 0u);
    for (const Bytes& batch : reader.channel->requests()) {
        for (std::size_t offset = 0; offset < batch.size();
             offset += NLMSG_LENGTH(sizeof(inet_diag_req_v2))) {
            inet_diag_req_v2 body{};
            std::memcpy(&body, batch.data() + offset + NLMSG_HDRLEN, sizeof body);
            EXPECT_NE(body.id.idiag_dport, 0) << "a listener was asked to close";
        }
    }
    // The next dump reads its own answer, not a left-over refusal.
    reader.channel->Datagram(Ipv4(1)).Datagram(Done()).Datagram(Done());
    TcpTable table;
    EXPECT_TRUE(reader.table->ReadTcp(table));
    EXPECT_THAT(AllRows(table), ElementsAre("5 10.77.0.1:80 10.77.0.2:1"));
}

TEST(SockDiagReader, LookupSkipsStaleAnswersAndGivesUpOnTimeoutOverrunAndTruncation) {
    auto owned = std::make_unique<ScriptedChannel>();
    ScriptedChannel& channel = *owned;
    SocketLookup lookup(std::move(owned));
    SocketId id;
    id.family = AF_INET;
    id.source_port_be = htons(80);
    id.destination_port_be = htons(40000);
    SocketRow row;

    channel
        .Datagram(NetlinkReply(0).Error(-ENOENT).bytes())  // stale
        .Datagram(Ipv4(40000), 99)                         // not the kernel
        .ReceiveFails(EINTR)
        .Datagram(
            NetlinkReply().Socket(AF_INET, TCP_ESTABLISHED, "10.77.0.1", 80, "10.77.0.2", 40000).bytes());
    ASSERT_EQ(lookup.Find(id, row), SocketLookupStatus::kFound);
    EXPECT_TRUE(row.ipv4);
    EXPECT_EQ(row.row.dwRemotePort, htons(40000));
    channel.Datagram(Refused(ENOENT));
    EXPECT_EQ(lookup.Find(id, row), SocketLookupStatus::kGone);
    EXPECT_EQ(channel.closes(), 0);

    // A lost answer times out (EAGAIN), which is not waited out again; an overrun is no reason to
    // ask again either. Each failure replaces the socket.
    int closes = 0;
    for (const int error : {EAGAIN, ENOBUFS}) {
        channel.ReceiveFails(error);
        EXPECT_EQ(lookup.Find(id, row), SocketLookupStatus::kFailed) << error;
        EXPECT_EQ(channel.closes(), ++closes);
    }
    channel.Truncated(Refused(ENOENT));
    EXPECT_EQ(lookup.Find(id, row), SocketLookupStatus::kFailed);
    channel.Datagram(Refused(EPERM));
    EXPECT_EQ(lookup.Find(id, row), SocketLookupStatus::kFailed);
    EXPECT_EQ(channel.closes(), closes + 2);
    EXPECT_EQ(channel.pending(), 0u);
    EXPECT_EQ(channel.requests().size(), 6u);
    EXPECT_EQ(channel.unscripted_receives(), 0);
    EXPECT_EQ(Describe(channel.requests().front()), "tcp 4 exact");
}

}  // namespace
}  // namespace velmor::platform::sockdiag
