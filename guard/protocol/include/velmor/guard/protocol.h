#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::guard {

// The request/reply protocol between velmor and velmor-guard over the guard's Unix stream socket.
// Every message is one frame: an 8-byte header and a payload of at most kMaxPayload bytes.
//
//   byte 0..1  'V' 'G'
//   byte 2     protocol version (kOldestProtocolVersion..kProtocolVersion)
//   byte 3     operation; a reply carries the request's operation with bit 7 set
//   byte 4..7  payload length, little endian
//
// The client sends one request and reads its reply before the next; the guard answers every
// request in order, in the version the request came in (its event frames in the version of the
// Subscribe request), so a client of an older version reads every answer as it always did. A
// guard that knows no version of a client's answers UnsupportedVersion in version 1 and hangs up;
// the client may then try an older one. All numbers in payloads are little endian unless they are
// network-order fields of a socket id, which travel as the kernel gave them.
//
// Version 2 adds to the reply to UpdateBlocked the addresses the guard refused to put into its
// sets (lifelines), and those it took out of them on its own since its last such reply.
// Version 3 adds the kernel's first strike: the requests UpdateExempt and SetFirstStrike, its state
// in the reply to Status, and a flag byte in each event record (the kernel struck its remote address);
// and in the Status whether the events tell of half-open connections. It also says who is talking:
// the Owners request, and in event frames of a version 3 subscription, after the socket records, the
// owner records of the sockets that connected, listened or were accepted and the last byte counts of
// those that closed. A subscriber of version 1 or 2 gets its frames as before, without either.
// Version 4 adds UpdateShared, the sets of shared and imported decisions (op 30), and in the reply
// to Status whether the guard has them and how many elements they hold; the rest is as in version 3.
inline constexpr std::uint8_t kProtocolVersion = 4;
inline constexpr std::uint8_t kSharedSetsVersion = 4;
inline constexpr std::uint8_t kOldestProtocolVersion = 1;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint32_t kMaxPayload = 256 * 1024;
inline constexpr std::uint8_t kReplyBit = 0x80;

enum class Op : std::uint8_t {
    // Empty request; the reply says what the guard can do and holds.
    Status = 1,
    // u32 count, then count connection ids of kConnectionIdSize bytes.
    TearDown = 2,
    // u8 flags (bit 0: empty both sets first), u32 additions, u32 removals, then that many addresses
    // of kAddressSize bytes, additions first. From version 2 an Ok reply carries u32 count, then
    // count refusals of kRefusalSize bytes: an address and the reason (Refusal) as one byte.
    UpdateBlocked = 3,
    // u8 0 (off) or 1 (on).
    SetBlockInternet = 4,
    // Empty request; a successful reply carries a listening socket on TCP port 80 (SCM_RIGHTS).
    BaitSocket = 5,
    // Empty request. After an Ok reply the connection carries only event frames from the guard
    // (Events); the client sends nothing more on it, and it does not count towards the session
    // whose end lifts the blocked sets. NotAvailable when the guard has no kernel events.
    Subscribe = 6,
    // Guard to a subscribed client only, never a request: u32 count, u32 events lost since the last
    // frame, then count records of kEventRecordSize bytes; from version 3 then u32 owner count and
    // that many owner records (OwnerRecord). Sent with kReplyBit set.
    Events = 7,
    // From version 3. The ranges the first strike must never mark (the client's allowed rules, its
    // lifelines, its trusted list): u8 flags (bit 0: empty them first), u32 additions, u32 removals,
    // then that many ranges of kExemptRangeSize bytes, additions first. NotAvailable without it.
    UpdateExempt = 10,
    // From version 3. u8 0 (off) or 1 (on): whether a completed handshake on the bait marks its address
    // blocked in the kernel at once. Off for every new session. NotAvailable without it.
    SetFirstStrike = 11,
    // Version 3 on: u32 count, then count sockets of kSocketRefSize bytes (u64 cookie, u64 inode).
    // An Ok reply carries u32 count, then that many owner records of the sockets whose process the
    // guard found (from its kernel program, else from /proc/<pid>/fd), at most kMaxOwnerRecords.
    Owners = 20,
    // From version 4. u8 flags (bit 0: empty the shared sets first), u32 additions, u32 removals,
    // then that many additions of kSharedElementSize bytes (a span and u32 seconds until it expires
    // by itself, 0 for never) and removals of kSpanSize bytes, additions first. An Ok reply carries
    // u32 count, then count refusals of kRefusedSpanSize bytes (a span and the reason), then u32
    // elements held for IPv4 and u32 for IPv6.
    UpdateShared = 30,
};

enum class Result : std::uint8_t {
    Ok = 0,
    BadRequest = 1,
    UnsupportedVersion = 2,
    Failed = 3,
    NotAvailable = 4
};

// One connection as the kernel's sock_diag identifies it (family AF_INET or AF_INET6 as the kernel
// numbers them, ports and addresses in network order, interface and cookie as reported).
struct ConnectionId {
    std::uint8_t family = 0;
    std::uint16_t source_port_be = 0;
    std::uint16_t destination_port_be = 0;
    std::array<std::uint32_t, 4> source{};
    std::array<std::uint32_t, 4> destination{};
    std::uint32_t interface_index = 0;
    std::array<std::uint32_t, 2> cookie{};
    bool operator==(const ConnectionId&) const = default;
};
inline constexpr std::size_t kConnectionIdSize = 52;
inline constexpr std::size_t kMaxConnections = (kMaxPayload - 4) / kConnectionIdSize;

// An address of a blocked set: IPv4 (the first 4 bytes, the rest zero) or IPv6.
struct Address {
    enum class Family : std::uint8_t { V4 = 4, V6 = 6 };
    Family family = Family::V4;
    std::array<std::uint8_t, 16> bytes{};
    auto operator<=>(const Address&) const = default;
};
inline constexpr std::size_t kAddressSize = 17;
inline constexpr std::size_t kMaxAddresses = (kMaxPayload - 9) / kAddressSize;

// An address and the length of its prefix (0..32 for IPv4, 0..128 for IPv6); the bits past it are
// zero. On the wire an address and one byte.
struct ExemptRange {
    Address address;
    std::uint8_t prefix = 0;
    auto operator<=>(const ExemptRange&) const = default;
};
inline constexpr std::size_t kExemptRangeSize = kAddressSize + 1;
inline constexpr std::size_t kMaxExemptRanges = (kMaxPayload - 9) / kExemptRangeSize;

// Parses an address text as the one address-text module does (platform::ParseIpAddress): dotted
// decimal IPv4 or any IPv6 text, with an embedded dotted quad allowed. False for anything else,
// zone ids included.
bool ParseAddress(std::string_view text, Address& address);
// Dotted decimal or the IPv6 form the connection table writes (platform::FormatIpAddress).
std::string FormatAddress(const Address& address);

// Why the guard keeps an address out of its sets, whoever asks: blocking it would cut the machine
// off.
enum class Refusal : std::uint8_t {
    Loopback = 1,    // 127.0.0.0/8, ::1 (and their IPv4-mapped forms)
    OwnAddress = 2,  // an address of an interface of the guard's namespace
    Gateway = 3,     // a next hop of one of its default routes
};

struct RefusedAddress {
    Address address;
    Refusal reason = Refusal::Loopback;
    bool operator==(const RefusedAddress&) const = default;
};
inline constexpr std::size_t kRefusalSize = kAddressSize + 1;
inline constexpr std::size_t kMaxRefusals = (kMaxPayload - 5) / kRefusalSize;

// A socket whose owner is asked for: its cookie (sock_diag's idiag_cookie) and the inode of its
// socket file (idiag_inode), which /proc/<pid>/fd names.
struct SocketRef {
    std::uint64_t cookie = 0;
    std::uint64_t inode = 0;
    bool operator==(const SocketRef&) const = default;
};
inline constexpr std::size_t kSocketRefSize = 16;
inline constexpr std::size_t kMaxSocketRefs = (kMaxPayload - 4) / kSocketRefSize;

// Who owns a socket, or what a socket that closed moved: one record per socket and moment. An owner
// record of the kernel program names the socket completely (family, addresses, ports as the event
// records do); one found in /proc (an answer to Owners) carries the cookie and the owner only.
struct OwnerRecord {
    static constexpr std::uint8_t kHasOwner = 0x01;      // pid, uid, name (and path, if known) are set
    static constexpr std::uint8_t kClosed = 0x02;        // the socket closed; the counts are its last
    static constexpr std::uint8_t kHasCounts = 0x04;     // the byte counts are set
    static constexpr std::uint8_t kHasAddresses = 0x08;  // family, addresses and ports are set
    static constexpr std::uint8_t kKnownFlags = 0x0F;
    static constexpr std::size_t kMaxName = 15;
    static constexpr std::size_t kMaxPath = 1024;

    std::uint64_t cookie = 0;
    std::uint8_t flags = 0;
    std::uint32_t pid = 0;  // the thread group
    std::uint32_t uid = 0;
    std::string name;  // the thread group's name, at most kMaxName bytes
    std::string path;  // the executable, at most kMaxPath bytes; empty when it could not be read
    std::uint64_t bytes_received = 0;
    std::uint64_t bytes_sent = 0;  // acknowledged by the other end
    std::uint8_t family = 0;       // AF_INET or AF_INET6 as Linux numbers them
    std::uint16_t local_port = 0;  // host order; 0 while the kernel has not picked it
    std::uint16_t remote_port = 0;
    std::array<std::uint8_t, 16> local{};  // as in EventRecord
    std::array<std::uint8_t, 16> remote{};
    bool operator==(const OwnerRecord&) const = default;
};
inline constexpr std::size_t kOwnerRecordFixedSize = 74;
inline constexpr std::size_t kMaxOwnerRecordSize =
    kOwnerRecordFixedSize + OwnerRecord::kMaxName + OwnerRecord::kMaxPath;
// As many as fit into one frame whatever their names and paths.
inline constexpr std::size_t kMaxOwnerRecords = (kMaxPayload - 16) / kMaxOwnerRecordSize;

// A run of addresses of one family, first to last inclusive: one address, a CIDR range or any other
// interval. Written as the family byte, the first and the last address (16 bytes each).
struct AddressSpan {
    Address first;
    Address last;
    auto operator<=>(const AddressSpan&) const = default;
};
inline constexpr std::size_t kSpanSize = 1 + 16 + 16;

// An element of the shared sets: a span and the seconds until the kernel drops it (0: never).
struct SharedElement {
    AddressSpan span;
    std::uint32_t timeout_seconds = 0;
    bool operator==(const SharedElement&) const = default;
};
inline constexpr std::size_t kSharedElementSize = kSpanSize + 4;
inline constexpr std::size_t kMaxSharedElements = (kMaxPayload - 9) / kSharedElementSize;

struct RefusedSpan {
    AddressSpan span;
    Refusal reason = Refusal::Loopback;
    bool operator==(const RefusedSpan&) const = default;
};
inline constexpr std::size_t kRefusedSpanSize = kSpanSize + 1;
inline constexpr std::size_t kMaxRefusedSpans = (kMaxPayload - 13) / kRefusedSpanSize;

// Dotted or RFC 5952 text of the first address, and "-" and the last when the span holds more.
std::string FormatSpan(const AddressSpan& span);

struct Request {
    Op op = Op::Status;
    std::vector<ConnectionId> connections;  // TearDown
    bool clear = false;                     // UpdateBlocked, UpdateExempt
    std::vector<Address> add;               // UpdateBlocked
    std::vector<Address> remove;            // UpdateBlocked
    bool on = false;                        // SetBlockInternet, SetFirstStrike
    std::uint8_t version = kProtocolVersion;
    std::vector<ExemptRange> exempt_add{};     // UpdateExempt
    std::vector<ExemptRange> exempt_remove{};  // UpdateExempt
    std::vector<SocketRef> sockets{};          // Owners
    // UpdateShared (`clear` empties the shared sets first).
    std::vector<SharedElement> shared_add{};
    std::vector<AddressSpan> shared_remove{};
};

// What the guard can do and what it holds now (the reply to Status).
struct GuardState {
    bool packet_filter = false;  // its nftables table is in place
    bool teardown = false;       // it may tear connections down
    bool bait = false;           // it may open the bait listener
    bool block_internet = false;
    std::uint32_t blocked_v4 = 0;
    std::uint32_t blocked_v6 = 0;
    // From version 3: the kernel's first strike is loaded and attached, it is armed, and how many
    // addresses it struck since the guard started.
    bool first_strike = false;
    bool first_strike_armed = false;
    std::uint32_t struck = 0;
    // From version 3: its events tell of SYNs coming in (a record entering state 12, NEW_SYN_RECV, at
    // most one every 100 ms), so a half-open row needs no periodic read of the table to be seen.
    bool half_open_events = false;
    // From version 4: the shared sets are in place, and the elements they hold for each family.
    bool shared_sets = false;
    std::uint32_t shared_v4 = 0;
    std::uint32_t shared_v6 = 0;
};

struct Reply {
    Op op = Op::Status;
    Result result = Result::Ok;
    GuardState state;                       // Status only
    std::vector<RefusedAddress> refused{};  // UpdateBlocked, Ok, version 2 on; at most kMaxRefusals
    std::uint8_t version = kProtocolVersion;
    std::vector<OwnerRecord> owners{};  // Owners, Ok; at most kMaxOwnerRecords
    // UpdateShared, Ok: the spans the guard would not block (at most kMaxRefusedSpans), and the
    // elements it holds for each family afterwards.
    std::vector<RefusedSpan> refused_spans{};
    std::uint32_t shared_v4 = 0;
    std::uint32_t shared_v6 = 0;
};

// One TCP socket of the guard's namespace entering or leaving the connection table, as sent to
// subscribed clients. Addresses and the cookie as sock_diag reports them; ports in host order.
// The port of the bait: the guard's bait socket, or velmor's own listener when it may bind it.
// Whoever completes a handshake on it without a rule is an intruder.
inline constexpr std::uint16_t kBaitPort = 80;

// Linux's TCP states as event records carry them: the kernel's own numbers (TCP_ESTABLISHED ...),
// which its BPF program reports as they are.
namespace tcp_state {
inline constexpr std::uint8_t kEstablished = 1;
inline constexpr std::uint8_t kSynSent = 2;
inline constexpr std::uint8_t kSynRecv = 3;
inline constexpr std::uint8_t kClose = 7;
inline constexpr std::uint8_t kNewSynRecv = 12;  // a SYN came in: a request socket, half-open
inline constexpr std::uint8_t kLast = kNewSynRecv;
}  // namespace tcp_state

struct EventRecord {
    static constexpr std::uint8_t kInet = 2;    // AF_INET as Linux numbers it
    static constexpr std::uint8_t kInet6 = 10;  // AF_INET6

    std::uint64_t cookie = 0;
    std::uint8_t family = 0;  // kInet or kInet6: the socket's own family
    std::uint8_t old_state = 0;
    std::uint8_t new_state = 0;
    std::uint16_t local_port = 0;
    std::uint16_t remote_port = 0;
    std::uint32_t interface_index = 0;
    std::array<std::uint8_t, 16> local{};
    std::array<std::uint8_t, 16> remote{};
    // From version 3 (zero before): kEventStruck.
    std::uint8_t flags = 0;
    bool operator==(const EventRecord&) const = default;
};
inline constexpr std::size_t kEventRecordSize = 52;
// The kernel marked the remote address blocked as this handshake on the bait completed.
inline constexpr std::uint8_t kEventStruck = 0x01;
inline constexpr std::size_t kMaxEventRecords = (kMaxPayload - 8) / kEventRecordSize;
// From version 3 a frame keeps room for its owner count.
inline constexpr std::size_t MaxEventRecords(std::uint8_t version) {
    return version >= 3 ? (kMaxPayload - 12) / kEventRecordSize : kMaxEventRecords;
}

struct EventBatch {
    std::vector<EventRecord> events;
    std::uint32_t lost = 0;
    // The frame's version: the same socket records in every version, their flags from version 3 on.
    std::uint8_t version = kProtocolVersion;
    // Version 3 on; an older frame leaves them out.
    std::vector<OwnerRecord> owners{};
};

enum class ParseStatus {
    Incomplete,          // more bytes needed
    Invalid,             // not a frame of this protocol, or a malformed payload
    UnsupportedVersion,  // a well-formed header of another version
    Complete,
};

// The whole frame length once the header has arrived; 0 while fewer than kHeaderSize bytes are
// there or when the header is not one of ours.
std::size_t FrameLength(std::span<const std::uint8_t> bytes);

// Each in its `version`; a version 1 reply leaves `refused` out.
std::vector<std::uint8_t> EncodeRequest(const Request& request);
std::vector<std::uint8_t> EncodeReply(const Reply& reply);
// Parses the frame at the start of `bytes` and takes its version. On Complete `consumed` is its
// length. UnsupportedVersion comes as soon as a header of a version outside kOldestProtocolVersion..
// kProtocolVersion is in; the guard answers it and hangs up.
ParseStatus ParseRequest(std::span<const std::uint8_t> bytes, Request& request, std::size_t& consumed);
ParseStatus ParseReply(std::span<const std::uint8_t> bytes, Reply& reply, std::size_t& consumed);
// An Events frame in the batch's version; at most MaxEventRecords(version) records and, from version
// 3, kMaxOwnerRecords owner records (the rest is for the next frame). Names and paths longer than
// their limits are cut.
std::vector<std::uint8_t> EncodeEvents(const EventBatch& batch);
ParseStatus ParseEvents(std::span<const std::uint8_t> bytes, EventBatch& batch, std::size_t& consumed);

}  // namespace velmor::guard
