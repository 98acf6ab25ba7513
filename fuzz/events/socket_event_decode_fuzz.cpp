// Feeds arbitrary bytes to the socket event decoder as one ring-buffer record and checks what it
// hands on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "velmor/guard/guard_events.h"
#include "velmor/guard/socket_event.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using velmor::guard::EventRecord;
    const auto event =
        velmor::guard::DecodeSocketEvent(std::span(reinterpret_cast<const std::byte*>(data), size));
    if (!event) return 0;
    if (size != velmor::guard::kSocketEventRecordSize) std::abort();
    if (event->family != EventRecord::kInet && event->family != EventRecord::kInet6) std::abort();
    if (event->old_state < 1 || event->old_state > 12 || event->new_state < 1 || event->new_state > 12)
        std::abort();
    if (EntersTable(*event) && LeavesTable(*event)) std::abort();
    const auto id = velmor::guard::SocketIdOf(*event);
    if (id.family != event->family) std::abort();
    if ((static_cast<std::uint64_t>(id.cookie[1]) << 32 | id.cookie[0]) != event->cookie) std::abort();
    return 0;
}
