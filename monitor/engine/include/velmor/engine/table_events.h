#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_set>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/native_handle.h"

namespace velmor::engine {

// The kernel's socket events of the namespace whose table the cycle reads, as velmor reads them: the
// table timer waits on the descriptor and takes what is pending to know when to tick; the cycle, on
// its tick, takes the events kept since the last one and says which of the coming ones it needs no
// tick for. Nothing here calls back into either.
class TableEvents {
public:
    virtual ~TableEvents() = default;

    // --- The table timer's side.
    // Readable (POLLIN) while news is pending; kNoNativeHandle when there is none to offer.
    virtual platform::NativeHandle Fd() const = 0;
    // Takes everything pending without waiting and keeps it for the cycle. True when the table may
    // have changed: an event that is not expected (see ExpectClose), events lost, the stream ended.
    virtual bool TakePending() = 0;

    // --- The cycle's side.
    // True while the events arrive; once false the cycle reads the table as without events.
    virtual bool Live() const = 0;
    // Moves the events kept since the last call, in the kernel's order, into `events` (cleared
    // first). True when some were lost on the way, or the stream ended: then only a read of the
    // whole table can tell what changed; the events that did arrive are given all the same.
    virtual bool TakeNews(std::vector<guard::EventRecord>& events) = 0;
    // The close of the socket `cookie` (torn down and seen gone) will come and needs no tick of its
    // own: it is still kept for the next tick, but wakes nothing.
    virtual void ExpectClose(std::uint64_t cookie) = 0;
};

// The cookies of the last sockets named, up to a bound: the oldest are forgotten first, so that
// those whose close never came (its event was lost) do not pile up.
class RecentCookies final {
public:
    explicit RecentCookies(std::size_t bound) : bound_(bound) {}
    void Add(std::uint64_t cookie);
    bool Contains(std::uint64_t cookie) const { return cookies_.contains(cookie); }
    // False when it was not there.
    bool Remove(std::uint64_t cookie) { return cookies_.erase(cookie) > 0; }

private:
    std::size_t bound_;
    std::unordered_set<std::uint64_t> cookies_;
    std::deque<std::uint64_t> order_;  // the same, oldest first (may hold removed ones)
};

// Sockets torn down and known gone, whose close events are expected: as many as a flood of intruders
// can leave between two ticks.
inline constexpr std::size_t kMaxTornDown = 4096;

}  // namespace velmor::engine
