#pragma once

#include <cstdint>
#include <memory>

namespace velmor::platform {

// Cheap kernel counters that move whenever sockets are opened, closed or change state in bulk.
// Comparing two readings tells whether the connection tables may have changed since.
struct SocketCounters {
    std::uint64_t tcp_in_use = 0;
    std::uint64_t tcp_time_wait = 0;
    std::uint64_t tcp_allocated = 0;
    std::uint64_t udp_in_use = 0;
    std::uint64_t tcp6_in_use = 0;
    std::uint64_t udp6_in_use = 0;
    std::uint64_t active_opens = 0;
    std::uint64_t passive_opens = 0;
    std::uint64_t attempt_fails = 0;
    std::uint64_t estab_resets = 0;

    bool operator==(const SocketCounters&) const = default;
};

class SocketCounterSource {
public:
    virtual ~SocketCounterSource() = default;
    // Reads the current counters; false when they cannot be read (the caller then dumps anyway).
    virtual bool Read(SocketCounters& counters) = 0;
};

// Counters of the network namespace this process runs in.
std::unique_ptr<SocketCounterSource> MakeSystemSocketCounters();

}  // namespace velmor::platform
