#pragma once

#include <cstdint>

#include "velmor/guard/guard_events.h"
#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_lookup.h"

namespace velmor::engine {

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

// An accepted connection on the bait whose handshake just completed (SYN_RECV to ESTABLISHED), local
// port 80, a remote end with an address and a port.
bool IsBaitArrival(const guard::EventRecord& event);

// The connection table's row of a bait arrival as its event describes it, established: for filing
// an intruder whose socket is gone before anyone could look it up.
platform::TcpRow RowOfEvent(const guard::EventRecord& event);

}  // namespace velmor::engine
