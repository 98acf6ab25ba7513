#include <array>
#include <cstddef>
#include <cstring>

#include "velmor/guard/first_strike_layout.h"
#include "velmor/guard/socket_event.h"
#include "velmor/guard/socket_event_layout.h"

namespace velmor::guard {
namespace {

static_assert(sizeof(velmor_socket_event) == kSocketEventRecordSize);
static_assert(offsetof(velmor_socket_event, cookie) == 0);
static_assert(offsetof(velmor_socket_event, time_ns) == 8);
static_assert(offsetof(velmor_socket_event, local) == 16);
static_assert(offsetof(velmor_socket_event, remote) == 32);
static_assert(offsetof(velmor_socket_event, interface_index) == 48);
static_assert(offsetof(velmor_socket_event, local_port) == 52);
static_assert(offsetof(velmor_socket_event, remote_port) == 54);
static_assert(offsetof(velmor_socket_event, family) == 56);
static_assert(offsetof(velmor_socket_event, old_state) == 58);
static_assert(offsetof(velmor_socket_event, new_state) == 59);
static_assert(offsetof(velmor_socket_event, version) == 60);
static_assert(offsetof(velmor_socket_event, flags) == 61);
static_assert(offsetof(velmor_socket_event, reserved) == 62);

template <typename T>
T Read(std::span<const std::byte> record, std::size_t offset) {
    T value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

bool ValidState(std::uint8_t state) {
    return state >= tcp_state::kEstablished && state <= tcp_state::kLast;
}

bool TailIsZero(const std::array<std::uint8_t, 16>& address) {
    for (std::size_t i = 4; i < address.size(); ++i) {
        if (address[i] != 0) return false;
    }
    return true;
}

}  // namespace

bool EntersTable(const EventRecord& event) {
    return event.new_state != tcp_state::kClose &&
           (event.old_state == tcp_state::kClose || event.old_state == tcp_state::kSynRecv);
}

bool Connects(const EventRecord& event) {
    return event.new_state == tcp_state::kEstablished &&
           (event.old_state == tcp_state::kSynSent || event.old_state == tcp_state::kSynRecv);
}

bool IsIpv4Mapped(const EventRecord& event) {
    if (event.family != EventRecord::kInet6) return false;
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const auto mapped = [](const std::array<std::uint8_t, 16>& address) {
        return std::memcmp(address.data(), kPrefix, sizeof kPrefix) == 0;
    };
    return mapped(event.local) && mapped(event.remote);
}

std::optional<EventRecord> DecodeSocketEvent(std::span<const std::byte> record, std::uint64_t* time_ns) {
    if (record.size() != kSocketEventRecordSize) return std::nullopt;
    if (Read<std::uint8_t>(record, 60) != VELMOR_SOCKET_EVENT_VERSION) return std::nullopt;
    const auto flags = Read<std::uint8_t>(record, 61);
    if ((flags & ~VELMOR_EVENT_STRUCK) != 0) return std::nullopt;
    for (std::size_t i = 62; i < kSocketEventRecordSize; ++i) {
        if (record[i] != std::byte{0}) return std::nullopt;
    }

    EventRecord event;
    const std::uint16_t family = Read<std::uint16_t>(record, 56);
    if (family != EventRecord::kInet && family != EventRecord::kInet6) return std::nullopt;
    event.family = static_cast<std::uint8_t>(family);
    event.old_state = Read<std::uint8_t>(record, 58);
    event.new_state = Read<std::uint8_t>(record, 59);
    if (!ValidState(event.old_state) || !ValidState(event.new_state)) return std::nullopt;
    event.cookie = Read<std::uint64_t>(record, 0);
    std::memcpy(event.local.data(), record.data() + 16, event.local.size());
    std::memcpy(event.remote.data(), record.data() + 32, event.remote.size());
    if (event.family == EventRecord::kInet && (!TailIsZero(event.local) || !TailIsZero(event.remote))) {
        return std::nullopt;
    }
    event.interface_index = Read<std::uint32_t>(record, 48);
    event.local_port = Read<std::uint16_t>(record, 52);
    event.remote_port = Read<std::uint16_t>(record, 54);
    if (time_ns != nullptr) *time_ns = Read<std::uint64_t>(record, 8);
    event.flags = (flags & VELMOR_EVENT_STRUCK) != 0 ? kEventStruck : 0;
    return event;
}

}  // namespace velmor::guard
