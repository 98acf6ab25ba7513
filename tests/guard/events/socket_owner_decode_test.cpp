// The owner program's ring-buffer records: sound ones of each kind, and every way one can be wrong.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "velmor/guard/socket_owner_layout.h"
#include "velmor/guard/socket_owner_source.h"

namespace velmor::guard {
namespace {

velmor_owner_record Record(std::uint8_t kind) {
    velmor_owner_record record{};
    record.cookie = 0x0102030405060708ULL;
    record.kind = kind;
    record.has_owner = 1;
    record.owner.tgid = 4242;
    record.owner.uid = 1000;
    record.owner.start_ns = 123'000'000'000ULL;
    std::memcpy(record.owner.comm, "curl", 5);
    const std::uint8_t local[4] = {10, 77, 0, 1};
    const std::uint8_t remote[4] = {10, 77, 0, 2};
    std::memcpy(record.local, local, sizeof local);
    std::memcpy(record.remote, remote, sizeof remote);
    record.local_port = 40000;
    record.remote_port = 443;
    record.family = AF_INET;
    record.version = VELMOR_SOCKET_OWNER_VERSION;
    if (kind == VELMOR_OWNER_CLOSE) {
        record.bytes_received = 1'000'000;
        record.bytes_acked = 2'000;
    }
    return record;
}

std::vector<std::byte> Bytes(const velmor_owner_record& record) {
    std::vector<std::byte> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

TEST(SocketOwnerDecode, TakesOwnersAndLastCounts) {
    const auto connect = DecodeSocketOwner(Bytes(Record(VELMOR_OWNER_CONNECT)));
    ASSERT_TRUE(connect);
    EXPECT_EQ(connect->cookie, 0x0102030405060708ULL);
    EXPECT_EQ(connect->kind, SocketOwnerEvent::Kind::kConnect);
    ASSERT_TRUE(connect->owner);
    EXPECT_EQ(connect->owner->tgid, 4242u);
    EXPECT_EQ(connect->owner->uid, 1000u);
    EXPECT_EQ(connect->owner->start_ns, 123'000'000'000ULL);
    EXPECT_EQ(connect->owner->name, "curl");
    EXPECT_EQ(connect->remote[3], 2);
    EXPECT_EQ(connect->remote_port, 443);
    EXPECT_EQ(connect->bytes_received, 0u);

    auto close = Record(VELMOR_OWNER_CLOSE);
    const auto closed = DecodeSocketOwner(Bytes(close));
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->bytes_received, 1'000'000u);
    EXPECT_EQ(closed->bytes_acked, 2'000u);
    // A closing socket nobody was seen to own: no owner, and no process fields.
    close.has_owner = 0;
    std::memset(&close.owner, 0, sizeof close.owner);
    const auto unowned = DecodeSocketOwner(Bytes(close));
    ASSERT_TRUE(unowned);
    EXPECT_FALSE(unowned->owner);
    // A full comm field (16 bytes, no NUL) reads up to its end and no further.
    auto long_name = Record(VELMOR_OWNER_ACCEPT);
    std::memset(long_name.owner.comm, 'a', sizeof long_name.owner.comm);
    EXPECT_EQ(DecodeSocketOwner(Bytes(long_name))->owner->name, std::string(16, 'a'));
}

TEST(SocketOwnerDecode, RefusesWhatIsNoRecordOfTheProgram) {
    const auto refused = [](velmor_owner_record record) { return !DecodeSocketOwner(Bytes(record)); };
    auto bytes = Bytes(Record(VELMOR_OWNER_LISTEN));
    bytes.pop_back();
    EXPECT_FALSE(DecodeSocketOwner(bytes));
    auto record = Record(VELMOR_OWNER_LISTEN);
    record.version = 2;
    EXPECT_TRUE(refused(record));
    for (const std::uint8_t kind : {0, 5}) {
        record = Record(VELMOR_OWNER_LISTEN);
        record.kind = kind;
        EXPECT_TRUE(refused(record)) << int(kind);
    }
    record = Record(VELMOR_OWNER_LISTEN);
    record.has_owner = 2;
    EXPECT_TRUE(refused(record));
    record = Record(VELMOR_OWNER_CONNECT);
    record.has_owner = 0;  // only a close may come without an owner
    EXPECT_TRUE(refused(record));
    record = Record(VELMOR_OWNER_CLOSE);
    record.has_owner = 0;  // ... and then without process fields
    EXPECT_TRUE(refused(record));
    record = Record(VELMOR_OWNER_CONNECT);
    record.bytes_received = 1;  // counts belong to a close
    EXPECT_TRUE(refused(record));
    record = Record(VELMOR_OWNER_CONNECT);
    record.family = 1;
    EXPECT_TRUE(refused(record));
    record = Record(VELMOR_OWNER_CONNECT);
    record.remote[5] = 1;
    EXPECT_TRUE(refused(record));
    record = Record(VELMOR_OWNER_CONNECT);
    record.reserved[6] = 1;
    EXPECT_TRUE(refused(record));
}

}  // namespace
}  // namespace velmor::guard
