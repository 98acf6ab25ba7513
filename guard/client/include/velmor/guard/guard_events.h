#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"
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

}  // namespace velmor::guard
