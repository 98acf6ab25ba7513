#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "velmor/guard/protocol.h"

namespace velmor::guard {

// A ring-buffer record decodes into the protocol's EventRecord, the one shape of a socket event from
// the kernel to velmor's cycle: one TCP socket of the watched namespace entering or leaving the
// connection table. Addresses in network byte order as in the socket (IPv4 in the first four bytes,
// the rest zero; an IPv6 socket carrying IPv4 holds ::ffff:a.b.c.d), ports in host byte order,
// Linux's TCP states (tcp_state).

// The socket's first event: it appeared in the table (connect, listen), or an accepted connection
// completed its handshake (its earlier steps are not reported). A connect's first event comes before
// the kernel picks the local port: local_port is 0 there.
bool EntersTable(const EventRecord& event);
// A handshake completed (SYN_SENT or SYN_RECV to ESTABLISHED): from here on the event names the
// connection completely, so its id (SocketIdOf) finds it with one lookup.
bool Connects(const EventRecord& event);
// The socket left the table (it reached CLOSE). The kernel may have released the local port just
// before: local_port is then 0, and the cookie is what names the socket.
inline bool LeavesTable(const EventRecord& event) {
    return event.new_state == tcp_state::kClose;
}
// An IPv6 socket whose addresses are IPv4-mapped: a dual-stack socket talking IPv4.
bool IsIpv4Mapped(const EventRecord& event);

// The size of one ring-buffer record.
inline constexpr std::size_t kSocketEventRecordSize = 64;

// Decodes one ring-buffer record; `time_ns`, when given, receives the CLOCK_MONOTONIC
// (std::chrono::steady_clock) time of the state change. Anything that is not exactly one record of
// the current layout (a wrong size, another version, a family other than IPv4/IPv6, a state outside
// 1..12, non-zero reserved bytes, or IPv4 addresses with bytes set past the fourth) yields nothing.
std::optional<EventRecord> DecodeSocketEvent(std::span<const std::byte> record,
                                             std::uint64_t* time_ns = nullptr);

}  // namespace velmor::guard
