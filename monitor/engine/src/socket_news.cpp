#include "velmor/engine/socket_news.h"

#include <algorithm>
#include <cstring>

namespace velmor::engine {
namespace {

constexpr std::uint8_t kInet = 2;
constexpr std::uint8_t kInet6 = 10;

// A host-order port as the kernel stores it: most significant byte first in memory.
std::uint16_t NetworkOrder(std::uint16_t port) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
    std::uint16_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

}  // namespace

bool IsBaitArrival(const guard::EventRecord& event) {
    if (event.family != kInet && event.family != kInet6) return false;
    if (event.local_port != kBaitPort || event.remote_port == 0) return false;
    const bool handshake_done = event.old_state == kEventSynRecv && event.new_state == kEventEstablished;
    const bool half_open = event.new_state == kEventSynRecv;
    if (!handshake_done && !half_open) return false;
    const std::size_t length = event.family == kInet ? 4 : 16;
    return std::any_of(event.remote.begin(), event.remote.begin() + static_cast<std::ptrdiff_t>(length),
                       [](std::uint8_t byte) { return byte != 0; });
}

platform::SocketId SocketIdOfEvent(const guard::EventRecord& event) {
    platform::SocketId id;
    id.family = event.family;
    id.source_port_be = NetworkOrder(event.local_port);
    id.destination_port_be = NetworkOrder(event.remote_port);
    std::memcpy(id.source, event.local.data(), sizeof id.source);
    std::memcpy(id.destination, event.remote.data(), sizeof id.destination);
    id.interface_index = event.interface_index;
    // sock_diag carries the 64-bit cookie as two 32-bit words, the low one first.
    id.cookie[0] = static_cast<std::uint32_t>(event.cookie);
    id.cookie[1] = static_cast<std::uint32_t>(event.cookie >> 32);
    return id;
}

}  // namespace velmor::engine
