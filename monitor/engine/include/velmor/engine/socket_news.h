#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_lookup.h"

namespace velmor::engine {

// The local port of the bait listener: whoever reaches it without a rule is an intruder.
inline constexpr std::uint16_t kBaitPort = 80;

// The socket events that reached the cycle since its last tick, for the cycle to act on them.
class TableNews {
public:
    virtual ~TableNews() = default;
    // True while the events arrive; once false the cycle reads the table as without events.
    virtual bool Live() const = 0;
    // Moves the events that arrived since the last call, in the kernel's order, into `events`
    // (cleared first). True when some were lost on the way, or the stream ended: then only a read of
    // the whole table can tell what changed; the events that did arrive are given all the same.
    virtual bool TakeNews(std::vector<guard::EventRecord>& events) = 0;
};

// Asks the system about one TCP socket by its exact id.
class SocketFinder {
public:
    virtual ~SocketFinder() = default;
    virtual platform::SocketLookupStatus Find(const platform::SocketId& id, platform::SocketRow& row) = 0;
};

// The sockets of the namespace this process runs in (the kernel's sock_diag lookup by id).
class SystemSocketFinder final : public SocketFinder {
public:
    platform::SocketLookupStatus Find(const platform::SocketId& id, platform::SocketRow& row) override {
        return lookup_.Find(id, row);
    }

private:
    platform::SocketLookup lookup_;
};

// Linux's socket states as the events carry them.
inline constexpr std::uint8_t kEventEstablished = 1;
inline constexpr std::uint8_t kEventSynRecv = 3;
inline constexpr std::uint8_t kEventClose = 7;
// A SYN came in (a half-open row, perhaps forged): the guard's packet path tells of one at most
// every 100 ms.
inline constexpr std::uint8_t kEventNewSynRecv = 12;

// An accepted connection on the bait whose handshake just completed (SYN_RECV to ESTABLISHED), local
// port 80, a remote end with an address and a port.
bool IsBaitArrival(const guard::EventRecord& event);

// The connection table's row of a bait arrival as its event describes it, established: for filing
// an intruder whose socket is gone before anyone could look it up.
platform::TcpRow RowOfEvent(const guard::EventRecord& event);

// The id that names the event's socket to the kernel (family, ports, addresses, interface, cookie).
platform::SocketId SocketIdOfEvent(const guard::EventRecord& event);

}  // namespace velmor::engine
