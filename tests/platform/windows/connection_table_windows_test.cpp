// The IP Helper connection table over real sockets on loopback: a listener and both ends of a
// connection the test makes itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "ip_helper_table.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_lookup.h"

namespace velmor::platform {
namespace {

constexpr std::uint32_t kListening = 2;
constexpr std::uint32_t kEstablished = 5;

std::uint32_t Loopback() {
    in_addr address{};
    address.s_addr = htonl(INADDR_LOOPBACK);
    return address.s_addr;
}

std::uint16_t PortOf(SOCKET socket) {
    sockaddr_in address{};
    int length = sizeof address;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return address.sin_port;  // network order, as the table holds it
}

// A listener on a free loopback port, a client connected to it and the accepted end.
class LoopbackConnection {
public:
    LoopbackConnection() {
        WSADATA data{};
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = Loopback();
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 4);
        address.sin_port = PortOf(listener);
        client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        connected = ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        accepted = ::accept(listener, nullptr, nullptr);
    }
    ~LoopbackConnection() {
        for (const SOCKET socket : {accepted, client, listener}) {
            if (socket != INVALID_SOCKET) ::closesocket(socket);
        }
        if (started_) ::WSACleanup();
    }
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    SOCKET listener = INVALID_SOCKET;
    SOCKET client = INVALID_SOCKET;
    SOCKET accepted = INVALID_SOCKET;
    bool connected = false;

private:
    bool started_ = false;
};

// The row with these ports in this state; -1 when the table has none.
int FindRow(const TcpTable& table, std::uint16_t local_port, std::uint16_t remote_port, std::uint32_t state) {
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const TcpRow& row = table.rows[i];
        if (row.family == AddressFamily::kIpv4 && (row.dwLocalPort & 0xFFFF) == local_port &&
            (row.dwRemotePort & 0xFFFF) == remote_port && row.dwState == state) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TEST(IpHelperTable, ListsTheListenerAndBothEndsOfALoopbackConnectionSorted) {
    LoopbackConnection connection;
    ASSERT_TRUE(connection.connected);
    ASSERT_NE(connection.accepted, INVALID_SOCKET);
    const std::uint16_t server = PortOf(connection.listener);
    const std::uint16_t client = PortOf(connection.client);

    TcpTable table;
    ASSERT_TRUE(MakeSystemConnectionTable()->ReadTcp(table));
    ASSERT_EQ(table.rows.size(), table.ids.size());
    EXPECT_EQ(table.dwNumEntries, table.rows.size());

    const int listening = FindRow(table, server, 0, kListening);
    const int outgoing = FindRow(table, client, server, kEstablished);
    const int incoming = FindRow(table, server, client, kEstablished);
    ASSERT_GE(listening, 0) << "the listener";
    ASSERT_GE(outgoing, 0) << "the client's end";
    ASSERT_GE(incoming, 0) << "the accepted end";
    for (const int index : {outgoing, incoming}) {
        EXPECT_EQ(table.rows[index].dwLocalAddr, Loopback());
        EXPECT_EQ(table.rows[index].dwRemoteAddr, Loopback());
    }
    // The socket id names the same connection: what a teardown of the row asks for.
    const SocketId& id = table.ids[outgoing];
    EXPECT_EQ(id.family, AF_INET);
    EXPECT_EQ(id.source[0], Loopback());
    EXPECT_EQ(id.source_port_be, client);
    EXPECT_EQ(id.destination_port_be, server);

    // Local address, local port, remote address, remote port, each compared by its bytes.
    const auto key = [](const TcpRow& row) {
        const auto big = [](std::uint32_t field) {
            unsigned char b[4];
            std::memcpy(b, &field, 4);
            return (std::uint64_t{b[0]} << 24) | (std::uint64_t{b[1]} << 16) | (std::uint64_t{b[2]} << 8) |
                   b[3];
        };
        return std::tuple(row.family, big(row.dwLocalAddr), big(row.dwLocalPort) >> 16, big(row.dwRemoteAddr),
                          big(row.dwRemotePort) >> 16);
    };
    EXPECT_TRUE(std::is_sorted(table.rows.begin(), table.rows.end(),
                               [&](const TcpRow& a, const TcpRow& b) { return key(a) < key(b); }));
}

TEST(IpHelperTable, UdpSocketsAreCounted) {
    LoopbackConnection winsock;  // keeps Windows Sockets started
    const auto connections = MakeSystemConnectionTable();
    UdpTable before;
    ASSERT_TRUE(connections->ReadUdp(before));
    const SOCKET udp = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Loopback();
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    UdpTable after;
    ASSERT_TRUE(connections->ReadUdp(after));
    ::closesocket(udp);
    EXPECT_EQ(after.dwNumEntries, before.dwNumEntries + 1);
}

// Teardown hands the row to SetTcpEntry as MIB_TCPROW with state 12 (DELETE_TCB). Wine's
// SetTcpEntry is a stub that answers success and closes nothing, so only the call itself and what
// it carries can be seen here; that the connection then goes shows on a Windows machine only.
TEST(IpHelperTable, TeardownCallsSetTcpEntryWithTheRowInStateDeleteTcb) {
    LoopbackConnection connection;
    ASSERT_TRUE(connection.connected);
    std::vector<MIB_TCPROW> calls;
    DWORD answer = ERROR_GEN_FAILURE;
    const auto connections = windows::MakeIpHelperConnectionTable([&](MIB_TCPROW& row) {
        calls.push_back(row);
        answer = ::SetTcpEntry(&row);
        return answer;
    });
    TcpTable table;
    ASSERT_TRUE(connections->ReadTcp(table));
    const std::uint16_t server = PortOf(connection.listener);
    const std::uint16_t client = PortOf(connection.client);
    const int outgoing = FindRow(table, client, server, kEstablished);
    ASSERT_GE(outgoing, 0);

    // An IPv6 connection has no IP Helper teardown: nothing reaches SetTcpEntry for it.
    SocketId ipv6 = table.ids[outgoing];
    ipv6.family = AF_INET6;
    connections->Destroy(std::vector<SocketId>{table.ids[outgoing], ipv6});

    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].dwState, static_cast<DWORD>(MIB_TCP_STATE_DELETE_TCB));
    EXPECT_EQ(calls[0].dwLocalAddr, Loopback());
    EXPECT_EQ(calls[0].dwLocalPort, client);
    EXPECT_EQ(calls[0].dwRemoteAddr, Loopback());
    EXPECT_EQ(calls[0].dwRemotePort, server);
    EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR)) << "wine's stub answers success";
}

TEST(IpHelperTable, SocketLookupFindsALiveConnectionAndNotAClosedOne) {
    TcpTable table;
    SocketId id;
    {
        LoopbackConnection connection;
        ASSERT_TRUE(connection.connected);
        ASSERT_TRUE(MakeSystemConnectionTable()->ReadTcp(table));
        const int outgoing =
            FindRow(table, PortOf(connection.client), PortOf(connection.listener), kEstablished);
        ASSERT_GE(outgoing, 0);
        id = table.ids[outgoing];
        SocketLookup lookup;
        SocketRow row;
        ASSERT_EQ(lookup.Find(id, row), SocketLookupStatus::kFound);
        EXPECT_TRUE(row.ipv4);
        EXPECT_EQ(row.row.dwRemotePort, table.rows[outgoing].dwRemotePort);
        EXPECT_EQ(row.linux_state, 1) << "ESTABLISHED in Linux's numbers";
    }
    // Closed without lingering: the client's end leaves the table or waits in TIME_WAIT, never
    // ESTABLISHED again.
    SocketLookup lookup;
    SocketRow row;
    const auto status = lookup.Find(id, row);
    EXPECT_TRUE(status == SocketLookupStatus::kGone || row.linux_state != 1);
}

}  // namespace
}  // namespace velmor::platform
