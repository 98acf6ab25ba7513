#pragma once

// Sending to and receiving from the kernel over one netlink socket, behind a small interface: the
// policy of reading its answers (retrying, starting over, falling back, giving up) then runs against
// scripted datagrams in the tests as well as against the kernel. Internal to the Linux backend.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace velmor::platform::sockdiag {

// What one send or receive call did.
struct Transfer {
    std::ptrdiff_t length = -1;  // bytes sent or received; -1 when the call failed
    int error = 0;               // the errno of a failed call
    bool truncated = false;      // the datagram was longer than the receive buffer (MSG_TRUNC)
    std::uint32_t sender = 0;    // the netlink port id a datagram came from; the kernel's is 0
};

// One datagram socket to the kernel. Not thread-safe.
class DatagramChannel {
public:
    virtual ~DatagramChannel() = default;

    // Opens the socket unless it is open; false when it cannot be opened.
    virtual bool Open() = 0;
    // Closes it; whatever is still queued for it is dropped, and the next Open starts afresh.
    virtual void Close() = 0;
    // One send of one datagram (which may hold several messages) to the kernel.
    virtual Transfer Send(std::span<const std::byte> datagram) = 0;
    // One receive of one datagram into `buffer`. Without `wait` it fails with EAGAIN at once when
    // nothing is queued.
    virtual Transfer Receive(std::span<std::byte> buffer, bool wait) = 0;
};

struct ChannelOptions {
    int receive_buffer = 0;           // SO_RCVBUF in bytes, when not 0
    int receive_timeout_seconds = 0;  // SO_RCVTIMEO, when not 0: a blocked receive then fails with EAGAIN
};

// A NETLINK_SOCK_DIAG socket with NETLINK_CAP_ACK set. It belongs to the network namespace of the
// thread that opens it.
std::unique_ptr<DatagramChannel> MakeSockDiagChannel(ChannelOptions options);
// A NETLINK_ROUTE socket (addresses, routes, links) of the namespace of the thread that opens it,
// subscribed to no notices: it only answers requests.
std::unique_ptr<DatagramChannel> MakeRouteChannel(ChannelOptions options);

// EINTR/EAGAIN are retried, but never forever.
inline constexpr int kIoRetries = 100;

// Sends a whole request; interrupted and would-block sends are retried. False when it could not be
// sent whole.
bool SendRequest(DatagramChannel& channel, std::span<const std::byte> request);

enum class Received {
    kDatagram,  // `length` bytes of one datagram of the kernel's are in the buffer
    kOverrun,   // ENOBUFS: the socket's queue overflowed and the kernel dropped part of its answer
    kFailed,    // any other failure, an empty datagram or one cut short by the buffer
};

// Waits for the next datagram from the kernel; datagrams from other senders are skipped. `retries`
// counts the interrupted receives (and, with `retry_would_block`, the would-block ones) across
// the calls of one exchange, up to kIoRetries.
Received ReceiveFromKernel(DatagramChannel& channel, std::span<std::byte> buffer, bool retry_would_block,
                           int& retries, std::size_t& length);

}  // namespace velmor::platform::sockdiag
