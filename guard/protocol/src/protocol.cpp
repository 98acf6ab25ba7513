#include "velmor/guard/protocol.h"

#include <algorithm>
#include <cstring>

namespace velmor::guard {
namespace {

constexpr std::uint8_t kMagic0 = 'V';
constexpr std::uint8_t kMagic1 = 'G';
constexpr std::uint8_t kClearFlag = 0x01;
constexpr std::uint8_t kStatePacketFilter = 0x01, kStateTeardown = 0x02, kStateBait = 0x04,
                       kStateBlockInternet = 0x08, kStateKnown = 0x0F;
constexpr std::size_t kStatusReplySize = 12;

class Writer {
public:
    Writer(std::uint8_t op, std::uint8_t version) { bytes_ = {kMagic0, kMagic1, version, op, 0, 0, 0, 0}; }
    void U8(std::uint8_t value) { bytes_.push_back(value); }
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

// The operations a client may send in `version`, and the guard answer.
bool IsKnownOp(std::uint8_t op, std::uint8_t version) {
    if (op == static_cast<std::uint8_t>(Op::UpdateShared)) return version >= kSharedSetsVersion;
    return op >= 1 && op <= static_cast<std::uint8_t>(Op::Subscribe);
}

void WriteEvent(Writer& w, const EventRecord& e) {
    for (int shift = 0; shift < 64; shift += 8) w.U8(static_cast<std::uint8_t>(e.cookie >> shift));
    w.U8(e.family);
    w.U8(e.old_state);
    w.U8(e.new_state);
    w.U8(0);
    w.U8(static_cast<std::uint8_t>(e.local_port));
    w.U8(static_cast<std::uint8_t>(e.local_port >> 8));
    w.U8(static_cast<std::uint8_t>(e.remote_port));
    w.U8(static_cast<std::uint8_t>(e.remote_port >> 8));
    w.U32(e.interface_index);
    w.Raw(e.local.data(), 16);
    w.Raw(e.remote.data(), 16);
}

bool ReadEvent(Reader& r, EventRecord& e) {
    e.cookie = 0;
    for (int shift = 0; shift < 64; shift += 8) e.cookie |= static_cast<std::uint64_t>(r.U8()) << shift;
    e.family = r.U8();
    e.old_state = r.U8();
    e.new_state = r.U8();
    const std::uint8_t reserved = r.U8();
    e.local_port = static_cast<std::uint16_t>(r.U8() | r.U8() << 8);
    e.remote_port = static_cast<std::uint16_t>(r.U8() | r.U8() << 8);
    e.interface_index = r.U32();
    r.Raw(e.local.data(), 16);
    r.Raw(e.remote.data(), 16);
    // TCP states run from TCP_ESTABLISHED (1) to TCP_NEW_SYN_RECV (12).
    const auto state_ok = [](std::uint8_t s) { return s >= 1 && s <= 12; };
    if ((e.family != 2 && e.family != 10) || reserved != 0 || !state_ok(e.old_state) ||
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

bool ParseV4(std::string_view text, std::uint8_t* out) {
    int part = 0;
    std::size_t at = 0;
    while (true) {
        if (part == 4 || at >= text.size()) return false;
        unsigned value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
            if (digits > 3) return false;
        }
        // No empty parts and no leading zeros: the forms inet_pton accepts.
        if (digits == 0 || value > 255 || (digits > 1 && text[at - digits] == '0')) return false;
        out[part++] = static_cast<std::uint8_t>(value);
        if (at == text.size()) return part == 4;
        if (text[at] != '.') return false;
        ++at;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Groups of one side of "::"; the last group may be a dotted quad when `dotted_last`.
bool ParseGroups(std::string_view part, bool dotted_last, std::vector<std::uint16_t>& groups) {
    if (part.empty()) return true;
    std::size_t at = 0;
    while (true) {
        const std::size_t colon = part.find(':', at);
        const std::string_view group =
            part.substr(at, colon == std::string_view::npos ? std::string_view::npos : colon - at);
        if (colon == std::string_view::npos && dotted_last && group.find('.') != std::string_view::npos) {
            std::uint8_t quad[4];
            if (!ParseV4(group, quad)) return false;
            groups.push_back(static_cast<std::uint16_t>(quad[0] << 8 | quad[1]));
            groups.push_back(static_cast<std::uint16_t>(quad[2] << 8 | quad[3]));
            return true;
        }
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (char c : group) {
            const int digit = HexValue(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups.push_back(static_cast<std::uint16_t>(value));
        if (groups.size() > 8) return false;
        if (colon == std::string_view::npos) return true;
        at = colon + 1;
    }
}

bool ParseV6(std::string_view text, std::uint8_t* out) {
    if (text.empty() || text.size() > 45) return false;
    std::vector<std::uint16_t> head, tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!ParseGroups(text, true, head) || head.size() != 8) return false;
    } else {
        if (text.find("::", gap + 1) != std::string_view::npos) return false;
        if (!ParseGroups(text.substr(0, gap), false, head) ||
            !ParseGroups(text.substr(gap + 2), true, tail)) {
            return false;
        }
        if (head.size() + tail.size() > 7) return false;
        head.resize(8 - tail.size(), 0);
        head.insert(head.end(), tail.begin(), tail.end());
    }
    for (std::size_t i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
        out[2 * i + 1] = static_cast<std::uint8_t>(head[i]);
    }
    return true;
}

}  // namespace

bool ParseAddress(std::string_view text, Address& address) {
    Address parsed;
    if (text.find(':') == std::string_view::npos) {
        parsed.family = Address::Family::V4;
        if (!ParseV4(text, parsed.bytes.data())) return false;
    } else {
        parsed.family = Address::Family::V6;
        if (!ParseV6(text, parsed.bytes.data())) return false;
    }
    address = parsed;
    return true;
}

std::string FormatAddress(const Address& address) {
    const auto& b = address.bytes;
    if (address.family == Address::Family::V4) {
        return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
               std::to_string(b[3]);
    }
    std::uint16_t groups[8];
    for (std::size_t i = 0; i < 8; ++i) groups[i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    // The longest run of two or more zero groups is shortened to "::", the first of equal runs.
    int best_start = -1, best_length = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > best_length) {
            best_start = i;
            best_length = j - i;
        }
        i = j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == best_start) {
            text += "::";
            i += best_length - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        const unsigned g = groups[i];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (g >> shift) & 0xF;
            if (digit != 0 || started || shift == 0) {
                text += kHex[digit];
                started = true;
            }
        }
    }
    return text;
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
            w.U8(request.on ? 1 : 0);
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
    if (!IsKnownOp(op, version)) return ParseStatus::Invalid;
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
        case Op::SetBlockInternet: {
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
    if (reply.op == Op::Status && reply.result == Result::Ok) {
        const GuardState& s = reply.state;
        w.U8(static_cast<std::uint8_t>((s.packet_filter ? kStatePacketFilter : 0) |
                                       (s.teardown ? kStateTeardown : 0) | (s.bait ? kStateBait : 0) |
                                       (s.block_internet ? kStateBlockInternet : 0)));
        w.U8(0);
        w.U8(0);
        w.U32(s.blocked_v4);
        w.U32(s.blocked_v6);
    }
    return w.Finish();
}

ParseStatus ParseReply(std::span<const std::uint8_t> bytes, Reply& reply, std::size_t& consumed) {
    std::uint8_t op = 0, version = 0;
    std::span<const std::uint8_t> payload;
    const ParseStatus frame = ParseFrame(bytes, op, version, payload, consumed);
    if (frame != ParseStatus::Complete) return frame;
    if ((op & kReplyBit) == 0 || !IsKnownOp(static_cast<std::uint8_t>(op & ~kReplyBit), version) ||
        payload.empty()) {
        return ParseStatus::Invalid;
    }
    Reply parsed;
    parsed.op = static_cast<Op>(op & ~kReplyBit);
    parsed.version = version;
    Reader r(payload);
    const std::uint8_t result = r.U8();
    if (result > static_cast<std::uint8_t>(Result::NotAvailable)) return ParseStatus::Invalid;
    parsed.result = static_cast<Result>(result);
    if (parsed.op == Op::Status && parsed.result == Result::Ok) {
        if (payload.size() != kStatusReplySize) return ParseStatus::Invalid;
        const std::uint8_t flags = r.U8();
        if ((flags & ~kStateKnown) != 0 || r.U8() != 0 || r.U8() != 0) return ParseStatus::Invalid;
        parsed.state.packet_filter = (flags & kStatePacketFilter) != 0;
        parsed.state.teardown = (flags & kStateTeardown) != 0;
        parsed.state.bait = (flags & kStateBait) != 0;
        parsed.state.block_internet = (flags & kStateBlockInternet) != 0;
        parsed.state.blocked_v4 = r.U32();
        parsed.state.blocked_v6 = r.U32();
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
    } else if (payload.size() != 1) {
        return ParseStatus::Invalid;
    }
    reply = std::move(parsed);
    return ParseStatus::Complete;
}

std::vector<std::uint8_t> EncodeEvents(const EventBatch& batch) {
    Writer w(static_cast<std::uint8_t>(static_cast<std::uint8_t>(Op::Events) | kReplyBit), batch.version);
    const std::size_t count = std::min(batch.events.size(), kMaxEventRecords);
    w.U32(static_cast<std::uint32_t>(count));
    w.U32(batch.lost);
    for (std::size_t i = 0; i < count; ++i) WriteEvent(w, batch.events[i]);
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
    if (r.Left() != count * kEventRecordSize) return ParseStatus::Invalid;
    parsed.events.resize(static_cast<std::size_t>(count));
    for (auto& e : parsed.events) {
        if (!ReadEvent(r, e)) return ParseStatus::Invalid;
    }
    batch = std::move(parsed);
    return ParseStatus::Complete;
}

}  // namespace velmor::guard
