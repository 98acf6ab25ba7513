#include "velmor/engine/socket_news.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "velmor/engine/module_tcp_table.h"

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
    // Only the end of a handshake proves the remote address: a socket entering as SYN_RECV may answer
    // a forged SYN that never completes.
    if (event.old_state != kEventSynRecv || event.new_state != kEventEstablished) return false;
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

platform::TcpRow RowOfEvent(const guard::EventRecord& event) {
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const auto mapped = [](const std::array<std::uint8_t, 16>& address) {
        return std::memcmp(address.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
    };
    platform::TcpRow row;
    // The end of a handshake: the socket was established when the event was taken.
    row.dwState = kStateEstablished;
    row.dwLocalPort = NetworkOrder(event.local_port);
    row.dwRemotePort = NetworkOrder(event.remote_port);
    if (event.family == kInet) {
        std::memcpy(&row.dwLocalAddr, event.local.data(), 4);
        std::memcpy(&row.dwRemoteAddr, event.remote.data(), 4);
    } else if (mapped(event.local) && mapped(event.remote)) {
        // A dual-stack socket's IPv4 connection is an IPv4 row, as the table reports it.
        std::memcpy(&row.dwLocalAddr, event.local.data() + 12, 4);
        std::memcpy(&row.dwRemoteAddr, event.remote.data() + 12, 4);
    } else {
        row.family = platform::AddressFamily::kIpv6;
        std::memcpy(row.dwLocalAddr6, event.local.data(), sizeof row.dwLocalAddr6);
        std::memcpy(row.dwRemoteAddr6, event.remote.data(), sizeof row.dwRemoteAddr6);
    }
    return row;
}

}  // namespace velmor::engine
