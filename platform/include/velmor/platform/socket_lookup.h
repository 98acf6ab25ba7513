#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "velmor/platform/connection_table.h"

namespace velmor::platform {
namespace sockdiag {
class DatagramChannel;
}

// One socket as the kernel reports it when asked for it by its exact id.
struct SocketRow {
    // The connection in the table's row layout: IPv4 connections (IPv4-mapped ones of dual-stack
    // sockets included) as IPv4 rows with `ipv4` true, pure IPv6 sockets as IPv6 rows.
    bool ipv4 = false;
    TcpRow row;
    SocketId id;
    std::uint8_t linux_state = 0;  // TCP_ESTABLISHED = 1 ... TCP_NEW_SYN_RECV = 12
};

enum class SocketLookupStatus {
    kFound,   // the socket exists; the row describes it
    kGone,    // no socket with these addresses, ports and cookie (closed, or another socket since)
    kFailed,  // the question could not be asked or the answer not read
};

// Asks the kernel about one TCP socket by its id (family, addresses, ports, interface, cookie)
// instead of dumping the whole table: the kernel looks it up in its hash and answers with one row.
// A cookie of zero matches any socket with the addresses and ports. Belongs to the network namespace
// of the thread that makes the first lookup; not thread-safe.
class SocketLookup final {
public:
    SocketLookup();
    // Over another channel to the kernel (the Linux backend's own; tests pass a scripted one).
    explicit SocketLookup(std::unique_ptr<sockdiag::DatagramChannel> channel);
    ~SocketLookup();
    SocketLookup(const SocketLookup&) = delete;
    SocketLookup& operator=(const SocketLookup&) = delete;

    SocketLookupStatus Find(const SocketId& id, SocketRow& row);

private:
    struct Socket;
    std::unique_ptr<Socket> socket_;
};

namespace sockdiag {

// What the answer to one exact-id request said.
enum class LookupReply {
    kFound,      // a SOCK_DIAG_BY_FAMILY message with a TCP socket: `row` is filled
    kGone,       // NLMSG_ERROR with ENOENT
    kError,      // NLMSG_ERROR with another errno (`error` says which)
    kMalformed,  // truncated or impossible lengths, or a family other than IPv4/IPv6
    kNothing,    // no message of this request in the bytes
};

// Parses the kernel's answer to an exact-id request (the byte-level half of SocketLookup, kept apart
// for tests and the fuzzer). Messages with another sequence number are stale and skipped.
LookupReply ParseLookupReply(std::span<const std::byte> bytes, std::uint32_t sequence, SocketRow& row,
                             int& error);

}  // namespace sockdiag
}  // namespace velmor::platform
