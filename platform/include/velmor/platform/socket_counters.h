#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

namespace velmor::platform {

// Cheap kernel counters that move whenever sockets are opened, closed or change state in bulk.
// Comparing two readings tells whether the connection tables may have changed since. They cannot
// see everything (a half-open connection, a listener replaced by another on the same count);
// docs/performance.md says what, and why a periodic full read covers it.
struct SocketCounters {
    std::uint64_t tcp_in_use = 0;     // IPv4 TCP sockets in the hash tables (listening, connecting, open)
    std::uint64_t tcp_time_wait = 0;  // TIME_WAIT sockets
    std::uint64_t udp_in_use = 0;     // bound IPv4 UDP sockets
    std::uint64_t tcp6_in_use = 0;    // the same for IPv6 sockets, dual-stack ones included
    std::uint64_t udp6_in_use = 0;
    std::uint64_t active_opens = 0;   // connections this host opened (monotonic, IPv4 and IPv6)
    std::uint64_t passive_opens = 0;  // connections this host accepted (monotonic)
    std::uint64_t attempt_fails = 0;  // connection attempts that failed, half-open ones included
    std::uint64_t estab_resets = 0;   // open connections reset

    bool operator==(const SocketCounters&) const = default;
};

class SocketCounterSource {
public:
    virtual ~SocketCounterSource() = default;
    // Reads the current counters; false when they cannot be read (the caller then dumps anyway).
    virtual bool Read(SocketCounters& counters) = 0;
};

// Counters of the network namespace the calling thread is in when this is called: the kernel binds
// each counter file to the namespace at open time, and the files stay open for cheap re-reads.
// The socket counts are read on every call; the open/reset counters, which cost three times as much
// to read, at most every `opens_refresh` (the counts move with almost every change anyway; the
// opens catch a connection that replaced another between two readings, a little later).
std::unique_ptr<SocketCounterSource> MakeSystemSocketCounters(
    std::chrono::milliseconds opens_refresh = std::chrono::milliseconds(10));

// The parsers of the three counter texts (Linux /proc/net/sockstat, sockstat6 and snmp). Each fills
// the fields its text holds and returns false when one of them is missing.
bool ParseSockstat(std::string_view text, SocketCounters& counters);
bool ParseSockstat6(std::string_view text, SocketCounters& counters);
bool ParseSnmp(std::string_view text, SocketCounters& counters);

}  // namespace velmor::platform
