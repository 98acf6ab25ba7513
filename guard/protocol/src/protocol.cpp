#include "velmor/guard/protocol.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "velmor/platform/address_text.h"

namespace velmor::guard {
namespace {

constexpr std::uint8_t kMagic0 = 'V';
constexpr std::uint8_t kMagic1 = 'G';
constexpr std::uint8_t kClearFlag = 0x01;
constexpr std::uint8_t kStatePacketFilter = 0x01, kStateTeardown = 0x02, kStateBait = 0x04,
                       kStateBlockInternet = 0x08, kStateKnown = 0x0F;
// Version 3 on.
constexpr std::uint8_t kStateFirstStrike = 0x10, kStateFirstStrikeArmed = 0x20, kStateHalfOpenEvents = 0x40,
                       kStateKnown3 = 0x7F;
constexpr std::size_t kStatusReplySize = 12;
constexpr std::size_t kStatusReplySize3 = 16;
// Version 4 on: the shared sets, and their element counts after the struck count.
constexpr std::uint8_t kStateSharedSets = 0x80, kStateKnown4 = 0xFF;
constexpr std::size_t kStatusReplySize4 = 24;
constexpr std::uint8_t kFirstStrikeVersion = 3;
constexpr std::uint8_t kOwnersVersion = 3;

class Writer {
public:
    Writer(std::uint8_t op, std::uint8_t version) { bytes_ = {kMagic0, kMagic1, version, op, 0, 0, 0, 0}; }
    void U8(std::uint8_t value) { bytes_.push_back(value); }
    void U16(std::uint16_t value) {
        bytes_.push_back(static_cast<std::uint8_t>(value));
        bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    void U64(std::uint64_t value) {
        for (int shift = 0; shift < 64; shift += 8)
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    std::size_t Size() const { return bytes_.size(); }
    void U32(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    void Raw(const void* data, std::size_t length) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + length);
    }
    std::vector<std::uint8_t> Finish() {
        const auto length = static_cast<std::uint32_t>(bytes_.size() - kHeaderSize);
        for (int i = 0; i < 4; ++i)
            bytes_[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t Left() const { return bytes_.size() - at_; }
    std::uint8_t U8() { return bytes_[at_++]; }
    std::uint16_t U16() {
        const auto value = static_cast<std::uint16_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
        at_ += 2;
        return value;
    }
    std::uint64_t U64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes_[at_++]) << (8 * i);
        return value;
    }
    std::uint32_t U32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(bytes_[at_++]) << (8 * i);
        return value;
    }
    void Raw(void* out, std::size_t length) {
        std::memcpy(out, bytes_.data() + at_, length);
        at_ += length;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

void WriteConnection(Writer& w, const ConnectionId& id) {
    w.U8(id.family);
    w.U8(0);
    w.Raw(&id.source_port_be, 2);
    w.Raw(&id.destination_port_be, 2);
    w.U8(0);
    w.U8(0);
    w.Raw(id.source.data(), 16);
    w.Raw(id.destination.data(), 16);
    w.U32(id.interface_index);
    w.Raw(id.cookie.data(), 8);
}

bool ReadConnection(Reader& r, ConnectionId& id) {
    id.family = r.U8();
    const std::uint8_t reserved0 = r.U8();
    r.Raw(&id.source_port_be, 2);
    r.Raw(&id.destination_port_be, 2);
    const std::uint8_t reserved1 = r.U8();
    const std::uint8_t reserved2 = r.U8();
    r.Raw(id.source.data(), 16);
    r.Raw(id.destination.data(), 16);
    id.interface_index = r.U32();
    r.Raw(id.cookie.data(), 8);
    // AF_INET and AF_INET6 as Linux numbers them; nothing else is a TCP connection.
    return (id.family == 2 || id.family == 10) && reserved0 == 0 && reserved1 == 0 && reserved2 == 0;
}

void WriteAddress(Writer& w, const Address& address) {
    w.U8(static_cast<std::uint8_t>(address.family));
    w.Raw(address.bytes.data(), address.bytes.size());
}

bool ReadAddress(Reader& r, Address& address) {
    const std::uint8_t family = r.U8();
    r.Raw(address.bytes.data(), address.bytes.size());
    if (family == static_cast<std::uint8_t>(Address::Family::V6)) {
        address.family = Address::Family::V6;
        return true;
    }
    if (family != static_cast<std::uint8_t>(Address::Family::V4)) return false;
    address.family = Address::Family::V4;
    for (std::size_t i = 4; i < address.bytes.size(); ++i) {
        if (address.bytes[i] != 0) return false;
    }
    return true;
}

void WriteRange(Writer& w, const ExemptRange& range) {
    WriteAddress(w, range.address);
    w.U8(range.prefix);
}

// A range's bits past its prefix are zero, so one range has one form on the wire.
bool ReadRange(Reader& r, ExemptRange& range) {
    if (!ReadAddress(r, range.address)) return false;
    range.prefix = r.U8();
    const int bits = range.address.family == Address::Family::V4 ? 32 : 128;
    if (range.prefix > bits) return false;
    for (int bit = range.prefix; bit < bits; ++bit) {
        if ((range.address.bytes[static_cast<std::size_t>(bit / 8)] & (0x80 >> (bit % 8))) != 0) return false;
    }
    return true;
}

void WriteSpan(Writer& w, const AddressSpan& span) {
    w.U8(static_cast<std::uint8_t>(span.first.family));
    w.Raw(span.first.bytes.data(), span.first.bytes.size());
    w.Raw(span.last.bytes.data(), span.last.bytes.size());
}

// One family, the IPv4 bytes past the fourth zero, and first no later than last.
bool ReadSpan(Reader& r, AddressSpan& span) {
    const std::uint8_t family = r.U8();
    r.Raw(span.first.bytes.data(), span.first.bytes.size());
    r.Raw(span.last.bytes.data(), span.last.bytes.size());
    if (family == static_cast<std::uint8_t>(Address::Family::V6)) {
        span.first.family = span.last.family = Address::Family::V6;
    } else if (family == static_cast<std::uint8_t>(Address::Family::V4)) {
        span.first.family = span.last.family = Address::Family::V4;
        for (std::size_t i = 4; i < span.first.bytes.size(); ++i) {
            if (span.first.bytes[i] != 0 || span.last.bytes[i] != 0) return false;
        }
    } else {
        return false;
    }
    return span.first.bytes <= span.last.bytes;
}

bool IsRefusal(std::uint8_t reason) {
    return reason >= static_cast<std::uint8_t>(Refusal::Loopback) &&
           reason <= static_cast<std::uint8_t>(Refusal::Gateway);
}

bool IsKnownVersion(std::uint8_t version) {
    return version >= kOldestProtocolVersion && version <= kProtocolVersion;
}

// The operations a client may send, and the guard answer.
bool IsKnownOp(std::uint8_t op) {
    return (op >= 1 && op <= static_cast<std::uint8_t>(Op::Subscribe)) ||
           op == static_cast<std::uint8_t>(Op::UpdateExempt) ||
           op == static_cast<std::uint8_t>(Op::SetFirstStrike) ||
           op == static_cast<std::uint8_t>(Op::Owners) || op == static_cast<std::uint8_t>(Op::UpdateShared);
}

void WriteOwner(Writer& w, const OwnerRecord& o) {
    const std::size_t name = std::min(o.name.size(), OwnerRecord::kMaxName);
    const std::size_t path = std::min(o.path.size(), OwnerRecord::kMaxPath);
    w.U64(o.cookie);
    w.U64(o.bytes_received);
    w.U64(o.bytes_sent);
    w.U32(o.pid);
    w.U32(o.uid);
    w.U8(o.flags & OwnerRecord::kKnownFlags);
    w.U8(o.family);
    w.U16(o.local_port);
    w.U16(o.remote_port);
    w.U8(static_cast<std::uint8_t>(name));
    w.U8(0);
    w.U16(static_cast<std::uint16_t>(path));
    w.Raw(o.local.data(), 16);
    w.Raw(o.remote.data(), 16);
    // A process names itself: control characters in its name travel as '?'.
    for (std::size_t i = 0; i < name; ++i) {
        const auto c = static_cast<unsigned char>(o.name[i]);
        w.U8(c < 0x20 || c == 0x7f ? static_cast<std::uint8_t>('?') : c);
    }
    w.Raw(o.path.data(), path);
}

bool ReadOwner(Reader& r, OwnerRecord& o) {
    if (r.Left() < kOwnerRecordFixedSize) return false;
    o.cookie = r.U64();
    o.bytes_received = r.U64();
    o.bytes_sent = r.U64();
    o.pid = r.U32();
    o.uid = r.U32();
    o.flags = r.U8();
    o.family = r.U8();
    o.local_port = r.U16();
    o.remote_port = r.U16();
    const std::size_t name = r.U8();
    const std::uint8_t reserved = r.U8();
    const std::size_t path = r.U16();
    r.Raw(o.local.data(), 16);
    r.Raw(o.remote.data(), 16);
    if ((o.flags & ~OwnerRecord::kKnownFlags) != 0 || reserved != 0 || name > OwnerRecord::kMaxName ||
        path > OwnerRecord::kMaxPath || r.Left() < name + path) {
        return false;
    }
    o.name.resize(name);
    o.path.resize(path);
    r.Raw(o.name.data(), name);
    r.Raw(o.path.data(), path);
    // The writer sends control characters of a name as '?': one with them is no frame of a guard.
    if (std::any_of(o.name.begin(), o.name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7f;
        })) {
        return false;
    }
    // Addresses only where they are said to be, and then of a family they can be.
    if ((o.flags & OwnerRecord::kHasAddresses) != 0) {
        if (o.family != 2 && o.family != 10) return false;
        if (o.family == 2) {
            for (std::size_t i = 4; i < 16; ++i) {
                if (o.local[i] != 0 || o.remote[i] != 0) return false;
            }
        }
    } else if (o.family != 0 || o.local_port != 0 || o.remote_port != 0 || o.local != decltype(o.local){} ||
               o.remote != decltype(o.remote){}) {
        return false;
    }
    return true;
}

// Those that came with a later version than the oldest.
bool IsOpOfVersion(Op op, std::uint8_t version) {
    if (op == Op::UpdateExempt || op == Op::SetFirstStrike) return version >= kFirstStrikeVersion;
    if (op == Op::Owners) return version >= kOwnersVersion;
    if (op == Op::UpdateShared) return version >= kSharedSetsVersion;
    return true;
}

void WriteEvent(Writer& w, const EventRecord& e, std::uint8_t version) {
    for (int shift = 0; shift < 64; shift += 8) w.U8(static_cast<std::uint8_t>(e.cookie >> shift));
    w.U8(e.family);
    w.U8(e.old_state);
    w.U8(e.new_state);
    w.U8(version >= kFirstStrikeVersion ? e.flags : 0);
    w.U8(static_cast<std::uint8_t>(e.local_port));
    w.U8(static_cast<std::uint8_t>(e.local_port >> 8));
    w.U8(static_cast<std::uint8_t>(e.remote_port));
    w.U8(static_cast<std::uint8_t>(e.remote_port >> 8));
    w.U32(e.interface_index);
    w.Raw(e.local.data(), 16);
    w.Raw(e.remote.data(), 16);
}

bool ReadEvent(Reader& r, EventRecord& e, std::uint8_t version) {
    e.cookie = 0;
    for (int shift = 0; shift < 64; shift += 8) e.cookie |= static_cast<std::uint64_t>(r.U8()) << shift;
    e.family = r.U8();
    e.old_state = r.U8();
    e.new_state = r.U8();
    // The flags of version 3; a reserved zero before.
    const std::uint8_t flags = r.U8();
    const std::uint8_t known_flags = version >= kFirstStrikeVersion ? kEventStruck : 0;
    e.flags = flags;
    e.local_port = static_cast<std::uint16_t>(r.U8() | r.U8() << 8);
    e.remote_port = static_cast<std::uint16_t>(r.U8() | r.U8() << 8);
    e.interface_index = r.U32();
    r.Raw(e.local.data(), 16);
    r.Raw(e.remote.data(), 16);
    // TCP states run from TCP_ESTABLISHED (1) to TCP_NEW_SYN_RECV (12).
    const auto state_ok = [](std::uint8_t s) { return s >= 1 && s <= 12; };
    if ((e.family != 2 && e.family != 10) || (flags & ~known_flags) != 0 || !state_ok(e.old_state) ||
        !state_ok(e.new_state)) {
        return false;
    }
    if (e.family == 2) {
        for (std::size_t i = 4; i < 16; ++i) {
            if (e.local[i] != 0 || e.remote[i] != 0) return false;
        }
    }
    return true;
}

// Checks the header; on Complete `payload` is the frame's payload, `op` its operation byte and
// `version` its version.
ParseStatus ParseFrame(std::span<const std::uint8_t> bytes, std::uint8_t& op, std::uint8_t& version,
                       std::span<const std::uint8_t>& payload, std::size_t& consumed) {
    if (bytes.size() >= 1 && bytes[0] != kMagic0) return ParseStatus::Invalid;
    if (bytes.size() >= 2 && bytes[1] != kMagic1) return ParseStatus::Invalid;
    if (bytes.size() < kHeaderSize) return ParseStatus::Incomplete;
    if (!IsKnownVersion(bytes[2])) return ParseStatus::UnsupportedVersion;
    version = bytes[2];
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= static_cast<std::uint32_t>(bytes[4 + static_cast<std::size_t>(i)]) << (8 * i);
    if (length > kMaxPayload) return ParseStatus::Invalid;
    if (bytes.size() - kHeaderSize < length) return ParseStatus::Incomplete;
    op = bytes[3];
    payload = bytes.subspan(kHeaderSize, length);
    consumed = kHeaderSize + length;
    return ParseStatus::Complete;
}

}  // namespace

bool ParseAddress(std::string_view text, Address& address) {
    const std::optional<platform::IpAddress> parsed = platform::ParseIpAddress(text);
    if (!parsed) return false;
    address.family = parsed->v6 ? Address::Family::V6 : Address::Family::V4;
    address.bytes = parsed->bytes;
    return true;
}

std::string FormatAddress(const Address& address) {
    return platform::FormatIpAddress({address.family == Address::Family::V6, address.bytes});
}

std::string FormatSpan(const AddressSpan& span) {
    if (span.first == span.last) return FormatAddress(span.first);
    return FormatAddress(span.first) + '-' + FormatAddress(span.last);
}

std::size_t FrameLength(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderSize || bytes[0] != kMagic0 || bytes[1] != kMagic1) return 0;
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= static_cast<std::uint32_t>(bytes[4 + static_cast<std::size_t>(i)]) << (8 * i);
    return length > kMaxPayload ? 0 : kHeaderSize + length;
}

std::vector<std::uint8_t> EncodeRequest(const Request& request) {
    Writer w(static_cast<std::uint8_t>(request.op), request.version);
    switch (request.op) {
        case Op::Status:
        case Op::BaitSocket:
        case Op::Subscribe:
        case Op::Events:
            break;
        case Op::TearDown:
            w.U32(static_cast<std::uint32_t>(request.connections.size()));
            for (const auto& id : request.connections) WriteConnection(w, id);
            break;
        case Op::UpdateBlocked:
            w.U8(request.clear ? kClearFlag : 0);
            w.U32(static_cast<std::uint32_t>(request.add.size()));
            w.U32(static_cast<std::uint32_t>(request.remove.size()));
            for (const auto& a : request.add) WriteAddress(w, a);
            for (const auto& a : request.remove) WriteAddress(w, a);
            break;
        case Op::SetBlockInternet:
        case Op::SetFirstStrike:
            w.U8(request.on ? 1 : 0);
            break;
        case Op::UpdateExempt:
            w.U8(request.clear ? kClearFlag : 0);
            w.U32(static_cast<std::uint32_t>(request.exempt_add.size()));
            w.U32(static_cast<std::uint32_t>(request.exempt_remove.size()));
            for (const auto& range : request.exempt_add) WriteRange(w, range);
            for (const auto& range : request.exempt_remove) WriteRange(w, range);
            break;
        case Op::Owners:
            w.U32(static_cast<std::uint32_t>(std::min(request.sockets.size(), kMaxSocketRefs)));
            for (std::size_t i = 0; i < request.sockets.size() && i < kMaxSocketRefs; ++i) {
                w.U64(request.sockets[i].cookie);
                w.U64(request.sockets[i].inode);
            }
            break;
        case Op::UpdateShared:
            w.U8(request.clear ? kClearFlag : 0);
            w.U32(static_cast<std::uint32_t>(request.shared_add.size()));
            w.U32(static_cast<std::uint32_t>(request.shared_remove.size()));
            for (const auto& e : request.shared_add) {
                WriteSpan(w, e.span);
                w.U32(e.timeout_seconds);
            }
            for (const auto& span : request.shared_remove) WriteSpan(w, span);
            break;
    }
    return w.Finish();
}

ParseStatus ParseRequest(std::span<const std::uint8_t> bytes, Request& request, std::size_t& consumed) {
    std::uint8_t op = 0, version = 0;
    std::span<const std::uint8_t> payload;
    const ParseStatus frame = ParseFrame(bytes, op, version, payload, consumed);
    if (frame != ParseStatus::Complete) return frame;
    if (!IsKnownOp(op) || !IsOpOfVersion(static_cast<Op>(op), version)) return ParseStatus::Invalid;
    Request parsed;
    parsed.op = static_cast<Op>(op);
    parsed.version = version;
    Reader r(payload);
    switch (parsed.op) {
        case Op::Status:
        case Op::BaitSocket:
        case Op::Subscribe:
            if (r.Left() != 0) return ParseStatus::Invalid;
            break;
        case Op::Events:
            return ParseStatus::Invalid;
        case Op::TearDown: {
            if (r.Left() < 4) return ParseStatus::Invalid;
            const std::uint64_t count = r.U32();
            if (count > kMaxConnections || r.Left() != count * kConnectionIdSize) return ParseStatus::Invalid;
            parsed.connections.resize(static_cast<std::size_t>(count));
            for (auto& id : parsed.connections) {
                if (!ReadConnection(r, id)) return ParseStatus::Invalid;
            }
            break;
        }
        case Op::UpdateBlocked: {
            if (r.Left() < 9) return ParseStatus::Invalid;
            const std::uint8_t flags = r.U8();
            const std::uint64_t adds = r.U32();
            const std::uint64_t removes = r.U32();
            if ((flags & ~kClearFlag) != 0 || adds + removes > kMaxAddresses ||
                r.Left() != (adds + removes) * kAddressSize) {
                return ParseStatus::Invalid;
            }
            parsed.clear = (flags & kClearFlag) != 0;
            parsed.add.resize(static_cast<std::size_t>(adds));
            parsed.remove.resize(static_cast<std::size_t>(removes));
            for (auto& a : parsed.add) {
                if (!ReadAddress(r, a)) return ParseStatus::Invalid;
            }
            for (auto& a : parsed.remove) {
                if (!ReadAddress(r, a)) return ParseStatus::Invalid;
            }
            break;
        }
        case Op::SetBlockInternet:
        case Op::SetFirstStrike: {
            if (r.Left() != 1) return ParseStatus::Invalid;
            const std::uint8_t on = r.U8();
            if (on > 1) return ParseStatus::Invalid;
            parsed.on = on == 1;
            break;
        }
        case Op::UpdateShared: {
            if (r.Left() < 9) return ParseStatus::Invalid;
            const std::uint8_t flags = r.U8();
            const std::uint64_t adds = r.U32();
            const std::uint64_t removes = r.U32();
            if ((flags & ~kClearFlag) != 0 || adds + removes > kMaxSharedElements ||
                r.Left() != adds * kSharedElementSize + removes * kSpanSize) {
                return ParseStatus::Invalid;
            }
            parsed.clear = (flags & kClearFlag) != 0;
            parsed.shared_add.resize(static_cast<std::size_t>(adds));
            parsed.shared_remove.resize(static_cast<std::size_t>(removes));
            for (auto& e : parsed.shared_add) {
                if (!ReadSpan(r, e.span)) return ParseStatus::Invalid;
                e.timeout_seconds = r.U32();
            }
            for (auto& span : parsed.shared_remove) {
                if (!ReadSpan(r, span)) return ParseStatus::Invalid;
            }
            break;
        }
        case Op::UpdateExempt: {
            if (r.Left() < 9) return ParseStatus::Invalid;
            const std::uint8_t flags = r.U8();
            const std::uint64_t adds = r.U32();
            const std::uint64_t removes = r.U32();
            if ((flags & ~kClearFlag) != 0 || adds + removes > kMaxExemptRanges ||
                r.Left() != (adds + removes) * kExemptRangeSize) {
                return ParseStatus::Invalid;
            }
            parsed.clear = (flags & kClearFlag) != 0;
            parsed.exempt_add.resize(static_cast<std::size_t>(adds));
            parsed.exempt_remove.resize(static_cast<std::size_t>(removes));
            for (auto& range : parsed.exempt_add) {
                if (!ReadRange(r, range)) return ParseStatus::Invalid;
            }
            for (auto& range : parsed.exempt_remove) {
                if (!ReadRange(r, range)) return ParseStatus::Invalid;
            }
            break;
        }
        case Op::Owners: {
            if (r.Left() < 4) return ParseStatus::Invalid;
            const std::uint64_t count = r.U32();
            if (count > kMaxSocketRefs || r.Left() != count * kSocketRefSize) return ParseStatus::Invalid;
            parsed.sockets.resize(static_cast<std::size_t>(count));
            for (SocketRef& socket : parsed.sockets) {
                socket.cookie = r.U64();
                socket.inode = r.U64();
            }
            break;
        }
    }
    request = std::move(parsed);
    return ParseStatus::Complete;
}

std::vector<std::uint8_t> EncodeReply(const Reply& reply) {
    Writer w(static_cast<std::uint8_t>(static_cast<std::uint8_t>(reply.op) | kReplyBit), reply.version);
    w.U8(static_cast<std::uint8_t>(reply.result));
    if (reply.op == Op::UpdateBlocked && reply.result == Result::Ok && reply.version >= 2) {
        const std::size_t count = std::min(reply.refused.size(), kMaxRefusals);
        w.U32(static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            WriteAddress(w, reply.refused[i].address);
            w.U8(static_cast<std::uint8_t>(reply.refused[i].reason));
        }
    }
    if (reply.op == Op::UpdateShared && reply.result == Result::Ok) {
        const std::size_t count = std::min(reply.refused_spans.size(), kMaxRefusedSpans);
        w.U32(static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            WriteSpan(w, reply.refused_spans[i].span);
            w.U8(static_cast<std::uint8_t>(reply.refused_spans[i].reason));
        }
        w.U32(reply.shared_v4);
        w.U32(reply.shared_v6);
    }
    if (reply.op == Op::Owners && reply.result == Result::Ok) {
        const std::size_t count = std::min(reply.owners.size(), kMaxOwnerRecords);
        w.U32(static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) WriteOwner(w, reply.owners[i]);
    }
    if (reply.op == Op::Status && reply.result == Result::Ok) {
        const GuardState& s = reply.state;
        const bool v3 = reply.version >= kFirstStrikeVersion;
        const bool v4 = reply.version >= kSharedSetsVersion;
        w.U8(static_cast<std::uint8_t>((s.packet_filter ? kStatePacketFilter : 0) |
                                       (s.teardown ? kStateTeardown : 0) | (s.bait ? kStateBait : 0) |
                                       (s.block_internet ? kStateBlockInternet : 0) |
                                       (v3 && s.first_strike ? kStateFirstStrike : 0) |
                                       (v3 && s.first_strike_armed ? kStateFirstStrikeArmed : 0) |
                                       (v3 && s.half_open_events ? kStateHalfOpenEvents : 0) |
                                       (v4 && s.shared_sets ? kStateSharedSets : 0)));
        w.U8(0);
        w.U8(0);
        w.U32(s.blocked_v4);
        w.U32(s.blocked_v6);
        if (v3) w.U32(s.struck);
        if (v4) {
            w.U32(s.shared_v4);
            w.U32(s.shared_v6);
        }
    }
    return w.Finish();
}

ParseStatus ParseReply(std::span<const std::uint8_t> bytes, Reply& reply, std::size_t& consumed) {
    std::uint8_t op = 0, version = 0;
    std::span<const std::uint8_t> payload;
    const ParseStatus frame = ParseFrame(bytes, op, version, payload, consumed);
    if (frame != ParseStatus::Complete) return frame;
    const auto reply_op = static_cast<std::uint8_t>(op & ~kReplyBit);
    if ((op & kReplyBit) == 0 || !IsKnownOp(reply_op) || !IsOpOfVersion(static_cast<Op>(reply_op), version) ||
        payload.empty()) {
        return ParseStatus::Invalid;
    }
    // An answer in a version that has no such operation is an UnsupportedVersion one at most.
    Reply parsed;
    parsed.op = static_cast<Op>(op & ~kReplyBit);
    parsed.version = version;
    Reader r(payload);
    const std::uint8_t result = r.U8();
    if (result > static_cast<std::uint8_t>(Result::NotAvailable)) return ParseStatus::Invalid;
    parsed.result = static_cast<Result>(result);
    if (parsed.op == Op::Status && parsed.result == Result::Ok) {
        const bool v3 = version >= kFirstStrikeVersion;
        const bool v4 = version >= kSharedSetsVersion;
        const std::size_t size = v4 ? kStatusReplySize4 : v3 ? kStatusReplySize3 : kStatusReplySize;
        const std::uint8_t known = v4 ? kStateKnown4 : v3 ? kStateKnown3 : kStateKnown;
        if (payload.size() != size) return ParseStatus::Invalid;
        const std::uint8_t flags = r.U8();
        if ((flags & ~known) != 0 || r.U8() != 0 || r.U8() != 0) return ParseStatus::Invalid;
        parsed.state.packet_filter = (flags & kStatePacketFilter) != 0;
        parsed.state.teardown = (flags & kStateTeardown) != 0;
        parsed.state.bait = (flags & kStateBait) != 0;
        parsed.state.block_internet = (flags & kStateBlockInternet) != 0;
        parsed.state.first_strike = (flags & kStateFirstStrike) != 0;
        parsed.state.first_strike_armed = (flags & kStateFirstStrikeArmed) != 0;
        parsed.state.half_open_events = (flags & kStateHalfOpenEvents) != 0;
        parsed.state.shared_sets = (flags & kStateSharedSets) != 0;
        parsed.state.blocked_v4 = r.U32();
        parsed.state.blocked_v6 = r.U32();
        if (v3) parsed.state.struck = r.U32();
        if (v4) {
            parsed.state.shared_v4 = r.U32();
            parsed.state.shared_v6 = r.U32();
        }
    } else if (parsed.op == Op::UpdateBlocked && parsed.result == Result::Ok && version >= 2) {
        if (r.Left() < 4) return ParseStatus::Invalid;
        const std::uint64_t count = r.U32();
        if (count > kMaxRefusals || r.Left() != count * kRefusalSize) return ParseStatus::Invalid;
        parsed.refused.resize(static_cast<std::size_t>(count));
        for (RefusedAddress& refused : parsed.refused) {
            if (!ReadAddress(r, refused.address)) return ParseStatus::Invalid;
            const std::uint8_t reason = r.U8();
            if (!IsRefusal(reason)) return ParseStatus::Invalid;
            refused.reason = static_cast<Refusal>(reason);
        }
    } else if (parsed.op == Op::UpdateShared && parsed.result == Result::Ok) {
        if (r.Left() < 12) return ParseStatus::Invalid;
        const std::uint64_t count = r.U32();
        if (count > kMaxRefusedSpans || r.Left() != count * kRefusedSpanSize + 8) return ParseStatus::Invalid;
        parsed.refused_spans.resize(static_cast<std::size_t>(count));
        for (RefusedSpan& refused : parsed.refused_spans) {
            if (!ReadSpan(r, refused.span)) return ParseStatus::Invalid;
            const std::uint8_t reason = r.U8();
            if (!IsRefusal(reason)) return ParseStatus::Invalid;
            refused.reason = static_cast<Refusal>(reason);
        }
        parsed.shared_v4 = r.U32();
        parsed.shared_v6 = r.U32();
    } else if (parsed.op == Op::Owners && parsed.result == Result::Ok) {
        if (version < kOwnersVersion || r.Left() < 4) return ParseStatus::Invalid;
        const std::uint64_t count = r.U32();
        if (count > kMaxOwnerRecords) return ParseStatus::Invalid;
        parsed.owners.resize(static_cast<std::size_t>(count));
        for (OwnerRecord& owner : parsed.owners) {
            if (!ReadOwner(r, owner)) return ParseStatus::Invalid;
        }
        if (r.Left() != 0) return ParseStatus::Invalid;
    } else if (payload.size() != 1) {
        return ParseStatus::Invalid;
    }
    reply = std::move(parsed);
    return ParseStatus::Complete;
}

std::vector<std::uint8_t> EncodeEvents(const EventBatch& batch) {
    Writer w(static_cast<std::uint8_t>(static_cast<std::uint8_t>(Op::Events) | kReplyBit), batch.version);
    const std::size_t count = std::min(batch.events.size(), MaxEventRecords(batch.version));
    w.U32(static_cast<std::uint32_t>(count));
    w.U32(batch.lost);
    for (std::size_t i = 0; i < count; ++i) WriteEvent(w, batch.events[i], batch.version);
    if (batch.version >= 3) {
        // As many owner records as the frame has room for, whatever their names and paths.
        const std::size_t room = (kMaxPayload - 12 - count * kEventRecordSize) / kMaxOwnerRecordSize;
        const std::size_t owners = std::min({batch.owners.size(), kMaxOwnerRecords, room});
        w.U32(static_cast<std::uint32_t>(owners));
        for (std::size_t i = 0; i < owners; ++i) WriteOwner(w, batch.owners[i]);
    }
    return w.Finish();
}

ParseStatus ParseEvents(std::span<const std::uint8_t> bytes, EventBatch& batch, std::size_t& consumed) {
    std::uint8_t op = 0, version = 0;
    std::span<const std::uint8_t> payload;
    const ParseStatus frame = ParseFrame(bytes, op, version, payload, consumed);
    if (frame != ParseStatus::Complete) return frame;
    if (op != (static_cast<std::uint8_t>(Op::Events) | kReplyBit) || payload.size() < 8) {
        return ParseStatus::Invalid;
    }
    Reader r(payload);
    const std::uint64_t count = r.U32();
    EventBatch parsed;
    parsed.version = version;
    parsed.lost = r.U32();
    const bool owners = version >= 3;
    if (owners ? r.Left() < count * kEventRecordSize + 4 : r.Left() != count * kEventRecordSize)
        return ParseStatus::Invalid;
    parsed.events.resize(static_cast<std::size_t>(count));
    for (auto& e : parsed.events) {
        if (!ReadEvent(r, e, version)) return ParseStatus::Invalid;
    }
    if (owners) {
        const std::uint64_t owner_count = r.U32();
        if (owner_count > kMaxOwnerRecords) return ParseStatus::Invalid;
        parsed.owners.resize(static_cast<std::size_t>(owner_count));
        for (OwnerRecord& owner : parsed.owners) {
            if (!ReadOwner(r, owner)) return ParseStatus::Invalid;
        }
        if (r.Left() != 0) return ParseStatus::Invalid;
    }
    batch = std::move(parsed);
    return ParseStatus::Complete;
}

}  // namespace velmor::guard
