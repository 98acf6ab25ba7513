#pragma once

// Netlink replies of the sock_diag kind, built message by message, for parser and channel tests.

#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor::test {

using Bytes = std::vector<std::byte>;

// The sequence number a scripted channel replaces with the one of the latest request it was sent.
inline constexpr std::uint32_t kLatestRequest = 0xFFFFFFFF;

class NetlinkReply final {
public:
    explicit NetlinkReply(std::uint32_t sequence = kLatestRequest) : sequence_(sequence) {}

    // A diag message of one socket; `local` and `remote` are addresses of `family` in text form.
    // Each socket gets its own cookie, counted from 1 in the order they are added.
    NetlinkReply& Socket(std::uint8_t family, std::uint8_t state, const char* local, std::uint16_t local_port,
                         const char* remote, std::uint16_t remote_port, std::uint16_t flags = NLM_F_MULTI,
                         std::uint16_t type = SOCK_DIAG_BY_FAMILY);
    // The same socket with its inode and user, and an INET_DIAG_INFO attribute of `info_length` bytes
    // (none for 0) that holds `received` and `sent` where the kernel's TCP info keeps the byte counts,
    // as far as it is long enough for them.
    NetlinkReply& SocketWithInfo(std::uint8_t family, std::uint8_t state, const char* local,
                                 std::uint16_t local_port, const char* remote, std::uint16_t remote_port,
                                 std::uint32_t inode, std::uint32_t uid, std::size_t info_length,
                                 std::uint64_t received, std::uint64_t sent);
    NetlinkReply& Done(int outcome = 0, std::uint16_t flags = NLM_F_MULTI);
    // An NLMSG_ERROR carrying `error` (negative errno; 0 is an acknowledgement), `payload` bytes long.
    NetlinkReply& Error(int error, std::size_t payload = sizeof(nlmsgerr));
    NetlinkReply& Message(std::uint16_t type, std::uint16_t flags, const void* payload, std::size_t length);
    // The sequence number of the messages added from now on.
    NetlinkReply& Sequence(std::uint32_t sequence);

    const Bytes& bytes() const { return bytes_; }

private:
    std::uint32_t sequence_;
    std::uint32_t cookie_ = 0;
    Bytes bytes_;
};

}  // namespace velmor::test
