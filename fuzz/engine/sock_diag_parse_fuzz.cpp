// Feeds arbitrary bytes to the sock_diag parser as one dump reply and checks what it hands on.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "sock_diag_parse.h"

namespace {

velmor::platform::TcpTable table;
velmor::platform::sockdiag::TcpRowSorter sorter;

std::uint64_t Key(std::uint32_t address_be, std::uint32_t port_field) {
    const auto* a = reinterpret_cast<const unsigned char*>(&address_be);
    const auto* p = reinterpret_cast<const unsigned char*>(&port_field);
    return (std::uint64_t{a[0]} << 40) | (std::uint64_t{a[1]} << 32) | (std::uint64_t{a[2]} << 24) |
           (std::uint64_t{a[3]} << 16) | (std::uint64_t{p[0]} << 8) | p[1];
}

// An IPv6 address as bytes in network order, compared as a big-endian 128-bit number.
bool Less6(const std::uint32_t (&a)[4], const std::uint32_t (&b)[4]) {
    return std::memcmp(a, b, 16) < 0;
}
bool Equal6(const std::uint32_t (&a)[4], const std::uint32_t (&b)[4]) {
    return std::memcmp(a, b, 16) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmor::platform;
    // The expected sequence number is the first message's, as for a live reply.
    std::uint32_t sequence = 0;
    if (size >= 12) std::memcpy(&sequence, data + 8, sizeof sequence);

    table.Clear();
    sockdiag::DumpTarget target;
    target.table = &table;
    const auto status =
        sockdiag::ParseDump(std::span(reinterpret_cast<const std::byte*>(data), size), sequence, target);
    if (status == sockdiag::DumpStatus::kError && target.error <= 0) std::abort();
    if (target.rows != table.rows.size() || table.ids.size() != table.rows.size()) std::abort();
    sorter.Sort(table);
    if (table.dwNumEntries != table.rows.size()) std::abort();
    const bool sorted =
        std::is_sorted(table.rows.begin(), table.rows.end(), [](const TcpRow& a, const TcpRow& b) {
            if (a.family != b.family) return a.family < b.family;
            if (a.family == AddressFamily::kIpv6) {
                if (!Equal6(a.dwLocalAddr6, b.dwLocalAddr6)) return Less6(a.dwLocalAddr6, b.dwLocalAddr6);
                const auto pa = Key(0, a.dwLocalPort);
                const auto pb = Key(0, b.dwLocalPort);
                if (pa != pb) return pa < pb;
                if (!Equal6(a.dwRemoteAddr6, b.dwRemoteAddr6)) return Less6(a.dwRemoteAddr6, b.dwRemoteAddr6);
                return Key(0, a.dwRemotePort) < Key(0, b.dwRemotePort);
            }
            const auto ka = Key(a.dwLocalAddr, a.dwLocalPort);
            const auto kb = Key(b.dwLocalAddr, b.dwLocalPort);
            if (ka != kb) return ka < kb;
            return Key(a.dwRemoteAddr, a.dwRemotePort) < Key(b.dwRemoteAddr, b.dwRemotePort);
        });
    if (!sorted) std::abort();
    for (const TcpRow& row : table.rows) {
        if (row.dwState < 1 || row.dwState > 12 || row.dwLocalPort > 0xFFFF || row.dwRemotePort > 0xFFFF)
            std::abort();
        // IPv6 rows carry their addresses in the 16-byte fields only.
        if (row.family == AddressFamily::kIpv6 && (row.dwLocalAddr != 0 || row.dwRemoteAddr != 0))
            std::abort();
    }
    return 0;
}
