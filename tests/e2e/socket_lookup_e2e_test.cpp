// One socket asked for by its exact id, against the real kernel in namespaces made by the test.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_lookup.h"
#include "velmor/test/socket_checks.h"
#include "velmor/test/test_network.h"

namespace velmor::platform {
namespace {

using test::Fd;
using test::TestNetwork;

constexpr const char* kLocal = TestNetwork::kLocalAddress;
constexpr const char* kLocal6 = "fd00:77::1";
constexpr std::uint8_t kEstablished = 1;

std::uint64_t Cookie(const Fd& fd) {
    std::uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_COOKIE, &cookie, &size), 0);
    return cookie;
}

// The id of a connected socket from its own view: its family, both ends and its cookie.
SocketId IdOf(const Fd& fd) {
    sockaddr_storage local{};
    sockaddr_storage remote{};
    socklen_t size = sizeof local;
    EXPECT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &size), 0);
    size = sizeof remote;
    EXPECT_EQ(::getpeername(fd.get(), reinterpret_cast<sockaddr*>(&remote), &size), 0);
    SocketId id;
    id.family = static_cast<std::uint8_t>(local.ss_family);
    if (local.ss_family == AF_INET) {
        const auto& l = reinterpret_cast<const sockaddr_in&>(local);
        const auto& r = reinterpret_cast<const sockaddr_in&>(remote);
        id.source_port_be = l.sin_port;
        id.destination_port_be = r.sin_port;
        id.source[0] = l.sin_addr.s_addr;
        id.destination[0] = r.sin_addr.s_addr;
    } else {
        const auto& l = reinterpret_cast<const sockaddr_in6&>(local);
        const auto& r = reinterpret_cast<const sockaddr_in6&>(remote);
        id.source_port_be = l.sin6_port;
        id.destination_port_be = r.sin6_port;
        std::memcpy(id.source, &l.sin6_addr, sizeof id.source);
        std::memcpy(id.destination, &r.sin6_addr, sizeof id.destination);
    }
    const std::uint64_t cookie = Cookie(fd);
    id.cookie[0] = static_cast<std::uint32_t>(cookie);
    id.cookie[1] = static_cast<std::uint32_t>(cookie >> 32);
    return id;
}

// Closes with a reset, so the socket leaves the table at once instead of lingering in TIME_WAIT.
void Abort(Fd& fd) {
    const linger now{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    fd.Reset();
}

class SocketLookupTest : public ::testing::Test {
protected:
    TestNetwork network;
};

TEST_F(SocketLookupTest, FindsLiveConnectionsOfEveryFamilyByTheirIdAndReportsClosedOnesGone) {
    ASSERT_TRUE(network.ok());
    ASSERT_EQ(
        TestNetwork::Exec(network.local(), std::string("ip -6 addr add ") + kLocal6 + "/128 dev lo nodad"),
        0);
    TestNetwork::RunIn(network.local(), [&] {
        Fd listener4 = test::Listen4(kLocal, 47110);
        Fd client4 = test::Connect4(kLocal, 47110);
        Fd accepted4 = test::Accept(listener4);
        Fd listener_dual = test::Listen6("::", 47120, false);
        Fd client_dual = test::Connect4(kLocal, 47120);
        Fd accepted_dual = test::Accept(listener_dual);
        Fd listener6 = test::Listen6(kLocal6, 47130, true);
        Fd client6 = test::Connect6(kLocal6, 47130);
        Fd accepted6 = test::Accept(listener6);

        SocketLookup lookup;
        SocketRow row;
        ASSERT_EQ(lookup.Find(IdOf(accepted4), row), SocketLookupStatus::kFound);
        EXPECT_TRUE(row.ipv4);
        EXPECT_EQ(row.linux_state, kEstablished);
        EXPECT_EQ(row.row.dwState, 5u);  // ESTABLISHED in the table's numbering
        EXPECT_EQ(row.row.dwLocalAddr, test::AddressField(kLocal));
        EXPECT_EQ(row.row.dwLocalPort, test::PortField(47110));
        EXPECT_EQ(row.row.dwRemoteAddr, test::AddressField(kLocal));
        EXPECT_EQ(row.row.dwRemotePort, IdOf(client4).source_port_be);
        EXPECT_EQ(row.id.cookie[0], IdOf(accepted4).cookie[0]);
        EXPECT_EQ(row.id.cookie[1], IdOf(accepted4).cookie[1]);

        // The id the table reports for a row finds that same row.
        auto table_reader = MakeSystemConnectionTable();
        TcpTable table;
        ASSERT_TRUE(table_reader->ReadTcp(table));
        const auto in_table = std::find_if(table.rows.begin(), table.rows.end(), [&](const TcpRow& r) {
            return r.dwLocalPort == test::PortField(47110) && r.dwRemoteAddr != 0;
        });
        ASSERT_NE(in_table, table.rows.end());
        const SocketId& table_id = table.ids[static_cast<std::size_t>(in_table - table.rows.begin())];
        ASSERT_EQ(lookup.Find(table_id, row), SocketLookupStatus::kFound);
        EXPECT_EQ(row.row.dwRemotePort, in_table->dwRemotePort);

        // A dual-stack listener's connection: an IPv6 socket carrying IPv4, shown as an IPv4 row.
        ASSERT_EQ(lookup.Find(IdOf(accepted_dual), row), SocketLookupStatus::kFound);
        EXPECT_EQ(row.id.family, AF_INET6);
        EXPECT_TRUE(row.ipv4);
        EXPECT_EQ(row.row.dwLocalAddr, test::AddressField(kLocal));
        EXPECT_EQ(row.row.dwLocalPort, test::PortField(47120));

        ASSERT_EQ(lookup.Find(IdOf(client6), row), SocketLookupStatus::kFound);
        EXPECT_EQ(row.id.family, AF_INET6);
        EXPECT_FALSE(row.ipv4);
        EXPECT_EQ(row.linux_state, kEstablished);
        EXPECT_EQ(std::memcmp(row.id.destination, IdOf(client6).destination, sizeof row.id.destination), 0);
        EXPECT_EQ(row.id.destination_port_be, test::PortField(47130));

        // The cookie names one socket: the same addresses and ports with another cookie are gone,
        // while a zero cookie takes whichever socket has them.
        SocketId wrong_cookie = IdOf(accepted4);
        wrong_cookie.cookie[0] ^= 1;
        EXPECT_EQ(lookup.Find(wrong_cookie, row), SocketLookupStatus::kGone);
        SocketId any_cookie = IdOf(accepted4);
        any_cookie.cookie[0] = any_cookie.cookie[1] = 0;
        EXPECT_EQ(lookup.Find(any_cookie, row), SocketLookupStatus::kFound);

        // Closed connections are gone; the others stay found.
        const SocketId closed4 = IdOf(accepted4);
        const SocketId closed6 = IdOf(client6);
        const SocketId open_dual = IdOf(accepted_dual);
        Abort(accepted4);
        Abort(client6);
        EXPECT_EQ(lookup.Find(closed4, row), SocketLookupStatus::kGone);
        EXPECT_EQ(lookup.Find(closed6, row), SocketLookupStatus::kGone);
        EXPECT_EQ(lookup.Find(open_dual, row), SocketLookupStatus::kFound);

        // A family the kernel cannot look up is not asked about.
        SocketId unix_id;
        unix_id.family = AF_UNIX;
        EXPECT_EQ(lookup.Find(unix_id, row), SocketLookupStatus::kFailed);
    });
}

TEST_F(SocketLookupTest, AnswersOnlyForItsOwnNamespace) {
    ASSERT_TRUE(network.ok());
    SocketId id;
    Fd listener;
    Fd client;
    Fd accepted;
    TestNetwork::RunIn(network.remote(), [&] {
        listener = test::Listen4(TestNetwork::kRemoteAddress, 47140);
        client = test::Connect4(TestNetwork::kRemoteAddress, 47140);
        accepted = test::Accept(listener);
        id = IdOf(accepted);
        SocketLookup lookup;
        SocketRow row;
        EXPECT_EQ(lookup.Find(id, row), SocketLookupStatus::kFound);
    });
    TestNetwork::RunIn(network.local(), [&] {
        SocketLookup lookup;
        SocketRow row;
        EXPECT_EQ(lookup.Find(id, row), SocketLookupStatus::kGone);
    });
}

}  // namespace
}  // namespace velmor::platform
