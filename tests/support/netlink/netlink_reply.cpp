#include "velmor/test/netlink_reply.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/rtnetlink.h>

#include <cstring>

namespace velmor::test {

NetlinkReply& NetlinkReply::Socket(std::uint8_t family, std::uint8_t state, const char* local,
                                   std::uint16_t local_port, const char* remote, std::uint16_t remote_port,
                                   std::uint16_t flags, std::uint16_t type) {
    inet_diag_msg message{};
    message.idiag_family = family;
    message.idiag_state = state;
    message.id.idiag_sport = htons(local_port);
    message.id.idiag_dport = htons(remote_port);
    ::inet_pton(family, local, message.id.idiag_src);
    ::inet_pton(family, remote, message.id.idiag_dst);
    message.id.idiag_cookie[0] = ++cookie_;
    return Message(type, flags, &message, sizeof message);
}

NetlinkReply& NetlinkReply::SocketWithInfo(std::uint8_t family, std::uint8_t state, const char* local,
                                           std::uint16_t local_port, const char* remote,
                                           std::uint16_t remote_port, std::uint32_t inode, std::uint32_t uid,
                                           std::size_t info_length, std::uint64_t received,
                                           std::uint64_t sent) {
    inet_diag_msg message{};
    message.idiag_family = family;
    message.idiag_state = state;
    message.idiag_inode = inode;
    message.idiag_uid = uid;
    message.id.idiag_sport = htons(local_port);
    message.id.idiag_dport = htons(remote_port);
    ::inet_pton(family, local, message.id.idiag_src);
    ::inet_pton(family, remote, message.id.idiag_dst);
    message.id.idiag_cookie[0] = ++cookie_;
    std::vector<std::byte> payload(sizeof message);
    std::memcpy(payload.data(), &message, sizeof message);
    if (info_length > 0) {
        // struct tcp_info keeps tcpi_bytes_acked at byte 120 and tcpi_bytes_received at 128.
        std::vector<std::byte> info(info_length);
        if (info_length >= 128) std::memcpy(info.data() + 120, &sent, sizeof sent);
        if (info_length >= 136) std::memcpy(info.data() + 128, &received, sizeof received);
        rtattr header{};
        header.rta_len = static_cast<unsigned short>(RTA_LENGTH(info_length));
        header.rta_type = INET_DIAG_INFO;
        const auto* head = reinterpret_cast<const std::byte*>(&header);
        payload.insert(payload.end(), head, head + sizeof header);
        payload.insert(payload.end(), info.begin(), info.end());
        payload.resize(RTA_ALIGN(payload.size()));
    }
    return Message(SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, payload.data(), payload.size());
}

NetlinkReply& NetlinkReply::Done(int outcome, std::uint16_t flags) {
    return Message(NLMSG_DONE, flags, &outcome, sizeof outcome);
}

NetlinkReply& NetlinkReply::Error(int error, std::size_t payload) {
    nlmsgerr body{};
    body.error = error;
    return Message(NLMSG_ERROR, 0, &body, payload);
}

NetlinkReply& NetlinkReply::Message(std::uint16_t type, std::uint16_t flags, const void* payload,
                                    std::size_t length) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(length));
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence_;
    const auto* head = reinterpret_cast<const std::byte*>(&header);
    bytes_.insert(bytes_.end(), head, head + sizeof header);
    const auto* body = static_cast<const std::byte*>(payload);
    bytes_.insert(bytes_.end(), body, body + length);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()));
    return *this;
}

NetlinkReply& NetlinkReply::Sequence(std::uint32_t sequence) {
    sequence_ = sequence;
    return *this;
}

}  // namespace velmor::test
