#pragma once

// A netlink channel that plays a script instead of talking to the kernel: the tests' way of driving
// the reading policy of the connection table and the socket lookup through every branch.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "netlink_channel.h"
#include "velmor/test/netlink_reply.h"

namespace velmor::test {

class ScriptedChannel final : public platform::sockdiag::DatagramChannel {
public:
    // Queues a datagram for a receive. Messages numbered kLatestRequest are given the sequence number
    // of the latest request sent before it is received. A datagram longer than the receive buffer
    // arrives cut short and flagged truncated, as the kernel's would.
    ScriptedChannel& Datagram(const Bytes& datagram, std::uint32_t sender = 0);
    // Queues a datagram that arrives flagged truncated (MSG_TRUNC) whatever its length.
    ScriptedChannel& Truncated(const Bytes& datagram);
    // Queues a receive that fails with `error` (ENOBUFS, EINTR, ...).
    ScriptedChannel& ReceiveFails(int error);
    // The next send fails with `error`; with 0 it sends one byte short.
    ScriptedChannel& SendFails(int error);
    // Open fails from now on.
    ScriptedChannel& RefuseOpen();

    bool Open() override;
    void Close() override;
    platform::sockdiag::Transfer Send(std::span<const std::byte> datagram) override;
    // A blocking receive with nothing scripted fails with EAGAIN and is counted as unscripted.
    platform::sockdiag::Transfer Receive(std::span<std::byte> buffer, bool wait) override;

    const std::vector<Bytes>& requests() const { return requests_; }
    std::size_t pending() const { return steps_.size(); }
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    int unscripted_receives() const { return unscripted_; }

private:
    struct Step {
        Bytes datagram;
        int error = 0;
        bool truncated = false;
        std::uint32_t sender = 0;
    };

    std::deque<Step> steps_;
    std::deque<int> send_failures_;
    std::vector<Bytes> requests_;
    std::uint32_t latest_sequence_ = 0;
    bool open_ = false;
    bool refuse_open_ = false;
    int opens_ = 0;
    int closes_ = 0;
    int unscripted_ = 0;
};

}  // namespace velmor::test
