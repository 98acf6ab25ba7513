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
    for (int i = 0; i < 350; ++i) table.tcp_rows.push_back(test::MakeRow("10.0.0.1", 80, "10.0.0.2", 1000 + i));
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
