#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "netlink_channel.h"
#include "sock_diag_parse.h"
#include "velmor/platform/socket_lookup.h"

namespace velmor::platform {
namespace {

// An answer is one message of about 100 bytes; the buffer leaves room for stale ones queued before.
constexpr std::size_t kReceiveBufferSize = 16 * 1024;

sockdiag::ChannelOptions LookupChannelOptions() {
    sockdiag::ChannelOptions options;
    // The kernel answers at once; a wait this long means the answer is lost, not slow.
    options.receive_timeout_seconds = 2;
    return options;
}

void FillRow(const inet_diag_msg& message, SocketRow& result) {
    result = SocketRow{};
    result.linux_state = message.idiag_state;
    result.id = sockdiag::IdOf(message);
    const SocketId& id = result.id;

    std::uint32_t local = 0;
    std::uint32_t remote = 0;
    if (id.family == AF_INET) {
        result.ipv4 = true;
        local = id.source[0];
        remote = id.destination[0];
    } else {
        // The same rule as the table's.
        result.ipv4 = sockdiag::CarriesIpv4(id.source, id.destination);
        local = result.ipv4 ? id.source[3] : 0;
        remote = result.ipv4 ? id.destination[3] : 0;
    }
    if (!result.ipv4) {
        // The table's layout of a pure IPv6 row.
        result.row.family = AddressFamily::kIpv6;
        std::memcpy(result.row.dwLocalAddr6, id.source, sizeof id.source);
        std::memcpy(result.row.dwRemoteAddr6, id.destination, sizeof id.destination);
    }
    result.row.dwState = sockdiag::MibTcpState(message.idiag_state);
    result.row.dwLocalAddr = local;
    result.row.dwLocalPort = id.source_port_be;
    result.row.dwRemoteAddr = remote;
    result.row.dwRemotePort = id.destination_port_be;
}

}  // namespace

namespace sockdiag {

LookupReply ParseLookupReply(std::span<const std::byte> bytes, std::uint32_t sequence, SocketRow& row,
                             int& error) {
    error = 0;
    NetlinkMessage message;
    for (;;) {
        switch (NextMessage(bytes, message)) {
            case NextStatus::kEnd:
                return LookupReply::kNothing;
            case NextStatus::kMalformed:
                return LookupReply::kMalformed;
            case NextStatus::kMessage:
                break;
        }
        const nlmsghdr& header = message.header;
        const std::size_t payload_length = message.payload.size();
        const std::byte* payload = message.payload.data();
        if (header.nlmsg_seq != sequence) continue;

        if (header.nlmsg_type == NLMSG_ERROR) {
            if (payload_length < sizeof(int)) return LookupReply::kMalformed;
            int answer = 0;
            std::memcpy(&answer, payload, sizeof answer);
            if (answer == 0) continue;  // an acknowledgement carries no answer
            error = ErrnoOf(answer);
            return error == ENOENT ? LookupReply::kGone : LookupReply::kError;
        }
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            if (payload_length < sizeof(inet_diag_msg)) return LookupReply::kMalformed;
            inet_diag_msg diag;
            std::memcpy(&diag, payload, sizeof diag);
            if (diag.idiag_family != AF_INET && diag.idiag_family != AF_INET6) {
                return LookupReply::kMalformed;
            }
            FillRow(diag, row);
            return LookupReply::kFound;
        }
        // NOOP, DONE and anything else answers nothing about the socket.
    }
}

}  // namespace sockdiag

struct SocketLookup::Socket {
    explicit Socket(std::unique_ptr<sockdiag::DatagramChannel> to_kernel) : channel(std::move(to_kernel)) {}

    std::unique_ptr<sockdiag::DatagramChannel> channel;
    std::uint32_t sequence = 0;
    std::byte buffer[kReceiveBufferSize];
};

SocketLookup::SocketLookup() : SocketLookup(sockdiag::MakeSockDiagChannel(LookupChannelOptions())) {}

SocketLookup::SocketLookup(std::unique_ptr<sockdiag::DatagramChannel> channel)
    : socket_(std::make_unique<Socket>(std::move(channel))) {}

SocketLookup::~SocketLookup() = default;

SocketLookupStatus SocketLookup::Find(const SocketId& id, SocketRow& row) {
    if (id.family != AF_INET && id.family != AF_INET6) return SocketLookupStatus::kFailed;
    sockdiag::DatagramChannel& channel = *socket_->channel;
    if (!channel.Open()) return SocketLookupStatus::kFailed;
    // No dump flag: the kernel looks the one socket up.
    auto message = sockdiag::RequestFor(id, SOCK_DIAG_BY_FAMILY, ++socket_->sequence);
    // The kernel skips the cookie test for INET_DIAG_NOCOOKIE (all bits set), never for zero.
    if (id.cookie[0] == 0 && id.cookie[1] == 0) {
        message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
        message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    }
    if (!sockdiag::SendRequest(channel, std::as_bytes(std::span(&message, 1)))) {
        channel.Close();
        return SocketLookupStatus::kFailed;
    }

    for (int retries = 0;;) {
        std::size_t received = 0;
        // A lost answer times out as EAGAIN, which is not retried; neither is an overrun.
        if (sockdiag::ReceiveFromKernel(channel, socket_->buffer, false, retries, received) !=
            sockdiag::Received::kDatagram) {
            channel.Close();
            return SocketLookupStatus::kFailed;
        }
        int error = 0;
        switch (sockdiag::ParseLookupReply(std::span(socket_->buffer, received), message.header.nlmsg_seq,
                                           row, error)) {
            case sockdiag::LookupReply::kFound:
                return SocketLookupStatus::kFound;
            case sockdiag::LookupReply::kGone:
                return SocketLookupStatus::kGone;
            case sockdiag::LookupReply::kNothing:
                continue;  // a stale answer to an earlier request; ours follows
            case sockdiag::LookupReply::kError:
            case sockdiag::LookupReply::kMalformed:
                channel.Close();
                return SocketLookupStatus::kFailed;
        }
    }
}

}  // namespace velmor::platform
