#pragma once

// The byte-level half of the Linux connection table: turning the reply of a NETLINK_SOCK_DIAG dump
// into table rows. Kept apart from the socket I/O so that tests replay recorded dumps and a fuzzer
// feeds it arbitrary bytes. Internal to the Linux backend (tests and fuzz targets include it through
// velmor_platform_linux_internal).

#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "netlink_channel.h"
#include "velmor/platform/connection_table.h"

namespace velmor::platform::sockdiag {

// Where one dump goes, and what the parser learned about the dump so far. One target is carried
// across all datagrams of one dump.
struct DumpTarget {
    TcpTable* table = nullptr;  // rows (with their ids and details) are appended here (unsorted) when set
    std::uint32_t rows = 0;     // rows seen, IPv4, IPv4-mapped and IPv6
    bool interrupted = false;   // a message carried NLM_F_DUMP_INTR: the dump may be inconsistent
    int error = 0;              // the errno the kernel answered with (NLMSG_ERROR or a negative DONE)
};

enum class DumpStatus {
    kMore,         // all messages were sound; the dump goes on in the next datagram
    kDone,         // NLMSG_DONE reached, dump consistent
    kInterrupted,  // NLMSG_DONE reached, but the dump was interrupted: take it again
    kError,        // the kernel refused the dump (target.error says why)
    kMalformed,    // a message was truncated or its length field is impossible
};

// Parses the netlink messages in `bytes` (one or more whole datagrams of a dump reply). Messages
// whose sequence number is not `sequence` are stale and skipped. Stops at NLMSG_DONE or
// NLMSG_ERROR; bytes after them are ignored.
DumpStatus ParseDump(std::span<const std::byte> bytes, std::uint32_t sequence, DumpTarget& target);

// One netlink message of a reply: its header and the bytes after it.
struct NetlinkMessage {
    nlmsghdr header;
    std::span<const std::byte> payload;
};

enum class NextStatus { kMessage, kEnd, kMalformed };

// Takes the next message off the front of `bytes`: kEnd when no bytes are left, kMalformed when the
// rest is too short for a header or its length field is impossible.
NextStatus NextMessage(std::span<const std::byte>& bytes, NetlinkMessage& message);

// The errno of a kernel answer, which carries it negated. Garbage (INT_MIN, a positive value) still
// yields a positive number, so a refusal never reads as success.
int ErrnoOf(int answer);

// Where the TCP info (struct tcp_info, the INET_DIAG_INFO attribute) keeps the byte counts: the
// kernel's ABI, the same on every architecture. An older kernel's shorter info lacks them.
inline constexpr std::size_t kTcpInfoBytesAcked = 120;
inline constexpr std::size_t kTcpInfoBytesReceived = 128;

// The socket's inode and user, and from the attributes that follow the diag message (`attributes`,
// the rest of the message's payload) its byte counts when an INET_DIAG_INFO long enough for them is
// among them. Attributes with impossible lengths end the walk; the counts are then not reported.
SocketDetail DetailOf(const inet_diag_msg& message, std::span<const std::byte> attributes);

// An IPv6 socket that talks IPv4 shows its addresses as ::ffff:a.b.c.d: mapped on both sides, or
// mapped facing the unspecified address (a listener or an unconnected socket).
bool CarriesIpv4(const std::uint32_t (&local)[4], const std::uint32_t (&remote)[4]);

// The request's extension mask that asks for each socket's TCP info (its byte counts).
inline constexpr std::uint8_t kInfoExtension = 1 << (INET_DIAG_INFO - 1);

// What SOCK_DESTROY and an exact-id request need to name the socket of a diag message.
SocketId IdOf(const inet_diag_msg& message);

// A request that names one TCP socket by its whole id: SOCK_DESTROY, or SOCK_DIAG_BY_FAMILY without
// NLM_F_DUMP (the kernel then looks that one socket up). The cookie is copied as it is.
struct SocketRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};
SocketRequest RequestFor(const SocketId& id, std::uint16_t type, std::uint32_t sequence);

// Maps a Linux TCP state (TCP_ESTABLISHED = 1 ... TCP_NEW_SYN_RECV = 12) to the MIB_TCP_STATE
// number 1..12. Unknown states count as CLOSED (1).
std::uint32_t MibTcpState(std::uint8_t linux_state);

// Sorts a table IPv4 rows first, then by local address, local port, remote address, remote port,
// each compared as the host-order number of its network-order field; equal keys keep their dump
// order. Keeps its
// scratch space between calls so that a steady table sorts without allocating.
class TcpRowSorter final {
public:
    void Sort(TcpTable& table);

private:
    // IPv4 rows sort on two 48-bit numbers (address and port), IPv6 rows on 128-bit addresses with
    // their ports apart; keeping the two kinds apart keeps the keys small and an IPv4 table as fast
    // to sort as it ever was.
    struct Key {
        std::uint64_t local;
        std::uint64_t remote;
        std::uint32_t index;
    };
    struct Key6 {
        std::uint64_t local_high;
        std::uint64_t local_low;
        std::uint64_t remote_high;
        std::uint64_t remote_low;
        std::uint32_t ports;  // local port in the high half, remote port in the low half
        std::uint32_t index;
    };
    std::vector<Key> keys_;
    std::vector<Key6> keys6_;
    std::vector<TcpRow> rows_;
    std::vector<SocketId> ids_;
    std::vector<SocketDetail> details_;
};

// How the TCP table is asked for. kSingleWalk sends the older TCPDIAG_GETSOCK request, which the
// kernel answers with IPv4 and IPv6 sockets from one walk of its connection hash; kPerFamily sends
// one SOCK_DIAG_BY_FAMILY request per family, each walking the whole hash again. The walk dominates
// the cost of a read, so kSingleWalk is used wherever the kernel takes it.
enum class TcpRequest { kSingleWalk, kPerFamily };

// A connection table of the calling thread's namespace that asks for the TCP table in the given way
// (the system table starts with kSingleWalk and falls back to kPerFamily when it is refused).
std::unique_ptr<ConnectionTable> MakeConnectionTable(TcpRequest request);
// The same over another channel: the tests' scripted one.
std::unique_ptr<ConnectionTable> MakeConnectionTable(TcpRequest request,
                                                     std::unique_ptr<DatagramChannel> channel);

// Takes one dump of `protocol` sockets (IPPROTO_TCP, IPPROTO_UDP) of address `family` (AF_INET,
// AF_INET6; AF_UNSPEC with IPPROTO_TCP for the single-walk request) in the calling thread's network
// namespace and returns the kernel's reply as received, datagram after datagram: the replay data of
// the tests.
bool RecordDump(int family, int protocol, std::vector<std::byte>& reply);

// The kernel's state mask for a dump: every TCP state but TCP_BOUND_INACTIVE (bit 13), whose
// presence makes the kernel walk the bind hash as well.
inline constexpr std::uint32_t kAllStates = 0xFFF;

}  // namespace velmor::platform::sockdiag
