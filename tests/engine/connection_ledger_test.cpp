// Who is talking: the ledger of connections, their owners and bytes, over tables and owner records
// made by the test.
#include "velmor/engine/connection_ledger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "velmor/platform/resolver.h"
#include "velmor/rules/live_lists.h"
#include "velmor/test/fakes.h"

namespace velmor::engine {
namespace {

using guard::OwnerRecord;
using namespace std::chrono_literals;

struct Socket {
    std::uint64_t cookie;
    const char* remote;
    std::uint16_t remote_port;
    std::uint16_t local_port = 40000;
    std::uint32_t state = kStateEstablished;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    bool counted = true;
    std::uint64_t inode = 0;
};

platform::TcpTable Table(std::initializer_list<Socket> sockets) {
    platform::TcpTable table;
    for (const Socket& socket : sockets) {
        const TcpRow row =
            test::MakeRow("10.0.0.1", socket.local_port, socket.remote, socket.remote_port, socket.state);
        platform::SocketId id;
        id.cookie[0] = static_cast<std::uint32_t>(socket.cookie);
        id.cookie[1] = static_cast<std::uint32_t>(socket.cookie >> 32);
        platform::SocketDetail detail;
        detail.has_counts = socket.counted;
        detail.bytes_received = socket.received;
        detail.bytes_sent = socket.sent;
        detail.inode = socket.inode;
        table.rows.push_back(row);
        table.ids.push_back(id);
        table.details.push_back(detail);
    }
    table.dwNumEntries = static_cast<std::uint32_t>(table.rows.size());
    return table;
}

OwnerRecord Owner(std::uint64_t cookie, std::uint32_t pid, const char* name) {
    OwnerRecord record;
    record.cookie = cookie;
    record.flags = OwnerRecord::kHasOwner;
    record.pid = pid;
    record.uid = 1000;
    record.name = name;
    record.path = std::string("/usr/bin/") + name;
    return record;
}

OwnerRecord Closed(std::uint64_t cookie, const char* remote, std::uint64_t received, std::uint64_t sent) {
    OwnerRecord record;
    record.cookie = cookie;
    record.flags = OwnerRecord::kClosed | OwnerRecord::kHasCounts | OwnerRecord::kHasAddresses;
    record.family = 2;
    const std::uint32_t local = platform::ParseIpv4Text("10.0.0.1").value_or(0);
    const std::uint32_t far = platform::ParseIpv4Text(remote).value_or(0);
    std::memcpy(record.local.data(), &local, sizeof local);
    std::memcpy(record.remote.data(), &far, sizeof far);
    record.local_port = 40000;
    record.remote_port = 443;
    record.bytes_received = received;
    record.bytes_sent = sent;
    return record;
}

// Answers with the owners it was given and records what it was asked.
class ScriptedOwners final : public OwnerSource {
public:
    std::vector<OwnerRecord> answers;
    std::vector<std::vector<guard::SocketRef>> asked;
    bool Find(std::span<const guard::SocketRef> sockets, std::vector<OwnerRecord>& owners) override {
        asked.emplace_back(sockets.begin(), sockets.end());
        for (const OwnerRecord& answer : answers)
            for (const guard::SocketRef& socket : sockets)
                if (socket.cookie == answer.cookie) owners.push_back(answer);
        return true;
    }
    bool SeesEveryUser() const override { return true; }
};

class LedgerTest : public ::testing::Test {
protected:
    test::FakeClock clock;
    ConnectionLedger ledger{clock};
};

TEST(BytesText, PowersOf1024WithThreeSignificantDigits) {
    EXPECT_EQ(BytesText(0), "0 B");
    EXPECT_EQ(BytesText(1023), "1023 B");
    EXPECT_EQ(BytesText(1024), "1.0 KB");
    EXPECT_EQ(BytesText(1536), "1.5 KB");
    EXPECT_EQ(BytesText(12 * 1024 + 300), "12.3 KB");
    EXPECT_EQ(BytesText(999 * 1024), "999 KB");
    EXPECT_EQ(BytesText(1000 * 1024), "0.98 MB");
    EXPECT_EQ(BytesText(5ull * 1024 * 1024 * 1024), "5.00 GB");
    EXPECT_EQ(BytesText(~0ull), "16.0 EB");
    EXPECT_EQ(StateName(5), "ESTABLISHED");
    EXPECT_EQ(StateName(2), "LISTEN");
    EXPECT_EQ(StateName(0), "?");
    EXPECT_EQ(StateName(13), "?");
}

// An address's totals are its connections' counts, and stay when the connections close; the
// programs are listed most recent first; each socket is asked for once.
TEST_F(LedgerTest, KeepsEachAddressTotalsAndProgramsAfterItsConnectionsClose) {
    ScriptedOwners owners;
    owners.answers = {Owner(1, 100, "firefox"), Owner(2, 200, "curl")};
    ledger.SetOwnerSource(&owners);
    ledger.TakeTable(Table({{1, "93.184.216.34", 443, 40001, kStateEstablished, 1000, 200, true, 11}}));
    EXPECT_EQ(ledger.ProgramsOf("93.184.216.34"), "firefox");
    ledger.TakeTable(Table({{1, "93.184.216.34", 443, 40001, kStateEstablished, 5000, 300, true, 11},
                            {2, "93.184.216.34", 80, 40002, kStateEstablished, 70, 30, true, 12}}));
    EXPECT_EQ(ledger.ProgramsOf("93.184.216.34"), "curl, firefox");
    auto totals = ledger.TotalsOf("93.184.216.34");
    EXPECT_EQ(totals.received, 5070u);
    EXPECT_EQ(totals.sent, 330u);
    ASSERT_EQ(owners.asked.size(), 2u);  // once for each new socket
    EXPECT_EQ(owners.asked[0], (std::vector<guard::SocketRef>{{1, 11}}));
    EXPECT_EQ(owners.asked[1], (std::vector<guard::SocketRef>{{2, 12}}));
    ASSERT_EQ(ledger.ConnectionsOf("93.184.216.34").size(), 2u);
    EXPECT_EQ(ledger.ConnectionsOf("93.184.216.34")[0]->owner->path, "/usr/bin/firefox");

    // Both go; the totals and names stay.
    ledger.TakeTable(Table({}));
    totals = ledger.TotalsOf("93.184.216.34");
    EXPECT_EQ(totals.received, 5070u);
    EXPECT_EQ(totals.sent, 330u);
    EXPECT_EQ(ledger.ProgramsOf("93.184.216.34"), "curl, firefox");
    EXPECT_TRUE(ledger.ConnectionsOf("93.184.216.34").empty());
    EXPECT_EQ(owners.asked.size(), 2u);

    // A last count that comes after the read that missed the socket adds what it moved since.
    const OwnerRecord last = Closed(1, "93.184.216.34", 6000, 300);
    ledger.TakeRecords(std::span(&last, 1));
    EXPECT_EQ(ledger.TotalsOf("93.184.216.34").received, 6070u);
    // Told twice, it adds nothing more.
    ledger.TakeRecords(std::span(&last, 1));
    EXPECT_EQ(ledger.TotalsOf("93.184.216.34").received, 6070u);
    EXPECT_EQ(ledger.ProgramsOf("10.9.9.9"), "-");
}

// A connection that opened and closed between two reads is known by its records alone: its owner,
// told at connect, and its last counts, told at close.
TEST_F(LedgerTest, AConnectionNeverReadCountsFromItsRecords) {
    ledger.TakeTable(Table({}));
    const std::vector<OwnerRecord> records = {Owner(7, 300, "wget"), Closed(7, "198.51.100.7", 4096, 120)};
    ledger.TakeRecords(records);
    EXPECT_EQ(ledger.ProgramsOf("198.51.100.7"), "wget");
    EXPECT_EQ(ledger.TotalsOf("198.51.100.7").received, 4096u);
    EXPECT_EQ(ledger.TotalsOf("198.51.100.7").sent, 120u);
    ASSERT_FALSE(ledger.History().empty());
    EXPECT_EQ(ledger.History().back().received, 4096u);
    const auto top = ledger.TopPrograms(10);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].first, "wget");
    EXPECT_EQ(top[0].second.received, 4096u);

    // Its TIME_WAIT row, read after the close, adds nothing.
    ledger.TakeTable(Table({{7, "198.51.100.7", 443, 40000, kStateTimeWait, 0, 0, false}}));
    EXPECT_EQ(ledger.TotalsOf("198.51.100.7").received, 4096u);
    EXPECT_TRUE(ledger.ConnectionsOf("198.51.100.7").empty());
}

// An owner told before the read that meets the socket (a connect is told at once) is kept for it.
TEST_F(LedgerTest, AnOwnerToldBeforeTheReadIsKeptForTheSocket) {
    const OwnerRecord owner = Owner(9, 400, "ssh");
    ledger.TakeRecords(std::span(&owner, 1));
    ledger.TakeTable(Table({{9, "203.0.113.5", 22, 40009}}));
    ASSERT_EQ(ledger.ConnectionsOf("203.0.113.5").size(), 1u);
    EXPECT_EQ(ledger.ConnectionsOf("203.0.113.5")[0]->owner->pid, 400u);
    EXPECT_EQ(ledger.ProgramsOf("203.0.113.5"), "ssh");
}

// The first read sets the baseline: what connections had moved before is in the totals, not in the
// traffic of this run's picture. Later growth is traffic, per second of the clock.
TEST_F(LedgerTest, TheTrafficPictureCountsWhatMovedAfterTheFirstRead) {
    ledger.TakeTable(Table({{1, "192.0.2.1", 443, 40001, kStateEstablished, 1'000'000, 5000}}));
    EXPECT_TRUE(ledger.History().empty());
    EXPECT_EQ(ledger.TotalsOf("192.0.2.1").received, 1'000'000u);
    clock.Advance(1s);
    ledger.TakeTable(Table({{1, "192.0.2.1", 443, 40001, kStateEstablished, 1'002'000, 5100},
                            {2, "192.0.2.2", 443, 40002, kStateEstablished, 700, 0}}));
    ASSERT_EQ(ledger.History().size(), 1u);
    EXPECT_EQ(ledger.History().back().received, 2700u);
    EXPECT_EQ(ledger.History().back().sent, 100u);
    // Rows without counts (a TIME_WAIT row) keep the counts they had.
    clock.Advance(1s);
    ledger.TakeTable(Table({{1, "192.0.2.1", 443, 40001, kStateTimeWait, 0, 0, false},
                            {2, "192.0.2.2", 443, 40002, kStateEstablished, 700, 0}}));
    EXPECT_EQ(ledger.History().size(), 1u);
    EXPECT_EQ(ledger.TotalsOf("192.0.2.1").received, 1'002'000u);
    // Loopback moves nothing in the picture.
    ledger.TakeTable(Table({{3, "127.0.0.1", 8080, 40003, kStateEstablished, 9999, 9999}}));
    clock.Advance(1s);
    ledger.TakeTable(Table({{3, "127.0.0.1", 8080, 40003, kStateEstablished, 19999, 19999}}));
    EXPECT_EQ(ledger.History().size(), 1u);
    EXPECT_TRUE(ledger.TopAddresses(10).size() == 2u);
    EXPECT_EQ(ledger.TopAddresses(10)[0].first, "192.0.2.1");
    // Ten minutes later the old seconds are gone.
    clock.Advance(std::chrono::seconds(ConnectionLedger::kHistorySeconds));
    ledger.TakeTable(Table({{4, "192.0.2.4", 443, 40004, kStateEstablished, 1, 1}}));
    ASSERT_EQ(ledger.History().size(), 1u);
    EXPECT_EQ(ledger.History().back().received, 1u);
}

// Velmor's own bait: what it accepted there belongs to the intruder, so no program is named.
TEST_F(LedgerTest, TheBaitsConnectionsNameNoProgram) {
    ScriptedOwners owners;
    owners.answers = {Owner(5, 4242, "velmor"), Owner(6, 4242, "velmor")};
    ledger.SetOwnerSource(&owners);
    ledger.SetOwnProcess(4242, 80);
    ledger.TakeTable(Table({{5, "198.51.100.66", 51000, 80, kStateEstablished, 10, 0},
                            {6, "198.51.100.67", 443, 40006, kStateEstablished, 10, 0}}));
    EXPECT_EQ(ledger.ProgramsOf("198.51.100.66"), "-");
    EXPECT_FALSE(ledger.ConnectionsOf("198.51.100.66")[0]->owner.has_value());
    // Its own connections elsewhere are its own.
    EXPECT_EQ(ledger.ProgramsOf("198.51.100.67"), "velmor");
}

// The note cells of the two lists: programs and raw byte counts, "-" where nothing is known; the
// notes change no generation of the lists.
TEST_F(LedgerTest, WritesTheListsNoteCells) {
    rules::ListModel addresses{rules::watch_ip::kColumns, rules::watch_ip::kAddress};
    rules::ListModel ports{rules::watch_port::kColumns, rules::watch_port::kPort};
    addresses.AddRow({"192.0.2.9", "1", "허용", ""});
    addresses.AddRow({"192.0.2.10", "1", "허용", ""});
    ports.AddRow({"192.0.2.9", "443"});
    ports.AddRow({"192.0.2.10", "8443"});
    ScriptedOwners owners;
    owners.answers = {Owner(1, 10, "curl")};
    ledger.SetOwnerSource(&owners);
    ledger.TakeTable(Table({{1, "192.0.2.9", 443, 40001, kStateEstablished, 12345, 678},
                            {2, "192.0.2.10", 8443, 40002, 3, 0, 0, false}}));
    const std::uint64_t before = addresses.Generation() + ports.Generation();
    ledger.WriteNotes(addresses, ports);
    EXPECT_EQ(addresses.Generation() + ports.Generation(), before);
    EXPECT_EQ(addresses.Cell(0, rules::watch_ip::kProgram), "curl");
    EXPECT_EQ(addresses.Cell(0, rules::watch_ip::kReceived), "12345");
    EXPECT_EQ(addresses.Cell(0, rules::watch_ip::kSent), "678");
    EXPECT_EQ(addresses.Cell(1, rules::watch_ip::kProgram), "-");
    EXPECT_EQ(addresses.Cell(1, rules::watch_ip::kReceived), "-");
    EXPECT_EQ(ports.Cell(0, rules::watch_port::kProgram), "curl");
    EXPECT_EQ(ports.Cell(1, rules::watch_port::kProgram), "-");
    // The columns of the rows themselves are untouched.
    EXPECT_EQ(addresses.Cell(0, rules::watch_ip::kCount), "1");
    EXPECT_EQ(addresses.Cell(0, rules::watch_ip::kVerdict), "허용");
}

// A long run keeps its memory flat: addresses, programs and closed sockets are bounded.
TEST_F(LedgerTest, StaysBoundedOverManyShortConnections) {
    ScriptedOwners owners;
    ledger.SetOwnerSource(&owners);
    ledger.TakeTable(Table({}));
    for (std::uint64_t i = 1; i <= 3 * ConnectionLedger::kMaxAddresses; ++i) {
        std::vector<OwnerRecord> records = {Owner(i, static_cast<std::uint32_t>(i), "p")};
        records[0].name = "program" + std::to_string(i % (2 * ConnectionLedger::kMaxPrograms));
        const std::string remote = "10." + std::to_string(i / 65536 % 256) + "." +
                                   std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
        records.push_back(Closed(i, remote.c_str(), i, i));
        ledger.TakeRecords(records);
    }
    EXPECT_LE(ledger.TopAddresses(1'000'000).size(), ConnectionLedger::kMaxAddresses);
    EXPECT_LE(ledger.TopPrograms(1'000'000).size(), ConnectionLedger::kMaxPrograms);
    // The ones that moved the most are kept.
    EXPECT_EQ(ledger.TopAddresses(1)[0].second.received, 3 * ConnectionLedger::kMaxAddresses);
}

}  // namespace
}  // namespace velmor::engine
