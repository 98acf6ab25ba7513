// The ring-buffer record decoder: sound records of every kind, and every way a record can be wrong.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "velmor/guard/first_strike_layout.h"
#include "velmor/guard/guard_events.h"
#include "velmor/guard/socket_event.h"
#include "velmor/guard/socket_event_layout.h"

namespace velmor::guard {
namespace {

velmor_socket_event Ipv4Record() {
    velmor_socket_event record{};
    record.cookie = 0x1122334455667788ULL;
    record.time_ns = 987654321;
    const std::uint8_t local[4] = {10, 77, 0, 1};
    const std::uint8_t remote[4] = {10, 77, 0, 2};
    std::memcpy(record.local, local, sizeof local);
    std::memcpy(record.remote, remote, sizeof remote);
    record.interface_index = 3;
    record.local_port = 80;
    record.remote_port = 40123;
    record.family = AF_INET;
    record.old_state = 3;  // SYN_RECV
    record.new_state = 1;  // ESTABLISHED
    record.version = VELMOR_SOCKET_EVENT_VERSION;
    return record;
}

std::vector<std::byte> Bytes(const velmor_socket_event& record) {
    std::vector<std::byte> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

TEST(SocketEventDecode, TakesEveryFieldOfASoundRecord) {
    std::uint64_t time_ns = 0;
    const auto event = DecodeSocketEvent(Bytes(Ipv4Record()), &time_ns);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->cookie, 0x1122334455667788ULL);
    EXPECT_EQ(time_ns, 987654321u);
    EXPECT_EQ(event->family, EventRecord::kInet);
    EXPECT_EQ(event->local[0], 10);
    EXPECT_EQ(event->local[3], 1);
    EXPECT_EQ(event->remote[3], 2);
    EXPECT_EQ(event->local_port, 80);
    EXPECT_EQ(event->remote_port, 40123);
    EXPECT_EQ(event->interface_index, 3u);
    EXPECT_EQ(event->old_state, 3);
    EXPECT_EQ(event->new_state, 1);
    EXPECT_TRUE(EntersTable(*event));
    EXPECT_FALSE(LeavesTable(*event));
    EXPECT_FALSE(IsIpv4Mapped(*event));

    // The id names the same socket in sock_diag's terms: ports in network order, cookie split low
    // word first.
    const platform::SocketId id = SocketIdOf(*event);
    EXPECT_EQ(id.family, AF_INET);
    EXPECT_EQ(id.source_port_be, htons(80));
    EXPECT_EQ(id.destination_port_be, htons(40123));
    std::uint32_t local_be = 0;
    ::inet_pton(AF_INET, "10.77.0.1", &local_be);
    EXPECT_EQ(id.source[0], local_be);
    EXPECT_EQ(id.source[1], 0u);
    EXPECT_EQ(id.interface_index, 3u);
    EXPECT_EQ(id.cookie[0], 0x55667788u);
    EXPECT_EQ(id.cookie[1], 0x11223344u);
}

TEST(SocketEventDecode, TellsIpv4MappedFromPureIpv6) {
    velmor_socket_event record = Ipv4Record();
    record.family = AF_INET6;
    std::memset(record.local, 0, sizeof record.local);
    std::memset(record.remote, 0, sizeof record.remote);
    ::inet_pton(AF_INET6, "::ffff:10.77.0.1", record.local);
    ::inet_pton(AF_INET6, "::ffff:10.77.0.2", record.remote);
    auto event = DecodeSocketEvent(Bytes(record));
    ASSERT_TRUE(event);
    EXPECT_TRUE(IsIpv4Mapped(*event));

    ::inet_pton(AF_INET6, "fd00:77::2", record.remote);
    event = DecodeSocketEvent(Bytes(record));
    ASSERT_TRUE(event);
    EXPECT_FALSE(IsIpv4Mapped(*event));
    EXPECT_EQ(event->remote[0], 0xfd);
    EXPECT_EQ(event->remote[15], 2);
    EXPECT_EQ(SocketIdOf(*event).family, AF_INET6);
}

TEST(SocketEventDecode, ClassifiesTransitionsIntoAndOutOfTheTable) {
    struct Case {
        std::uint8_t old_state;
        std::uint8_t new_state;
        bool enters;
        bool connects;
        bool leaves;
    };
    // Linux states: 1 ESTABLISHED, 2 SYN_SENT, 3 SYN_RECV, 4 FIN_WAIT1, 5 FIN_WAIT2, 7 CLOSE,
    // 8 CLOSE_WAIT, 9 LAST_ACK, 10 LISTEN.
    const Case cases[] = {
        {7, 2, true, false, false},   // connect
        {7, 10, true, false, false},  // listen
        {2, 1, false, true, false},   // the connect's handshake completes
        {3, 1, true, true, false},    // an accepted connection's first event
        {1, 4, false, false, false},  // closing starts: still in the table
        {8, 9, false, false, false},
        {5, 7, false, false, true},   // the socket ends (a TIME_WAIT entry may stand in for it)
        {2, 7, false, false, true},   // a refused connect
        {10, 7, false, false, true},  // a listener closes
        {3, 7, false, false, true},   // a handshake that never completed
    };
    for (const Case& c : cases) {
        velmor_socket_event record = Ipv4Record();
        record.old_state = c.old_state;
        record.new_state = c.new_state;
        const auto event = DecodeSocketEvent(Bytes(record));
        ASSERT_TRUE(event);
        EXPECT_EQ(EntersTable(*event), c.enters) << int{c.old_state} << " -> " << int{c.new_state};
        EXPECT_EQ(Connects(*event), c.connects) << int{c.old_state} << " -> " << int{c.new_state};
        EXPECT_EQ(LeavesTable(*event), c.leaves) << int{c.old_state} << " -> " << int{c.new_state};
    }
}

TEST(SocketEventDecode, RefusesAnythingButOneRecordOfThisLayout) {
    const std::vector<std::byte> sound = Bytes(Ipv4Record());
    EXPECT_FALSE(DecodeSocketEvent({}));
    EXPECT_FALSE(DecodeSocketEvent(std::span(sound).first(sound.size() - 1)));
    std::vector<std::byte> longer = sound;
    longer.push_back(std::byte{0});
    EXPECT_FALSE(DecodeSocketEvent(longer));

    const auto refused = [](void (*damage)(velmor_socket_event&)) {
        velmor_socket_event record = Ipv4Record();
        damage(record);
        return !DecodeSocketEvent(Bytes(record)).has_value();
    };
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.version = 0; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.version = VELMOR_SOCKET_EVENT_VERSION + 1; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.reserved[1] = 1; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.flags = 0x02; }));  // no such flag
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.family = AF_UNIX; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.family = 0; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.old_state = 0; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.new_state = 13; }));
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.local[4] = 1; }));  // IPv4 uses four bytes
    EXPECT_TRUE(refused([](velmor_socket_event& r) { r.remote[15] = 1; }));
    EXPECT_FALSE(refused([](velmor_socket_event& r) { r.new_state = 12; }));  // NEW_SYN_RECV is a state
}

TEST(SocketEventDecode, TellsWhetherTheKernelStruckTheRemoteAddress) {
    velmor_socket_event record = Ipv4Record();
    EXPECT_EQ(DecodeSocketEvent(Bytes(record))->flags, 0);
    record.flags = VELMOR_EVENT_STRUCK;
    EXPECT_EQ(DecodeSocketEvent(Bytes(record))->flags, kEventStruck);
}

}  // namespace
}  // namespace velmor::guard
