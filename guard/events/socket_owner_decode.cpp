#include <cstddef>
#include <cstring>

#include "velmor/guard/socket_owner_layout.h"
#include "velmor/guard/socket_owner_source.h"

namespace velmor::guard {
namespace {

static_assert(sizeof(velmor_owner_record) == kSocketOwnerRecordSize);
static_assert(offsetof(velmor_owner_record, cookie) == 0);
static_assert(offsetof(velmor_owner_record, bytes_received) == 8);
static_assert(offsetof(velmor_owner_record, bytes_acked) == 16);
static_assert(offsetof(velmor_owner_record, owner) == 24);
static_assert(offsetof(velmor_owner, start_ns) == 0);
static_assert(offsetof(velmor_owner, tgid) == 8);
static_assert(offsetof(velmor_owner, uid) == 12);
static_assert(offsetof(velmor_owner, comm) == 16);
static_assert(offsetof(velmor_owner_record, local) == 56);
static_assert(offsetof(velmor_owner_record, remote) == 72);
static_assert(offsetof(velmor_owner_record, local_port) == 88);
static_assert(offsetof(velmor_owner_record, remote_port) == 90);
static_assert(offsetof(velmor_owner_record, family) == 92);
static_assert(offsetof(velmor_owner_record, kind) == 94);
static_assert(offsetof(velmor_owner_record, has_owner) == 95);
static_assert(offsetof(velmor_owner_record, version) == 96);
static_assert(offsetof(velmor_owner_record, reserved) == 97);

template <typename T>
T Read(std::span<const std::byte> record, std::size_t offset) {
    T value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

// A comm field: the bytes up to its first NUL (the kernel always leaves one).
std::string NameOf(std::span<const std::byte> field) {
    std::string name;
    for (const std::byte b : field) {
        if (b == std::byte{0}) break;
        name.push_back(static_cast<char>(b));
    }
    return name;
}

bool IsZero(std::span<const std::byte> bytes) {
    for (const std::byte b : bytes) {
        if (b != std::byte{0}) return false;
    }
    return true;
}

}  // namespace

std::optional<SocketOwnerEvent> DecodeSocketOwner(std::span<const std::byte> record) {
    if (record.size() != kSocketOwnerRecordSize) return std::nullopt;
    if (Read<std::uint8_t>(record, 96) != VELMOR_SOCKET_OWNER_VERSION || !IsZero(record.subspan(97))) {
        return std::nullopt;
    }
    const std::uint8_t kind = Read<std::uint8_t>(record, 94);
    const std::uint8_t has_owner = Read<std::uint8_t>(record, 95);
    if (kind < VELMOR_OWNER_CONNECT || kind > VELMOR_OWNER_CLOSE || has_owner > 1) return std::nullopt;
    // Only a closing socket may come without an owner; then no process fields are set either.
    if (has_owner == 0 && (kind != VELMOR_OWNER_CLOSE || !IsZero(record.subspan(24, 32))))
        return std::nullopt;

    SocketOwnerEvent event;
    event.cookie = Read<std::uint64_t>(record, 0);
    event.kind = static_cast<SocketOwnerEvent::Kind>(kind);
    event.family = Read<std::uint16_t>(record, 92);
    if (event.family != 2 && event.family != 10) return std::nullopt;
    std::memcpy(event.local.data(), record.data() + 56, event.local.size());
    std::memcpy(event.remote.data(), record.data() + 72, event.remote.size());
    if (event.family == 2) {
        for (std::size_t i = 4; i < 16; ++i) {
            if (event.local[i] != 0 || event.remote[i] != 0) return std::nullopt;
        }
    }
    event.local_port = Read<std::uint16_t>(record, 88);
    event.remote_port = Read<std::uint16_t>(record, 90);
    if (event.kind == SocketOwnerEvent::Kind::kClose) {
        event.bytes_received = Read<std::uint64_t>(record, 8);
        event.bytes_acked = Read<std::uint64_t>(record, 16);
    } else if (!IsZero(record.subspan(8, 16))) {
        return std::nullopt;
    }
    if (has_owner == 1) {
        KernelOwner owner;
        owner.start_ns = Read<std::uint64_t>(record, 24);
        owner.tgid = Read<std::uint32_t>(record, 32);
        owner.uid = Read<std::uint32_t>(record, 36);
        owner.name = NameOf(record.subspan(40, 16));
        event.owner = std::move(owner);
    }
    return event;
}

}  // namespace velmor::guard
