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

// What the table tells of a socket beside its row: who owns the socket file and, for a TCP socket
// that has them, its byte counts (the kernel's TCP info, asked for with the table).
struct SocketDetail {
    std::uint64_t inode = 0;  // the socket file's inode: socket:[inode] in /proc/<pid>/fd
    std::uint32_t uid = 0;    // the user the socket belongs to
    bool has_counts = false;  // the counts below were reported (not for TIME_WAIT or request sockets)
    std::uint64_t bytes_received = 0;  // payload bytes received in order
    std::uint64_t bytes_sent = 0;      // payload bytes sent and acknowledged by the other end
};

// A TCP table snapshot. `rows[i]` and `ids[i]` describe the same connection, and `details[i]` when a
// system reports details (Linux does; elsewhere `details` may be shorter than `rows`). The vectors
// keep their capacity between snapshots, so a steady table costs no allocation.
struct TcpTable {
    std::uint32_t dwNumEntries = 0;
    std::vector<TcpRow> rows;
    std::vector<SocketId> ids;
    std::vector<SocketDetail> details;

    void Clear() {
        dwNumEntries = 0;
        rows.clear();
        ids.clear();
        details.clear();
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
    // Fills `rows` with the UDP sockets (unconnected ones in state CLOSED with remote address 0,
    // connected ones ESTABLISHED), in the TCP table's layout and order, without byte counts. False
    // (and no rows) on failure or where the system cannot tell.
    virtual bool ReadUdpRows(TcpTable& rows) {
        rows.Clear();
        return false;
    }
    // Whether ReadTcp asks for each connection's byte counts (on unless switched off; a system that
    // has none leaves them unreported either way).
    virtual void SetByteCounts(bool on) { static_cast<void>(on); }
    // Asks the system to tear the given connections down. Refusals are not reported.
    virtual void Destroy(std::span<const SocketId> ids) = 0;
};

// The connection tables of the network namespace this process runs in.
std::unique_ptr<ConnectionTable> MakeSystemConnectionTable();

// True when this process may tear connections down (CAP_NET_ADMIN on Linux).
bool CanTearDownConnections();

}  // namespace velmor::platform
