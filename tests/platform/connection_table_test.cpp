// The connection table against the real kernel, inside network namespaces made by the test.

#include "velmor/platform/connection_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <thread>
#include <tuple>
#include <vector>

#include "sock_diag_parse.h"
#include "velmor/test/socket_checks.h"
#include "velmor/test/test_network.h"

// Counts heap allocations, so a test can prove a steady table is read without any.
namespace {
std::atomic<long> allocations{0};
}
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace velmor::platform {
namespace {

using test::AddressField;
using test::AllRows;
using test::Fd;
using test::PortField;
using test::TestNetwork;

constexpr const char* kLocal = TestNetwork::kLocalAddress;
constexpr const char* kRemote = TestNetwork::kRemoteAddress;

std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t> Fields(
    const TcpRow& row) {
    return {row.dwState, row.dwLocalAddr, row.dwLocalPort, row.dwRemoteAddr, row.dwRemotePort};
}

std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> AllFields(
    const TcpTable& table) {
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> result;
    for (const TcpRow& row : table.rows) result.push_back(Fields(row));
    return result;
}

auto Row(std::uint32_t state, const char* local, std::uint16_t local_port, const char* remote,
         std::uint16_t remote_port) {
    return std::make_tuple(state, AddressField(local), PortField(local_port), AddressField(remote),
                           PortField(remote_port));
}

// Reads until `done` holds or a second has passed; connection states settle asynchronously.
bool ReadUntil(ConnectionTable& connections, TcpTable& table,
               const std::function<bool(const TcpTable&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (true) {
        EXPECT_TRUE(connections.ReadTcp(table));
        if (done(table) || std::chrono::steady_clock::now() > deadline) return done(table);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The shape recorded in tests/platform/data: an IPv4 listener on port 80 with a remote client, a
// dual-stack listener on 8080 with an IPv4 remote client, an IPv6-only conversation on ::1 and an
// IPv4 loopback conversation. All client ports are fixed, so the rows are known exactly.
struct RecordedScene {
    std::vector<Fd> sockets;
};

void BuildScene(const TestNetwork& network, RecordedScene& scene) {
    Fd listener80;
    Fd dual;
    Fd only6;
    TestNetwork::RunIn(network.local(), [&] {
        listener80 = test::Listen4("0.0.0.0", 80);
        dual = test::Listen6("::", 8080, false);
        only6 = test::Listen6("::1", 9090, true);
    });
    TestNetwork::RunIn(network.remote(), [&] {
        scene.sockets.push_back(test::Connect4(kLocal, 80, 40001));
        scene.sockets.push_back(test::Connect4(kLocal, 8080, 40002));
    });
    TestNetwork::RunIn(network.local(), [&] {
        scene.sockets.push_back(test::Connect6("::1", 9090, 40003));
        scene.sockets.push_back(test::Connect4("127.0.0.1", 80, 40004));
        scene.sockets.push_back(test::Accept(listener80));
        scene.sockets.push_back(test::Accept(dual));
        scene.sockets.push_back(test::Accept(only6));
        scene.sockets.push_back(test::Accept(listener80));
    });
    scene.sockets.push_back(std::move(listener80));
    scene.sockets.push_back(std::move(dual));
    scene.sockets.push_back(std::move(only6));
}

TEST(ConnectionTable, ShowsIpv4MappedAndIpv6RowsSorted) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    RecordedScene scene;
    BuildScene(network, scene);

    TcpTable table;
    TcpTable per_family;
    std::vector<std::byte> tcp4;
    std::vector<std::byte> tcp6;
    std::vector<std::byte> single;
    TestNetwork::RunIn(network.local(), [&] {
        auto connections = MakeSystemConnectionTable();
        EXPECT_TRUE(connections->ReadTcp(table));
        EXPECT_TRUE(sockdiag::MakeConnectionTable(sockdiag::TcpRequest::kPerFamily)->ReadTcp(per_family));
        ASSERT_TRUE(sockdiag::RecordDump(AF_INET, IPPROTO_TCP, tcp4));
        ASSERT_TRUE(sockdiag::RecordDump(AF_INET6, IPPROTO_TCP, tcp6));
        ASSERT_TRUE(sockdiag::RecordDump(AF_UNSPEC, IPPROTO_TCP, single));
    });
    // The IPv4 rows (the mapped one among them) first, then the pure IPv6 ones.
    EXPECT_THAT(
        AllRows(table),
        testing::ElementsAre("2 0.0.0.0:80 0.0.0.0:0", "5 10.77.0.1:80 10.77.0.2:40001",
                             "5 10.77.0.1:8080 10.77.0.2:40002", "5 127.0.0.1:80 127.0.0.1:40004",
                             "5 127.0.0.1:40004 127.0.0.1:80", "2 [::]:8080 [::]:0", "2 [::1]:9090 [::]:0",
                             "5 [::1]:9090 [::1]:40003", "5 [::1]:40003 [::1]:9090"));
    EXPECT_EQ(table.dwNumEntries, 9u);
    ASSERT_EQ(table.ids.size(), table.rows.size());
    EXPECT_EQ(table.ids[2].family, AF_INET6);  // the mapped row keeps the family teardown needs
    EXPECT_EQ(table.ids[1].family, AF_INET);
    EXPECT_EQ(table.ids[7].family, AF_INET6);

    // Both ways of asking see the same table, and so does the byte parser over the raw replies.
    EXPECT_EQ(AllRows(per_family), AllRows(table));
    const auto replay = [](std::initializer_list<const std::vector<std::byte>*> dumps) {
        TcpTable replayed;
        for (const auto* dump : dumps) {
            std::uint32_t sequence = 0;
            std::memcpy(&sequence, dump->data() + 8, sizeof sequence);
            sockdiag::DumpTarget target;
            target.table = &replayed;
            EXPECT_EQ(sockdiag::ParseDump(*dump, sequence, target), sockdiag::DumpStatus::kDone);
        }
        sockdiag::TcpRowSorter().Sort(replayed);
        return AllRows(replayed);
    };
    EXPECT_EQ(replay({&tcp4, &tcp6}), AllRows(table));
    EXPECT_EQ(replay({&single}), AllRows(table));

    // VELMOR_RECORD_DUMPS=folder refreshes the replay data of sock_diag_parse_test.
    if (const char* folder = std::getenv("VELMOR_RECORD_DUMPS")) {
        for (const auto& [name, dump] :
             {std::pair{"scene_tcp4.bin", &tcp4}, std::pair{"scene_tcp6.bin", &tcp6},
              std::pair{"scene_tcp_single.bin", &single}}) {
            std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(dump->data()),
                      static_cast<std::streamsize>(dump->size()));
        }
    }
}

TEST(ConnectionTable, TakesTheWholeTableBeyondOneHundredRowsInHostOrder) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    Fd listener;
    TestNetwork::RunIn(network.local(), [&] { listener = test::Listen4(kLocal, 7000); });
    std::vector<Fd> clients;
    TestNetwork::RunIn(network.remote(), [&] {
        for (int i = 0; i < 300; ++i) clients.push_back(test::Connect4(kLocal, 7000));
    });
    // A few listeners whose ports sort differently as raw network-order numbers (256 < 2 there).
    std::vector<Fd> listeners;
    TcpTable table;
    TestNetwork::RunIn(network.local(), [&] {
        for (std::uint16_t port : {2, 256, 513, 7001}) listeners.push_back(test::Listen4("0.0.0.0", port));
        auto connections = MakeSystemConnectionTable();
        EXPECT_TRUE(connections->ReadTcp(table));
    });
    ASSERT_EQ(table.dwNumEntries, 305u);
    EXPECT_EQ(table.rows.size(), 305u);
    const auto key = [](const TcpRow& row) {
        return std::make_tuple(ntohl(row.dwLocalAddr), ntohs(static_cast<std::uint16_t>(row.dwLocalPort)),
                               ntohl(row.dwRemoteAddr), ntohs(static_cast<std::uint16_t>(row.dwRemotePort)));
    };
    EXPECT_TRUE(std::is_sorted(table.rows.begin(), table.rows.end(),
                               [&](const TcpRow& a, const TcpRow& b) { return key(a) < key(b); }));
    EXPECT_EQ(table.rows[0].dwLocalPort, PortField(2));
    EXPECT_EQ(table.rows[1].dwLocalPort, PortField(256));
    EXPECT_EQ(table.rows[2].dwLocalPort, PortField(513));
    EXPECT_EQ(table.rows[3].dwLocalPort, PortField(7001));
    const auto established = std::count_if(table.rows.begin(), table.rows.end(),
                                           [](const TcpRow& row) { return row.dwState == 5; });
    EXPECT_EQ(established, 300);
}

TEST(ConnectionTable, ReadsASteadyTableWithoutAllocating) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    Fd listener;
    std::vector<Fd> clients;
    long during = -1;
    TcpTable table;
    TestNetwork::RunIn(network.local(), [&] {
        listener = test::Listen4("127.0.0.1", 7000);
        for (int i = 0; i < 150; ++i) clients.push_back(test::Connect4("127.0.0.1", 7000));
        auto connections = MakeSystemConnectionTable();
        UdpTable udp;
        for (int i = 0; i < 3; ++i) {
            connections->ReadTcp(table);
            connections->ReadUdp(udp);
        }
        const long before = allocations.load();
        for (int i = 0; i < 20; ++i) {
            connections->ReadTcp(table);
            connections->ReadUdp(udp);
        }
        during = allocations.load() - before;
    });
    EXPECT_EQ(table.dwNumEntries, 301u);
    EXPECT_EQ(during, 0);
}

TEST(ConnectionTable, MapsTcpStates) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    Fd local_listener;
    Fd remote_listener;
    TestNetwork::RunIn(network.local(), [&] { local_listener = test::Listen4(kLocal, 5000); });
    TestNetwork::RunIn(network.remote(), [&] { remote_listener = test::Listen4(kRemote, 6000); });

    Fd closed_by_remote;  // local side of a connection the remote closed: CLOSE_WAIT
    Fd closing_locally;   // the local side closed first, the remote still open: FIN_WAIT2
    Fd remote_peer;       // the remote end of closing_locally
    Fd waiting;           // the local side closed first, then the remote: TIME_WAIT
    Fd unanswered;        // a connect to an address nobody answers: SYN_SENT
    {
        Fd remote_client;
        TestNetwork::RunIn(network.remote(), [&] { remote_client = test::Connect4(kLocal, 5000, 41000); });
        TestNetwork::RunIn(network.local(), [&] { closed_by_remote = test::Accept(local_listener); });
    }
    Fd time_wait_peer;
    TestNetwork::RunIn(network.local(), [&] {
        closing_locally = test::Connect4(kRemote, 6000, 42000);
        waiting = test::Connect4(kRemote, 6000, 43000);
        unanswered = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in nobody = test::Ipv4("10.77.0.3", 6000);
        ::connect(unanswered.get(), reinterpret_cast<const sockaddr*>(&nobody), sizeof nobody);
    });
    TestNetwork::RunIn(network.remote(), [&] {
        remote_peer = test::Accept(remote_listener);
        time_wait_peer = test::Accept(remote_listener);
    });
    closing_locally.Reset();
    waiting.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    time_wait_peer.Reset();

    TcpTable table;
    TestNetwork::RunIn(network.local(), [&] {
        auto connections = MakeSystemConnectionTable();
        const auto state_of = [](const TcpTable& t, std::uint16_t local_port, std::uint16_t remote_port) {
            for (const TcpRow& row : t.rows) {
                if (row.dwLocalPort == PortField(local_port) && row.dwRemotePort == PortField(remote_port)) {
                    return row.dwState;
                }
            }
            return 0u;
        };
        EXPECT_TRUE(ReadUntil(*connections, table, [&](const TcpTable& t) {
            return state_of(t, 5000, 41000) == 8 && state_of(t, 42000, 6000) == 7 &&
                   state_of(t, 43000, 6000) == 11;
        }));
        EXPECT_EQ(state_of(table, 5000, 0), 2u);       // LISTENING
        EXPECT_EQ(state_of(table, 5000, 41000), 8u);   // CLOSE_WAIT
        EXPECT_EQ(state_of(table, 42000, 6000), 7u);   // FIN_WAIT2
        EXPECT_EQ(state_of(table, 43000, 6000), 11u);  // TIME_WAIT
        bool found = false;
        for (const TcpRow& row : table.rows) {
            if (row.dwRemoteAddr == AddressField("10.77.0.3")) {
                EXPECT_EQ(row.dwState, 3u);  // SYN_SENT
                found = true;
            }
        }
        EXPECT_TRUE(found);
    });
}

TEST(ConnectionTable, TearsDownIpv4MappedAndIpv6ConnectionsButNeverListeners) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    Fd listener4;
    Fd dual;
    TestNetwork::RunIn(network.local(), [&] {
        listener4 = test::Listen4(kLocal, 80);
        dual = test::Listen6("::", 8080, false);
    });
    Fd client4;
    Fd client_mapped;
    Fd client6;
    Fd survivor;
    TestNetwork::RunIn(network.remote(), [&] {
        client4 = test::Connect4(kLocal, 80);
        client_mapped = test::Connect4(kLocal, 8080);
        client6 = test::Connect6(TestNetwork::kLocalAddress6, 8080);
        survivor = test::Connect4(kLocal, 8080);
    });
    Fd server4;
    Fd server_mapped;
    Fd server6;
    Fd server_survivor;
    TcpTable table;
    TestNetwork::RunIn(network.local(), [&] {
        server4 = test::Accept(listener4);
        server_mapped = test::Accept(dual);
        server6 = test::Accept(dual);
        server_survivor = test::Accept(dual);
        auto connections = MakeSystemConnectionTable();
        ASSERT_TRUE(connections->ReadTcp(table));
        // Ask for the teardown of everything but the survivor, both listeners included.
        std::vector<SocketId> doomed;
        std::uint32_t survivor_port = 0;
        {
            sockaddr_in name{};
            socklen_t length = sizeof name;
            ::getsockname(survivor.get(), reinterpret_cast<sockaddr*>(&name), &length);
            survivor_port = name.sin_port;
        }
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            if (table.rows[i].dwRemotePort != survivor_port) doomed.push_back(table.ids[i]);
        }
        EXPECT_EQ(doomed.size(), 5u);
        connections->Destroy(doomed);
        connections->Destroy(doomed);  // refused the second time: nothing is left to tear down
        ASSERT_TRUE(connections->ReadTcp(table));
    });
    EXPECT_EQ(test::ReadError(client4), ECONNRESET);
    EXPECT_EQ(test::ReadError(client_mapped), ECONNRESET);
    EXPECT_EQ(test::ReadError(client6), ECONNRESET);
    EXPECT_EQ(test::ReadError(server4), ECONNABORTED);
    EXPECT_EQ(test::ReadError(server_mapped), ECONNABORTED);
    EXPECT_EQ(test::ReadError(server6), ECONNABORTED);
    EXPECT_EQ(test::ReadError(survivor), -1);  // still open, nothing to read

    // What is left: both listeners and the surviving mapped connection.
    ASSERT_EQ(table.rows.size(), 3u);
    EXPECT_EQ(table.rows[0].dwState, 2u);
    EXPECT_EQ(table.rows[0].dwLocalPort, PortField(80));
    EXPECT_EQ(table.rows[1].dwState, 5u);
    EXPECT_EQ(table.rows[1].dwLocalPort, PortField(8080));
    EXPECT_EQ(table.rows[2].dwState, 2u);
    EXPECT_EQ(table.rows[2].family, AddressFamily::kIpv6);
    Fd later;
    Fd later6;
    TestNetwork::RunIn(network.remote(), [&] {
        later = test::Connect4(kLocal, 80);
        later6 = test::Connect6(TestNetwork::kLocalAddress6, 8080);
    });
    EXPECT_TRUE(later.valid());
    EXPECT_TRUE(later6.valid());
}

TEST(ConnectionTable, TearsDownHundredsInBatches) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    Fd listener;
    TestNetwork::RunIn(network.local(), [&] { listener = test::Listen4(kLocal, 80); });
    std::vector<Fd> clients;
    TestNetwork::RunIn(network.remote(), [&] {
        for (int i = 0; i < 300; ++i) clients.push_back(test::Connect4(kLocal, 80));
    });
    TcpTable table;
    TestNetwork::RunIn(network.local(), [&] {
        auto connections = MakeSystemConnectionTable();
        ASSERT_TRUE(connections->ReadTcp(table));
        ASSERT_EQ(table.rows.size(), 301u);
        connections->Destroy(table.ids);
        EXPECT_TRUE(connections->ReadTcp(table));
    });
    EXPECT_THAT(AllFields(table), testing::ElementsAre(Row(2, kLocal, 80, "0.0.0.0", 0)));
    int resets = 0;
    for (const Fd& client : clients) resets += test::ReadError(client) == ECONNRESET ? 1 : 0;
    EXPECT_EQ(resets, 300);
}

TEST(ConnectionTable, CountsUdpSocketsOfBothFamilies) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    UdpTable udp;
    std::vector<Fd> sockets;
    TestNetwork::RunIn(network.local(), [&] {
        auto connections = MakeSystemConnectionTable();
        ASSERT_TRUE(connections->ReadUdp(udp));
        EXPECT_EQ(udp.dwNumEntries, 0u);
        sockets.push_back(test::Bound(AF_INET, SOCK_DGRAM, test::Ipv4("0.0.0.0", 53)));
        sockets.push_back(test::Bound(AF_INET, SOCK_DGRAM, test::Ipv4(kLocal, 5353)));
        sockets.push_back(test::Bound(AF_INET6, SOCK_DGRAM, test::Ipv6("::ffff:127.0.0.1", 5000)));
        sockets.push_back(test::Bound(AF_INET6, SOCK_DGRAM, test::Ipv6("::1", 5001)));
        ASSERT_TRUE(connections->ReadUdp(udp));
    });
    EXPECT_EQ(udp.dwNumEntries, 4u);
}

// Sends `count` bytes on `fd` while `peer` reads them all.
void Move(const Fd& fd, const Fd& peer, std::size_t count) {
    std::size_t got = 0;
    std::thread reader([&] {
        std::vector<char> into(64 * 1024);
        while (got < count) {
            const ssize_t n = ::recv(peer.get(), into.data(), into.size(), 0);
            if (n <= 0) return;
            got += static_cast<std::size_t>(n);
        }
    });
    const std::vector<char> bytes(count, 'x');
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t n = ::send(fd.get(), bytes.data() + sent, count - sent, 0);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    reader.join();
    EXPECT_EQ(got, count);
}

// The table names each connection's socket file and counts the payload bytes it moved each way
// (the sent ones once the other end acknowledged them); switched off, the counts are not asked for.
TEST(ConnectionTable, CountsEachConnectionsBytesAndNamesItsSocketFile) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    Fd listener;
    Fd client;
    Fd accepted;
    TestNetwork::RunIn(network.local(), [&] { listener = test::Listen4(kLocal, 7100); });
    TestNetwork::RunIn(network.remote(), [&] { client = test::Connect4(kLocal, 7100); });
    accepted = test::Accept(listener);
    ASSERT_TRUE(accepted.valid());
    Move(client, accepted, 300'000);
    Move(accepted, client, 1234);
    struct stat file {};
    ASSERT_EQ(::fstat(accepted.get(), &file), 0);

    TcpTable table;
    TestNetwork::RunIn(network.local(), [&] {
        auto connections = MakeSystemConnectionTable();
        const auto counted = [&](const TcpTable& read) {
            for (std::size_t i = 0; i < read.rows.size(); ++i) {
                if (read.rows[i].dwState == 5 && read.details.size() == read.rows.size() &&
                    read.details[i].bytes_sent == 1234 && read.details[i].bytes_received == 300'000)
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(ReadUntil(*connections, table, counted));
        ASSERT_EQ(table.details.size(), table.rows.size());
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            if (table.rows[i].dwState != 5) continue;
            EXPECT_EQ(table.details[i].inode, file.st_ino);
            EXPECT_EQ(table.details[i].uid, 0u);
            EXPECT_TRUE(table.details[i].has_counts);
        }
        connections->SetByteCounts(false);
        ASSERT_TRUE(connections->ReadTcp(table));
        ASSERT_EQ(table.details.size(), 2u);
        for (const SocketDetail& detail : table.details) {
            EXPECT_FALSE(detail.has_counts);
            EXPECT_NE(detail.inode, 0u);
        }
    });
}

// UDP sockets as rows of their own, each with its socket file, for the listing of every socket.
TEST(ConnectionTable, ListsUdpSocketsAsRows) {
    TestNetwork network;
    ASSERT_TRUE(network.ok());
    TcpTable rows;
    std::vector<Fd> sockets;
    TestNetwork::RunIn(network.local(), [&] {
        sockets.push_back(test::Bound(AF_INET, SOCK_DGRAM, test::Ipv4(kLocal, 5353)));
        sockets.push_back(test::Bound(AF_INET6, SOCK_DGRAM, test::Ipv6("::1", 5001)));
        const sockaddr_in peer = test::Ipv4(kRemote, 53);
        ASSERT_EQ(::connect(sockets[0].get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer), 0);
        ASSERT_TRUE(MakeSystemConnectionTable()->ReadUdpRows(rows));
    });
    EXPECT_THAT(AllRows(rows), testing::ElementsAre("5 10.77.0.1:5353 10.77.0.2:53", "1 [::1]:5001 [::]:0"));
    ASSERT_EQ(rows.details.size(), 2u);
    struct stat file {};
    ASSERT_EQ(::fstat(sockets[0].get(), &file), 0);
    EXPECT_EQ(rows.details[0].inode, file.st_ino);
    EXPECT_FALSE(rows.details[0].has_counts);
}

TEST(ConnectionTable, TearDownNeedsNetAdmin) {
    EXPECT_TRUE(CanTearDownConnections());  // the tests run as root
    // A child that drops CAP_NET_ADMIN from its effective set must see false.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (::syscall(SYS_capget, &header, data) != 0) ::_exit(2);
        data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
        if (::syscall(SYS_capset, &header, data) != 0) ::_exit(3);
        ::_exit(CanTearDownConnections() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velmor::platform
