#include "velmor/test/netlink_reply.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>

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
