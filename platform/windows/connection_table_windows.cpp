#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

#include "ip_helper_table.h"
#include "velmor/platform/diag.h"
#include "wide_text.h"

namespace velmor::platform {
namespace {

// A table that grows between the size query and the read is asked for again, a few times at most.
constexpr int kReadAttempts = 4;

// Fills `buffer` through one of the IP Helper table calls, growing it as the call asks.
template <typename Call>
bool ReadTable(std::vector<unsigned char>& buffer, Call call) {
    if (buffer.empty()) buffer.resize(16 * 1024);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        ULONG size = static_cast<ULONG>(buffer.size());
        const DWORD result = call(buffer.data(), &size);
        if (result == NO_ERROR) return true;
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            Diag("table", "IP Helper refused the table: " + windows::ErrorText(result));
            return false;
        }
        buffer.resize(static_cast<std::size_t>(size) + size / 4 + 1024);
    }
    return false;
}

// The bytes of a network-order field as a number, most significant first: the sort key the
// tables are ordered by on every system.
std::uint32_t Big(std::uint32_t field) {
    unsigned char bytes[4];
    std::memcpy(bytes, &field, 4);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

std::uint32_t PortKey(std::uint32_t field) {
    return Big(field) >> 16;
}

bool IsIpv4Mapped(const unsigned char (&bytes)[16]) {
    static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes, kPrefix, sizeof kPrefix) == 0;
}

bool RowLess(const TcpRow& a, const TcpRow& b) {
    if (a.family != b.family) return a.family == AddressFamily::kIpv4;
    if (a.family == AddressFamily::kIpv4) {
        if (a.dwLocalAddr != b.dwLocalAddr) return Big(a.dwLocalAddr) < Big(b.dwLocalAddr);
        if (PortKey(a.dwLocalPort) != PortKey(b.dwLocalPort))
            return PortKey(a.dwLocalPort) < PortKey(b.dwLocalPort);
        if (a.dwRemoteAddr != b.dwRemoteAddr) return Big(a.dwRemoteAddr) < Big(b.dwRemoteAddr);
        return PortKey(a.dwRemotePort) < PortKey(b.dwRemotePort);
    }
    for (int i = 0; i < 4; ++i) {
        if (a.dwLocalAddr6[i] != b.dwLocalAddr6[i]) return Big(a.dwLocalAddr6[i]) < Big(b.dwLocalAddr6[i]);
    }
    if (PortKey(a.dwLocalPort) != PortKey(b.dwLocalPort))
        return PortKey(a.dwLocalPort) < PortKey(b.dwLocalPort);
    for (int i = 0; i < 4; ++i) {
        if (a.dwRemoteAddr6[i] != b.dwRemoteAddr6[i])
            return Big(a.dwRemoteAddr6[i]) < Big(b.dwRemoteAddr6[i]);
    }
    return PortKey(a.dwRemotePort) < PortKey(b.dwRemotePort);
}

// The TCP tables through IP Helper: GetTcpTable for IPv4, GetTcp6Table for IPv6, SetTcpEntry with
// DELETE_TCB for teardown. The rows are MIB_TCPROW as they are; a socket id keeps the row's
// addresses and ports, which is all SetTcpEntry takes.
class IpHelperConnectionTable final : public ConnectionTable {
public:
    explicit IpHelperConnectionTable(windows::SetTcpEntryCall set_tcp_entry)
        : set_tcp_entry_(std::move(set_tcp_entry)) {}

    bool ReadTcp(TcpTable& table) override {
        table.Clear();
        // Unsorted from the system: the order of both families together is set by Sort below.
        if (!ReadTable(tcp4_, [](void* data, ULONG* size) {
                return ::GetTcpTable(static_cast<PMIB_TCPTABLE>(data), size, FALSE);
            })) {
            return false;
        }
        const auto* ipv4 = reinterpret_cast<const MIB_TCPTABLE*>(tcp4_.data());
        for (DWORD i = 0; i < ipv4->dwNumEntries; ++i) {
            const MIB_TCPROW& entry = ipv4->table[i];
            TcpRow row;
            row.dwState = entry.dwState;
            row.dwLocalAddr = entry.dwLocalAddr;
            row.dwLocalPort = entry.dwLocalPort;
            row.dwRemoteAddr = entry.dwRemoteAddr;
            row.dwRemotePort = entry.dwRemotePort;
            Add(table, row, AF_INET);
        }
        // A system without IPv6 refuses the second table; its IPv4 rows stand.
        if (ReadTable(tcp6_, [](void* data, ULONG* size) {
                return ::GetTcp6Table(static_cast<PMIB_TCP6TABLE>(data), size, FALSE);
            })) {
            const auto* ipv6 = reinterpret_cast<const MIB_TCP6TABLE*>(tcp6_.data());
            for (DWORD i = 0; i < ipv6->dwNumEntries; ++i) AddIpv6(table, ipv6->table[i]);
        }
        Sort(table);
        return true;
    }

    bool ReadUdp(UdpTable& table) override {
        table.dwNumEntries = 0;
        if (!ReadTable(udp_, [](void* data, ULONG* size) {
                return ::GetUdpTable(static_cast<PMIB_UDPTABLE>(data), size, FALSE);
            })) {
            return false;
        }
        std::uint32_t count = reinterpret_cast<const MIB_UDPTABLE*>(udp_.data())->dwNumEntries;
        if (ReadTable(udp_, [](void* data, ULONG* size) {
                return ::GetUdp6Table(static_cast<PMIB_UDP6TABLE>(data), size, FALSE);
            })) {
            count += reinterpret_cast<const MIB_UDP6TABLE*>(udp_.data())->dwNumEntries;
        }
        table.dwNumEntries = count;
        return true;
    }

    void Destroy(std::span<const SocketId> ids) override {
        for (const SocketId& id : ids) {
            if (id.family != AF_INET) {
                // IP Helper deletes IPv4 connections only; there is no SetTcp6Entry.
                Diag("teardown", "an IPv6 connection cannot be torn down through IP Helper");
                continue;
            }
            MIB_TCPROW row{};
            row.dwState = MIB_TCP_STATE_DELETE_TCB;
            row.dwLocalAddr = id.source[0];
            row.dwLocalPort = id.source_port_be;
            row.dwRemoteAddr = id.destination[0];
            row.dwRemotePort = id.destination_port_be;
            // Needs an administrator's rights; the system refuses it otherwise (and for listeners).
            if (const DWORD result = set_tcp_entry_(row); result != NO_ERROR)
                Diag("teardown", "SetTcpEntry refused: " + windows::ErrorText(result));
        }
    }

private:
    static void Add(TcpTable& table, const TcpRow& row, std::uint8_t family) {
        SocketId id;
        id.family = family;
        id.source_port_be = static_cast<std::uint16_t>(row.dwLocalPort);
        id.destination_port_be = static_cast<std::uint16_t>(row.dwRemotePort);
        if (row.family == AddressFamily::kIpv4) {
            id.source[0] = row.dwLocalAddr;
            id.destination[0] = row.dwRemoteAddr;
        } else {
            std::memcpy(id.source, row.dwLocalAddr6, sizeof id.source);
            std::memcpy(id.destination, row.dwRemoteAddr6, sizeof id.destination);
        }
        table.rows.push_back(row);
        table.ids.push_back(id);
        table.dwNumEntries = static_cast<std::uint32_t>(table.rows.size());
    }

    // An IPv6 row whose two addresses are IPv4-mapped is an IPv4 connection of a dual-stack socket.
    static void AddIpv6(TcpTable& table, const MIB_TCP6ROW& entry) {
        unsigned char local[16];
        unsigned char remote[16];
        std::memcpy(local, &entry.LocalAddr, 16);
        std::memcpy(remote, &entry.RemoteAddr, 16);
        TcpRow row;
        row.dwState = static_cast<std::uint32_t>(entry.State);
        row.dwLocalPort = entry.dwLocalPort;
        row.dwRemotePort = entry.dwRemotePort;
        if (IsIpv4Mapped(local) && IsIpv4Mapped(remote)) {
            std::memcpy(&row.dwLocalAddr, local + 12, 4);
            std::memcpy(&row.dwRemoteAddr, remote + 12, 4);
            Add(table, row, AF_INET);
            return;
        }
        row.family = AddressFamily::kIpv6;
        std::memcpy(row.dwLocalAddr6, local, 16);
        std::memcpy(row.dwRemoteAddr6, remote, 16);
        Add(table, row, AF_INET6);
        table.ids.back().interface_index = entry.dwRemoteScopeId;
    }

    // IPv4 rows first, each family by local address, local port, remote address, remote port; the
    // rows and their ids move together.
    void Sort(TcpTable& table) {
        order_.resize(table.rows.size());
        std::iota(order_.begin(), order_.end(), std::size_t{0});
        std::stable_sort(order_.begin(), order_.end(),
                         [&](std::size_t a, std::size_t b) { return RowLess(table.rows[a], table.rows[b]); });
        sorted_rows_.clear();
        sorted_ids_.clear();
        for (const std::size_t index : order_) {
            sorted_rows_.push_back(table.rows[index]);
            sorted_ids_.push_back(table.ids[index]);
        }
        table.rows.swap(sorted_rows_);
        table.ids.swap(sorted_ids_);
    }

    windows::SetTcpEntryCall set_tcp_entry_;
    std::vector<unsigned char> tcp4_;
    std::vector<unsigned char> tcp6_;
    std::vector<unsigned char> udp_;
    std::vector<std::size_t> order_;
    std::vector<TcpRow> sorted_rows_;
    std::vector<SocketId> sorted_ids_;
};

}  // namespace

std::unique_ptr<ConnectionTable> windows::MakeIpHelperConnectionTable(SetTcpEntryCall set_tcp_entry) {
    return std::make_unique<IpHelperConnectionTable>(std::move(set_tcp_entry));
}

std::unique_ptr<ConnectionTable> MakeSystemConnectionTable() {
    return windows::MakeIpHelperConnectionTable([](MIB_TCPROW& row) { return ::SetTcpEntry(&row); });
}

// SetTcpEntry deletes connections for administrators only: an elevated process.
bool CanTearDownConnections() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated != 0;
    ::CloseHandle(token);
    return elevated;
}

}  // namespace velmor::platform
