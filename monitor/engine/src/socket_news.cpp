#include "velmor/engine/socket_news.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "velmor/engine/module_tcp_table.h"

namespace velmor::engine {
namespace {

// A host-order port as the kernel stores it: most significant byte first in memory.
std::uint16_t NetworkOrder(std::uint16_t port) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
    std::uint16_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

}  // namespace

bool IsBaitArrival(const guard::EventRecord& event) {
    if (event.family != guard::EventRecord::kInet && event.family != guard::EventRecord::kInet6) return false;
    if (event.local_port != guard::kBaitPort || event.remote_port == 0) return false;
    // Only the end of a handshake proves the remote address: a socket entering as SYN_RECV may answer
    // a forged SYN that never completes.
    if (event.old_state != guard::tcp_state::kSynRecv || event.new_state != guard::tcp_state::kEstablished)
        return false;
    const std::size_t length = event.family == guard::EventRecord::kInet ? 4 : 16;
    return std::any_of(event.remote.begin(), event.remote.begin() + static_cast<std::ptrdiff_t>(length),
                       [](std::uint8_t byte) { return byte != 0; });
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
    if (event.family == guard::EventRecord::kInet) {
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
