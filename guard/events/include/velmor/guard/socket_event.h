#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "velmor/platform/connection_table.h"

namespace velmor::guard {

// One TCP socket of the watched namespace entering or leaving the connection table, as the kernel
// reported it.
struct SocketEvent {
    static constexpr int kInet = 2;    // AF_INET
    static constexpr int kInet6 = 10;  // AF_INET6

    std::uint64_t cookie = 0;   // the socket cookie sock_diag reports (idiag_cookie)
    std::uint64_t time_ns = 0;  // CLOCK_MONOTONIC (std::chrono::steady_clock) of the state change
    int family = 0;             // kInet or kInet6: the socket's own family
    // Network byte order as in the socket: IPv4 in the first four bytes (the rest zero); an IPv6
    // socket carrying IPv4 holds ::ffff:a.b.c.d.
    std::array<std::uint8_t, 16> local{};
    std::array<std::uint8_t, 16> remote{};
    std::uint16_t local_port = 0;  // host byte order
    std::uint16_t remote_port = 0;
    std::uint32_t interface_index = 0;  // the device the socket is bound to, 0 for none
    std::uint8_t old_state = 0;         // Linux TCP states: TCP_ESTABLISHED = 1 ... TCP_CLOSING = 11
    std::uint8_t new_state = 0;
    // The kernel's first strike marked the remote address blocked as this handshake completed.
    bool struck = false;

    // The socket's first event: it appeared in the table (connect, listen), or an accepted
    // connection completed its handshake (its earlier steps are not reported). A connect's first
    // event comes before the kernel picks the local port: local_port is 0 there.
    bool EntersTable() const;
    // A handshake completed (SYN_SENT or SYN_RECV to ESTABLISHED): from here on the event names the
    // connection completely, so its id finds it with one lookup.
    bool Connects() const;
    // The socket left the table (it reached CLOSE). The kernel may have released the local port
    // just before: local_port is then 0, and the cookie is what names the socket.
    bool LeavesTable() const { return new_state == kStateClose; }
    // An IPv6 socket whose addresses are IPv4-mapped: a dual-stack socket talking IPv4.
    bool IsIpv4Mapped() const;

    static constexpr std::uint8_t kStateEstablished = 1;
    static constexpr std::uint8_t kStateSynSent = 2;
    static constexpr std::uint8_t kStateSynRecv = 3;
    static constexpr std::uint8_t kStateClose = 7;
};

// The size of one ring-buffer record.
inline constexpr std::size_t kSocketEventRecordSize = 64;

// Decodes one ring-buffer record. Anything that is not exactly one record of the current layout (a
// wrong size, another version, a family other than IPv4/IPv6, a state outside 1..12, an unknown flag,
// non-zero reserved bytes, or IPv4 addresses with bytes set past the fourth) yields nothing.
std::optional<SocketEvent> DecodeSocketEvent(std::span<const std::byte> record);

// The id under which sock_diag knows the event's socket (family, addresses, ports, device, cookie):
// the key for a lookup of that one socket or for tearing it down.
platform::SocketId SocketIdOf(const SocketEvent& event);

}  // namespace velmor::guard
