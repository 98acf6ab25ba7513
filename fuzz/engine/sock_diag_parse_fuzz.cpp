// Feeds arbitrary bytes to the sock_diag parser as one dump reply and checks what it hands on.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "velmor/platform/sock_diag_parse.h"

namespace {

velmor::platform::TcpTable table;
velmor::platform::sockdiag::TcpRowSorter sorter;

std::uint64_t Key(std::uint32_t address_be, std::uint32_t port_field) {
    const auto* a = reinterpret_cast<const unsigned char*>(&address_be);
    const auto* p = reinterpret_cast<const unsigned char*>(&port_field);
    return (std::uint64_t{a[0]} << 40) | (std::uint64_t{a[1]} << 32) | (std::uint64_t{a[2]} << 24) |
           (std::uint64_t{a[3]} << 16) | (std::uint64_t{p[0]} << 8) | p[1];
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
            const auto ka = Key(a.dwLocalAddr, a.dwLocalPort);
            const auto kb = Key(b.dwLocalAddr, b.dwLocalPort);
            if (ka != kb) return ka < kb;
            return Key(a.dwRemoteAddr, a.dwRemotePort) < Key(b.dwRemoteAddr, b.dwRemotePort);
        });
    if (!sorted) std::abort();
    for (const TcpRow& row : table.rows) {
        if (row.dwState < 1 || row.dwState > 12 || row.dwLocalPort > 0xFFFF || row.dwRemotePort > 0xFFFF)
            std::abort();
    }
    return 0;
}
