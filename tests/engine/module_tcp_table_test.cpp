#include "velmor/engine/module_tcp_table.h"

#include <gtest/gtest.h>

#include "velmor/test/fakes.h"

namespace velmor::engine {
namespace {

std::uint32_t FieldFromBytes(unsigned char b0, unsigned char b1, unsigned char b2, unsigned char b3) {
    std::uint32_t field = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&field);
    bytes[0] = b0;
    bytes[1] = b1;
    bytes[2] = b2;
    bytes[3] = b3;
    return field;
}

TEST(ModuleTcpTable, TextFormsReadNetworkOrderFields) {
    EXPECT_EQ(PortToString(FieldFromBytes(0, 80, 0, 0)), "80");
    // The high two bytes carry nothing.
    EXPECT_EQ(PortToString(FieldFromBytes(0, 80, 0xAB, 0xCD)), "80");
    EXPECT_EQ(PortToString(FieldFromBytes(0xFF, 0xFF, 0, 0)), "65535");
    EXPECT_EQ(PortToString(FieldFromBytes(0x04, 0x13, 0, 0)), "1043");
    EXPECT_EQ(IpToString(FieldFromBytes(127, 0, 0, 1)), "127.0.0.1");
    EXPECT_EQ(IpToString(0), "0.0.0.0");
    EXPECT_EQ(IpToString(FieldFromBytes(255, 255, 255, 255)), "255.255.255.255");
    EXPECT_EQ(MakeWinsockVersion(2, 2), 0x0202);
    EXPECT_EQ(MakeWinsockVersion(1, 2), 0x0201);
}

TEST(ModuleTcpTable, SnapshotHoldsTheWholeTableAndTeardownMarksDeleteTcb) {
    test::FakeConnectionTable table;
    for (int i = 0; i < 350; ++i)
        table.tcp_rows.push_back(test::MakeRow("10.0.0.1", 80, "10.0.0.2", 1000 + i));
    TcpSnapshot snapshot;
    TakeTcpSnapshot(table, snapshot);
    ASSERT_EQ(snapshot.dwNumEntries, 350u);
    ASSERT_EQ(snapshot.rows.size(), 350u);

    TeardownBatch batch;
    TearDownConnection(snapshot, 7, batch);
    TearDownConnection(snapshot, 9999, batch);  // out of range: ignored
    EXPECT_EQ(snapshot.rows[7].dwState, kDeleteTcb);
    batch.Flush(table);
    ASSERT_EQ(table.destroyed.size(), 1u);
    EXPECT_EQ(PortToString(table.destroyed[0].dwRemotePort), "1007");
    // A table that refuses (does not remove the row) leaves the state at 12 all the same.
    EXPECT_EQ(snapshot.rows[7].dwState, kDeleteTcb);

    table.fail_reads = true;
    TakeTcpSnapshot(table, snapshot);
    EXPECT_EQ(snapshot.dwNumEntries, 0u);
    EXPECT_TRUE(snapshot.rows.empty());
}

}  // namespace
}  // namespace velmor::engine

namespace velmor::engine {
namespace {

TEST(ModuleTcpTable, RemoteAddressTextOfBothFamilies) {
    EXPECT_EQ(RemoteAddressText(test::MakeRow("10.0.0.1", 80, "10.1.2.3", 1)), "10.1.2.3");
    // RFC 5952: lower case, leading zeros dropped, the longest zero run as "::".
    EXPECT_EQ(RemoteAddressText(test::MakeRow6("::1", 80, "FD00:0077:0000:0000:0000:0000:0000:0002", 1)),
              "fd00:77::2");
    EXPECT_EQ(RemoteAddressText(test::MakeRow6("::1", 80, "2001:db8:0:0:1:0:0:1", 1)), "2001:db8::1:0:0:1");
    EXPECT_EQ(RemoteAddressText(test::MakeRow6("::1", 80, "::1", 1)), "::1");
    EXPECT_EQ(RemoteAddressText(test::MakeRow6("::1", 80, "::", 0)), "::");
    const std::string full = "2001:db8:1234:5678:9abc:def0:1234:5678";
    EXPECT_EQ(RemoteAddressText(test::MakeRow6("::1", 80, full, 1)), full);
    // The scratch form reuses its buffer and leaves nothing of a longer earlier text.
    std::string out = full;
    RemoteAddressText(test::MakeRow("10.0.0.1", 80, "10.1.2.3", 1), out);
    EXPECT_EQ(out, "10.1.2.3");
}

TEST(ModuleTcpTable, RowSetFingerprintSeesTheSetAndHalfOpenRowsNotTheOrderOrOtherStates) {
    const std::uint64_t key = 0x1234'5678'9abc'def0ULL;
    TcpSnapshot a;
    a.rows = {test::MakeRow("10.0.0.1", 80, "10.1.2.3", 1000),
              test::MakeRow("10.0.0.1", 80, "10.1.2.4", 1001),
              test::MakeRow6("fd00:77::1", 80, "fd00:77::2", 1002)};
    TcpSnapshot b = a;
    std::swap(b.rows[0], b.rows[2]);
    b.rows[1].dwState = 11;
    EXPECT_EQ(RowSetFingerprint(a, key), RowSetFingerprint(b, key));
    EXPECT_EQ(RowSetFingerprint(TcpSnapshot{}, key), 0u);

    // Each field of a row counts, each on its own side: a row replaced by any other one of the same
    // count changes the value.
    const std::uint64_t base = RowSetFingerprint(a, key);
    const std::vector<TcpRow> others = {test::MakeRow("10.0.0.1", 80, "10.1.2.5", 1000),
                                        test::MakeRow("10.0.0.1", 80, "10.1.2.3", 1003),
                                        test::MakeRow("10.0.0.1", 81, "10.1.2.3", 1000),
                                        test::MakeRow("10.0.0.9", 80, "10.1.2.3", 1000),
                                        test::MakeRow("10.1.2.3", 1000, "10.0.0.1", 80),
                                        test::MakeRow6("::", 80, "::a01:203", 1000),
                                        test::MakeRow6("fd00:77::1", 80, "fd00:77::3", 1002),
                                        test::MakeRow6("fd00:77::2", 80, "fd00:77::1", 1002)};
    for (const TcpRow& other : others) {
        TcpSnapshot changed = a;
        changed.rows[other.family == platform::AddressFamily::kIpv6 ? 2 : 0] = other;
        EXPECT_NE(RowSetFingerprint(changed, key), base) << RemoteAddressText(other);
    }
    // Two equal rows do not cancel each other out.
    TcpSnapshot twice;
    twice.rows = {a.rows[0], a.rows[0]};
    EXPECT_NE(RowSetFingerprint(twice, key), 0u);
    // Another key gives other values.
    EXPECT_NE(RowSetFingerprint(a, key + 1), base);
    // A half-open row that completes its handshake makes another set: the pass files it only then.
    TcpSnapshot half_open = a;
    half_open.rows[0].dwState = kStateSynReceived;
    EXPECT_NE(RowSetFingerprint(half_open, key), base);
}

}  // namespace
}  // namespace velmor::engine
