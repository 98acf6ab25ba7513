#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/native_handle.h"

namespace velmor::guard {

// A second connection to velmor-guard that carries only the kernel's socket events of its
// namespace. It is no part of the session: the guard lifts what it holds when the request link
// ends, whatever this one does.
class GuardEventStream {
public:
    virtual ~GuardEventStream() = default;

    // Connects and subscribes; false when no guard answers, it refuses us or it has no events.
    virtual bool Subscribe() = 0;
    // True while subscribed and the guard has not hung up.
    virtual bool Live() const = 0;
    // Readable (POLLIN) while events are pending; kNoNativeHandle before the first Subscribe(). After
    // the guard hung up the number stays valid but is never readable again, so a watcher of it goes
    // quiet.
    virtual platform::NativeHandle Fd() const = 0;

    struct Taken {
        std::size_t events = 0;
        std::uint32_t lost = 0;  // events the guard or the kernel dropped
        bool hung_up = false;    // the guard closed the stream (or sent something not ours)
    };
    // Reads everything pending without waiting; the events are appended to `events` when given.
    // Owner records that came with them (a version 3 stream) are kept for TakeOwners.
    virtual Taken Take(std::vector<EventRecord>* events) = 0;
    // The owner records received since the last call, in the kernel's order (moved into `owners`,
    // cleared first); nothing from a guard older than protocol version 3. Beyond kMaxKeptOwners the
    // oldest are dropped.
    virtual void TakeOwners(std::vector<OwnerRecord>& owners) { owners.clear(); }
    static constexpr std::size_t kMaxKeptOwners = 65536;
};

std::unique_ptr<GuardEventStream> MakeGuardEventStream(std::string socket_path);

// The id under which sock_diag knows an event's socket (family, addresses, ports, device, cookie):
// the key for a lookup of that one socket or for tearing it down. Ports go in network byte order,
// the 64-bit cookie as two 32-bit words, the low one first.
inline platform::SocketId SocketIdOf(const EventRecord& event) {
    const auto network_order = [](std::uint16_t port) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
        std::uint16_t value = 0;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    };
    platform::SocketId id;
    id.family = event.family;
    id.source_port_be = network_order(event.local_port);
    id.destination_port_be = network_order(event.remote_port);
    std::memcpy(id.source, event.local.data(), sizeof id.source);
    std::memcpy(id.destination, event.remote.data(), sizeof id.destination);
    id.interface_index = event.interface_index;
    id.cookie[0] = static_cast<std::uint32_t>(event.cookie);
    id.cookie[1] = static_cast<std::uint32_t>(event.cookie >> 32);
    return id;
}

}  // namespace velmor::guard
