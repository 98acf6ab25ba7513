#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

#include "sock_diag_parse.h"

namespace velmor::platform::sockdiag {
namespace {

bool IsMapped(const std::uint32_t (&address)[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0xFFFF);
}

bool IsUnspecified(const std::uint32_t (&address)[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
}

static_assert(offsetof(tcp_info, tcpi_bytes_acked) == kTcpInfoBytesAcked);
static_assert(offsetof(tcp_info, tcpi_bytes_received) == kTcpInfoBytesReceived);

std::uint64_t ReadU64(std::span<const std::byte> bytes, std::size_t offset) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

void TakeRow(const inet_diag_msg& message, std::span<const std::byte> attributes, DumpTarget& target) {
    TcpRow row;
    if (message.idiag_family == AF_INET) {
        row.dwLocalAddr = message.id.idiag_src[0];
        row.dwRemoteAddr = message.id.idiag_dst[0];
    } else if (message.idiag_family == AF_INET6) {
        std::uint32_t source[4];
        std::uint32_t destination[4];
        std::memcpy(source, message.id.idiag_src, sizeof source);
        std::memcpy(destination, message.id.idiag_dst, sizeof destination);
        if (CarriesIpv4(source, destination)) {
            row.dwLocalAddr = source[3];
            row.dwRemoteAddr = destination[3];
        } else {
            row.family = AddressFamily::kIpv6;
            std::memcpy(row.dwLocalAddr6, source, sizeof source);
            std::memcpy(row.dwRemoteAddr6, destination, sizeof destination);
        }
    } else {
        return;
    }
    ++target.rows;
    if (target.table == nullptr) return;

    row.dwState = MibTcpState(message.idiag_state);
    row.dwLocalPort = message.id.idiag_sport;
    row.dwRemotePort = message.id.idiag_dport;
    target.table->rows.push_back(row);
    target.table->ids.push_back(IdOf(message));
    target.table->details.push_back(DetailOf(message, attributes));
    target.table->dwNumEntries = static_cast<std::uint32_t>(target.table->rows.size());
}

std::uint64_t HostOrderKey(std::uint32_t address_be, std::uint32_t port_field) {
    return (static_cast<std::uint64_t>(ntohl(address_be)) << 16) |
           ntohs(static_cast<std::uint16_t>(port_field));
}

// The high and low halves of an IPv6 address as host-order numbers.
std::uint64_t High(const std::uint32_t (&words)[4]) {
    return (static_cast<std::uint64_t>(ntohl(words[0])) << 32) | ntohl(words[1]);
}
std::uint64_t Low(const std::uint32_t (&words)[4]) {
    return (static_cast<std::uint64_t>(ntohl(words[2])) << 32) | ntohl(words[3]);
}

}  // namespace

NextStatus NextMessage(std::span<const std::byte>& bytes, NetlinkMessage& message) {
    if (bytes.empty()) return NextStatus::kEnd;
    if (bytes.size() < sizeof(nlmsghdr)) return NextStatus::kMalformed;
    std::memcpy(&message.header, bytes.data(), sizeof message.header);
    const std::uint32_t length = message.header.nlmsg_len;
    if (length < sizeof(nlmsghdr) || length > bytes.size()) return NextStatus::kMalformed;
    message.payload = bytes.subspan(NLMSG_HDRLEN, length - std::min<std::size_t>(length, NLMSG_HDRLEN));
    // The next message starts at the aligned end; the last one of a datagram may lack padding.
    bytes = bytes.subspan(std::min<std::size_t>(NLMSG_ALIGN(length), bytes.size()));
    return NextStatus::kMessage;
}

int ErrnoOf(int answer) {
    if (answer == std::numeric_limits<int>::min()) return std::numeric_limits<int>::max();
    return answer < 0 ? -answer : answer;
}

bool CarriesIpv4(const std::uint32_t (&local)[4], const std::uint32_t (&remote)[4]) {
    const bool local_mapped = IsMapped(local);
    const bool remote_mapped = IsMapped(remote);
    return (local_mapped && remote_mapped) || (local_mapped && IsUnspecified(remote)) ||
           (remote_mapped && IsUnspecified(local));
}

SocketDetail DetailOf(const inet_diag_msg& message, std::span<const std::byte> attributes) {
    SocketDetail detail;
    detail.inode = message.idiag_inode;
    detail.uid = message.idiag_uid;
    while (attributes.size() >= sizeof(rtattr)) {
        rtattr header;
        std::memcpy(&header, attributes.data(), sizeof header);
        if (header.rta_len < sizeof header || header.rta_len > attributes.size()) break;
        const std::span<const std::byte> value =
            attributes.subspan(RTA_LENGTH(0), header.rta_len - RTA_LENGTH(0));
        if (header.rta_type == INET_DIAG_INFO &&
            value.size() >= kTcpInfoBytesReceived + sizeof(std::uint64_t)) {
            detail.has_counts = true;
            detail.bytes_sent = ReadU64(value, kTcpInfoBytesAcked);
            detail.bytes_received = ReadU64(value, kTcpInfoBytesReceived);
        }
        attributes = attributes.subspan(std::min<std::size_t>(RTA_ALIGN(header.rta_len), attributes.size()));
    }
    return detail;
}

SocketId IdOf(const inet_diag_msg& message) {
    SocketId id;
    id.family = message.idiag_family;
    id.source_port_be = message.id.idiag_sport;
    id.destination_port_be = message.id.idiag_dport;
    std::memcpy(id.source, message.id.idiag_src, sizeof id.source);
    std::memcpy(id.destination, message.id.idiag_dst, sizeof id.destination);
    id.interface_index = message.id.idiag_if;
    std::memcpy(id.cookie, message.id.idiag_cookie, sizeof id.cookie);
    return id;
}

SocketRequest RequestFor(const SocketId& id, std::uint16_t type, std::uint32_t sequence) {
    SocketRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = id.family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = kAllStates;
    message.request.id.idiag_sport = id.source_port_be;
    message.request.id.idiag_dport = id.destination_port_be;
    std::memcpy(message.request.id.idiag_src, id.source, sizeof id.source);
    std::memcpy(message.request.id.idiag_dst, id.destination, sizeof id.destination);
    message.request.id.idiag_if = id.interface_index;
    std::memcpy(message.request.id.idiag_cookie, id.cookie, sizeof id.cookie);
    return message;
}

std::uint32_t MibTcpState(std::uint8_t linux_state) {
    // Index: Linux state (include/net/tcp_states.h); value: MIB_TCP_STATE.
    static constexpr std::uint8_t kMap[] = {
        1,   // 0: not a state
        5,   // TCP_ESTABLISHED -> ESTAB
        3,   // TCP_SYN_SENT -> SYN_SENT
        4,   // TCP_SYN_RECV -> SYN_RCVD
        6,   // TCP_FIN_WAIT1 -> FIN_WAIT1
        7,   // TCP_FIN_WAIT2 -> FIN_WAIT2
        11,  // TCP_TIME_WAIT -> TIME_WAIT
        1,   // TCP_CLOSE -> CLOSED
        8,   // TCP_CLOSE_WAIT -> CLOSE_WAIT
        10,  // TCP_LAST_ACK -> LAST_ACK
        2,   // TCP_LISTEN -> LISTEN
        9,   // TCP_CLOSING -> CLOSING
        4,   // TCP_NEW_SYN_RECV (a request socket) -> SYN_RCVD
    };
    return linux_state < std::size(kMap) ? kMap[linux_state] : 1;
}

DumpStatus ParseDump(std::span<const std::byte> bytes, std::uint32_t sequence, DumpTarget& target) {
    NetlinkMessage message;
    for (;;) {
        switch (NextMessage(bytes, message)) {
            case NextStatus::kEnd:
                return DumpStatus::kMore;
            case NextStatus::kMalformed:
                return DumpStatus::kMalformed;
            case NextStatus::kMessage:
                break;
        }
        const nlmsghdr& header = message.header;
        if (header.nlmsg_seq != sequence) continue;  // left over from an earlier request
        if (header.nlmsg_flags & NLM_F_DUMP_INTR) target.interrupted = true;

        switch (header.nlmsg_type) {
            case NLMSG_NOOP:
                break;
            case NLMSG_ERROR: {
                if (message.payload.size() < sizeof(nlmsgerr)) return DumpStatus::kMalformed;
                nlmsgerr error;
                std::memcpy(&error, message.payload.data(), sizeof error);
                // An error of 0 is an acknowledgement; a dump never asks for one, so it ends nothing.
                if (error.error == 0) break;
                target.error = ErrnoOf(error.error);
                return DumpStatus::kError;
            }
            case NLMSG_DONE: {
                // Newer kernels put the dump's outcome in DONE; older ones may leave it empty.
                if (message.payload.size() >= sizeof(int)) {
                    int outcome = 0;
                    std::memcpy(&outcome, message.payload.data(), sizeof outcome);
                    if (outcome < 0) {
                        target.error = ErrnoOf(outcome);
                        return DumpStatus::kError;
                    }
                }
                return target.interrupted ? DumpStatus::kInterrupted : DumpStatus::kDone;
            }
            case SOCK_DIAG_BY_FAMILY:
            case TCPDIAG_GETSOCK: {  // the answer to the single-walk request carries its type
                if (message.payload.size() < sizeof(inet_diag_msg)) return DumpStatus::kMalformed;
                inet_diag_msg diag;
                std::memcpy(&diag, message.payload.data(), sizeof diag);
                TakeRow(diag, message.payload.subspan(NLMSG_ALIGN(sizeof diag)), target);
                break;
            }
            default:
                break;  // nothing a diag dump sends; skipped like the kernel's own tools do
        }
    }
}

void TcpRowSorter::Sort(TcpTable& table) {
    const std::size_t count = table.rows.size();
    table.ids.resize(count);  // a table filled by hand may carry no ids or details
    table.details.resize(count);
    keys_.clear();
    keys6_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const TcpRow& row = table.rows[i];
        const auto index = static_cast<std::uint32_t>(i);
        if (row.family == AddressFamily::kIpv6) {
            const std::uint32_t ports =
                (static_cast<std::uint32_t>(ntohs(static_cast<std::uint16_t>(row.dwLocalPort))) << 16) |
                ntohs(static_cast<std::uint16_t>(row.dwRemotePort));
            keys6_.push_back(Key6{High(row.dwLocalAddr6), Low(row.dwLocalAddr6), High(row.dwRemoteAddr6),
                                  Low(row.dwRemoteAddr6), ports, index});
        } else {
            keys_.push_back(Key{HostOrderKey(row.dwLocalAddr, row.dwLocalPort),
                                HostOrderKey(row.dwRemoteAddr, row.dwRemotePort), index});
        }
    }
    std::sort(keys_.begin(), keys_.end(), [](const Key& a, const Key& b) {
        if (a.local != b.local) return a.local < b.local;
        if (a.remote != b.remote) return a.remote < b.remote;
        return a.index < b.index;
    });
    std::sort(keys6_.begin(), keys6_.end(), [](const Key6& a, const Key6& b) {
        const std::uint32_t a_local_port = a.ports >> 16;
        const std::uint32_t b_local_port = b.ports >> 16;
        return std::tie(a.local_high, a.local_low, a_local_port, a.remote_high, a.remote_low, a.ports,
                        a.index) < std::tie(b.local_high, b.local_low, b_local_port, b.remote_high,
                                            b.remote_low, b.ports, b.index);
    });
    rows_.resize(count);
    ids_.resize(count);
    details_.resize(count);
    std::size_t out = 0;
    const auto take = [&](std::uint32_t index) {
        rows_[out] = table.rows[index];
        details_[out] = table.details[index];
        ids_[out++] = table.ids[index];
    };
    for (const Key& key : keys_) take(key.index);
    for (const Key6& key : keys6_) take(key.index);
    // Swapping hands the table the sorted rows and keeps the buffers' capacity for the next call.
    table.rows.swap(rows_);
    table.ids.swap(ids_);
    table.details.swap(details_);
    table.dwNumEntries = static_cast<std::uint32_t>(table.rows.size());
}

}  // namespace velmor::platform::sockdiag
