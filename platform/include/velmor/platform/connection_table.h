#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velmor::platform {

enum class AddressFamily : std::uint32_t { kIpv4 = 0, kIpv6 = 1 };

// One TCP connection. The first five fields are the classic MIB_TCPROW layout: state number 1..12,
// addresses and ports in network byte order, each port in the low two bytes of its field. An IPv6
// connection (family kIpv6) keeps its ports there too, leaves the two IPv4 address fields 0 and
// carries its addresses in the 16-byte fields, network byte order. IPv4 connections of dual-stack
// sockets (IPv4-mapped addresses) are IPv4 rows.
struct TcpRow {
    std::uint32_t dwState = 0;
    std::uint32_t dwLocalAddr = 0;
    std::uint32_t dwLocalPort = 0;
    std::uint32_t dwRemoteAddr = 0;
    std::uint32_t dwRemotePort = 0;
    AddressFamily family = AddressFamily::kIpv4;
    std::uint32_t dwLocalAddr6[4] = {};
    std::uint32_t dwRemoteAddr6[4] = {};
};

// What the system needs to tear one connection down: the socket's family and its kernel identity
// (ports, addresses, interface and cookie), all as the kernel reported them.
struct SocketId {
    std::uint8_t family = 0;
    std::uint16_t source_port_be = 0;
    std::uint16_t destination_port_be = 0;
    std::uint32_t source[4] = {};
    std::uint32_t destination[4] = {};
    std::uint32_t interface_index = 0;
    std::uint32_t cookie[2] = {};
};

// A TCP table snapshot. `rows[i]` and `ids[i]` describe the same connection. Both vectors keep their
// capacity between snapshots, so a steady table costs no allocation.
struct TcpTable {
    std::uint32_t dwNumEntries = 0;
    std::vector<TcpRow> rows;
    std::vector<SocketId> ids;

    void Clear() {
        dwNumEntries = 0;
        rows.clear();
        ids.clear();
    }
};

// The UDP table is only counted (IPv4, IPv4-mapped and IPv6 sockets).
struct UdpTable {
    std::uint32_t dwNumEntries = 0;
};

// The system's connection tables. Rows are IPv4 connections, including those that dual-stack
// sockets report as IPv4-mapped IPv6, and IPv6 connections; they come sorted IPv4 rows first, then
// by local address, local port, remote address, remote port (all compared as host-order numbers of
// the network-order fields' bytes).
class ConnectionTable {
public:
    virtual ~ConnectionTable() = default;

    // Fills `table` with the whole TCP table. Returns false (and an empty table) on failure.
    virtual bool ReadTcp(TcpTable& table) = 0;
    // Fills `table` with the UDP row count. Returns false (and a count of 0) on failure.
    virtual bool ReadUdp(UdpTable& table) = 0;
    // Asks the system to tear the given connections down. Refusals are not reported.
    virtual void Destroy(std::span<const SocketId> ids) = 0;
};

// The connection tables of the network namespace this process runs in.
std::unique_ptr<ConnectionTable> MakeSystemConnectionTable();

// True when this process may tear connections down (CAP_NET_ADMIN on Linux).
bool CanTearDownConnections();

}  // namespace velmor::platform
