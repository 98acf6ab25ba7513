#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "velmor/platform/diag.h"
#include "velmor/platform/sock_diag_parse.h"
#include "velmor/platform/socket_lookup.h"

namespace velmor::platform {
namespace {

// An answer is one message of about 100 bytes; the buffer leaves room for stale ones queued before.
constexpr std::size_t kReceiveBufferSize = 16 * 1024;
constexpr int kIoRetries = 100;

struct ExactRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

bool IsMapped(const std::uint32_t (&address)[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0xFFFF);
}

bool IsUnspecified(const std::uint32_t (&address)[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
}

void FillRow(const inet_diag_msg& message, SocketRow& result) {
    result = SocketRow{};
    result.linux_state = message.idiag_state;
    SocketId& id = result.id;
    id.family = message.idiag_family;
    id.source_port_be = message.id.idiag_sport;
    id.destination_port_be = message.id.idiag_dport;
    std::memcpy(id.source, message.id.idiag_src, sizeof id.source);
    std::memcpy(id.destination, message.id.idiag_dst, sizeof id.destination);
    id.interface_index = message.id.idiag_if;
    std::memcpy(id.cookie, message.id.idiag_cookie, sizeof id.cookie);

    std::uint32_t local = 0;
    std::uint32_t remote = 0;
    if (id.family == AF_INET) {
        result.ipv4 = true;
        local = id.source[0];
        remote = id.destination[0];
    } else {
        // The same rule as the table: mapped on both sides, or mapped facing the unspecified address.
        const bool local_mapped = IsMapped(id.source);
        const bool remote_mapped = IsMapped(id.destination);
        result.ipv4 = (local_mapped && remote_mapped) || (local_mapped && IsUnspecified(id.destination)) ||
                      (remote_mapped && IsUnspecified(id.source));
        local = result.ipv4 ? id.source[3] : 0;
        remote = result.ipv4 ? id.destination[3] : 0;
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
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t left = bytes.size() - offset;
        if (left < sizeof(nlmsghdr)) return LookupReply::kMalformed;
        nlmsghdr header;
        std::memcpy(&header, bytes.data() + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > left) return LookupReply::kMalformed;
        const std::byte* payload = bytes.data() + offset + NLMSG_HDRLEN;
        const std::size_t payload_length =
            header.nlmsg_len - std::min<std::size_t>(header.nlmsg_len, NLMSG_HDRLEN);
        offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), left);
        if (header.nlmsg_seq != sequence) continue;

        if (header.nlmsg_type == NLMSG_ERROR) {
            if (payload_length < sizeof(int)) return LookupReply::kMalformed;
            int answer = 0;
            std::memcpy(&answer, payload, sizeof answer);
            if (answer == 0) continue;  // an acknowledgement carries no answer
            error = answer == std::numeric_limits<int>::min() ? std::numeric_limits<int>::max()
                                                              : (answer < 0 ? -answer : answer);
            return error == ENOENT ? LookupReply::kGone : LookupReply::kError;
        }
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            if (payload_length < sizeof(inet_diag_msg)) return LookupReply::kMalformed;
            inet_diag_msg message;
            std::memcpy(&message, payload, sizeof message);
            if (message.idiag_family != AF_INET && message.idiag_family != AF_INET6) {
                return LookupReply::kMalformed;
            }
            FillRow(message, row);
            return LookupReply::kFound;
        }
        // NOOP, DONE and anything else answers nothing about the socket.
    }
    return LookupReply::kNothing;
}

}  // namespace sockdiag

struct SocketLookup::Socket {
    int fd = -1;
    std::uint32_t sequence = 0;
    std::byte buffer[kReceiveBufferSize];

    Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }

    bool Open() {
        if (fd >= 0) return true;
        fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd < 0) return false;
        const int on = 1;
        // Both options only make the lookup leaner or bounded; without them it still works.
        if (::setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on) != 0)
            DiagError("socket lookup", "NETLINK_CAP_ACK refused", errno);
        // The kernel answers at once; a wait this long means the answer is lost, not slow.
        const timeval timeout{2, 0};
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
            DiagError("socket lookup", "SO_RCVTIMEO refused", errno);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return false;
        }
        return true;
    }

    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    bool Send(const ExactRequest& message) {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        for (int retries = 0;; ++retries) {
            const ssize_t sent = ::sendto(fd, &message, sizeof message, 0,
                                          reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
            if (sent == static_cast<ssize_t>(sizeof message)) return true;
            if (sent < 0 && (errno == EINTR || errno == EAGAIN) && retries < kIoRetries) continue;
            return false;
        }
    }
};

SocketLookup::SocketLookup() : socket_(std::make_unique<Socket>()) {}

SocketLookup::~SocketLookup() = default;

SocketLookupStatus SocketLookup::Find(const SocketId& id, SocketRow& row) {
    if (id.family != AF_INET && id.family != AF_INET6) return SocketLookupStatus::kFailed;
    if (!socket_->Open()) return SocketLookupStatus::kFailed;
    ExactRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;  // no dump: the kernel looks the one socket up
    message.header.nlmsg_seq = ++socket_->sequence;
    message.request.sdiag_family = id.family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = sockdiag::kAllStates;
    message.request.id.idiag_sport = id.source_port_be;
    message.request.id.idiag_dport = id.destination_port_be;
    std::memcpy(message.request.id.idiag_src, id.source, sizeof id.source);
    std::memcpy(message.request.id.idiag_dst, id.destination, sizeof id.destination);
    message.request.id.idiag_if = id.interface_index;
    // The kernel skips the cookie test for INET_DIAG_NOCOOKIE (all bits set), never for zero.
    if (id.cookie[0] == 0 && id.cookie[1] == 0) {
        message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
        message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    } else {
        std::memcpy(message.request.id.idiag_cookie, id.cookie, sizeof id.cookie);
    }
    if (!socket_->Send(message)) {
        socket_->Close();
        return SocketLookupStatus::kFailed;
    }

    for (int retries = 0;;) {
        sockaddr_nl sender{};
        iovec io{socket_->buffer, sizeof socket_->buffer};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(socket_->fd, &header, 0);
        if (received < 0) {
            if (errno == EINTR && ++retries < kIoRetries) continue;
            socket_->Close();
            return SocketLookupStatus::kFailed;
        }
        if (received == 0 || (header.msg_flags & MSG_TRUNC) != 0) {
            socket_->Close();
            return SocketLookupStatus::kFailed;
        }
        if (sender.nl_pid != 0) continue;  // only the kernel answers
        int error = 0;
        switch (sockdiag::ParseLookupReply(std::span(socket_->buffer, static_cast<std::size_t>(received)),
                                           message.header.nlmsg_seq, row, error)) {
            case sockdiag::LookupReply::kFound:
                return SocketLookupStatus::kFound;
            case sockdiag::LookupReply::kGone:
                return SocketLookupStatus::kGone;
            case sockdiag::LookupReply::kNothing:
                continue;  // a stale answer to an earlier request; ours follows
            case sockdiag::LookupReply::kError:
            case sockdiag::LookupReply::kMalformed:
                socket_->Close();
                return SocketLookupStatus::kFailed;
        }
    }
}

}  // namespace velmor::platform
