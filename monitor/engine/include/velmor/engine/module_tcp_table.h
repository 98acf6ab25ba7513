#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/platform/connection_table.h"

namespace velmor::engine {

using platform::TcpRow;
class Enforcement;

// A TCP table snapshot of one tick. It is cleared at the start of every snapshot; its buffers keep
// their capacity, so a steady table costs no allocation. Unlike the fixed 101-row block of the
// classic design it holds the whole table, however large: a capped snapshot turns a busy table into
// an empty one, and then nothing would be filed or torn down.
using TcpSnapshot = platform::TcpTable;
using UdpSnapshot = platform::UdpTable;

// The connection table's state numbers (MIB_TCP_STATE) that the cycle tells apart.
inline constexpr std::uint32_t kStateSynReceived = 4;
inline constexpr std::uint32_t kStateEstablished = 5;
inline constexpr std::uint32_t kStateTimeWait = 11;
inline constexpr std::uint32_t kDeleteTcb = 12;

// True for a connection whose handshake completed: established, or any later state of an open or
// closing connection. Only such a row proves its remote address: a half-open one (SYN_RCVD, a
// request socket) may come from a forged source that never answered.
bool HandshakeCompleted(const TcpRow& row);

// Takes the table into `snapshot` (cleared first). A failure leaves an empty snapshot.
void TakeTcpSnapshot(platform::ConnectionTable& table, TcpSnapshot& snapshot);
void TakeUdpSnapshot(platform::ConnectionTable& table, UdpSnapshot& snapshot);

// Collects teardown requests of one tick and sends them to the system together.
class TeardownBatch final {
public:
    void Add(const platform::SocketId& id) { pending_.push_back(id); }
    bool Empty() const { return pending_.empty(); }
    std::size_t Size() const { return pending_.size(); }
    // Sends every collected request; refusals are not reported.
    void Flush(platform::ConnectionTable& table);
    void Flush(Enforcement& enforcement);

private:
    std::vector<platform::SocketId> pending_;
};

// Marks row `index` of the snapshot DELETE_TCB (12) and asks for its teardown. The state stays 12
// whatever the system answers.
void TearDownConnection(TcpSnapshot& snapshot, std::size_t index, TeardownBatch& batch);

// The port in the low two bytes of a network-order port field, as decimal text.
std::string PortToString(std::uint32_t port_field);
// The same port as a number.
std::uint16_t PortOf(std::uint32_t port_field);
inline std::uint16_t LocalPortOf(const TcpRow& row) {
    return PortOf(row.dwLocalPort);
}
// The network-order address field as dotted decimal text.
std::string IpToString(std::uint32_t address_field);
// The RFC 5952 text of an IPv6 address (four words in network byte order), as inet_ntop writes it.
std::string Ipv6ToString(const std::uint32_t (&address)[4]);
// The remote address text of a row, whatever its family: dotted decimal for IPv4 rows, RFC 5952 for
// IPv6 rows. This text keys the lists, the rule files and the lookups. The second form writes into
// `out`, keeping its capacity, so a tick that looks at every row allocates nothing.
std::string RemoteAddressText(const TcpRow& row);
void RemoteAddressText(const TcpRow& row, std::string& out);

// Listening sockets and loopback connections: "0.0.0.0", "127.0.0.1", "::" and "::1" are neither
// shown nor filed, in either family.
bool IsUnlistedAddress(std::string_view address);

// An order-independent digest of the set of rows: family, local and remote address and port of
// each, and whether it is half-open (SYN_RCVD; other states are left out). Two tables with the same rows in
// any order give the same value; any other row set gives another one except with a chance near 2^-64, and
// since `key` is a secret of the running program a remote host cannot choose rows that collide. Allocates
// nothing.
std::uint64_t RowSetFingerprint(const TcpSnapshot& snapshot, std::uint64_t key);
// One row's share of the fingerprint: the fingerprint of a set is the sum of its rows' digests.
std::uint64_t RowDigest(const TcpRow& row, std::uint64_t key);

// The 16-bit version word with `low` in the low byte and `high` in the high byte.
std::uint16_t MakeWinsockVersion(std::uint8_t low, std::uint8_t high);

}  // namespace velmor::engine
