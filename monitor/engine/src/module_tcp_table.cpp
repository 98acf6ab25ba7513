#include "velmor/engine/module_tcp_table.h"

#include <array>
#include <charconv>

#include "velmor/engine/enforcement.h"

namespace velmor::engine {

void TakeTcpSnapshot(platform::ConnectionTable& table, TcpSnapshot& snapshot) {
    snapshot.Clear();
    if (!table.ReadTcp(snapshot)) snapshot.Clear();
}

void TakeUdpSnapshot(platform::ConnectionTable& table, UdpSnapshot& snapshot) {
    snapshot.dwNumEntries = 0;
    if (!table.ReadUdp(snapshot)) snapshot.dwNumEntries = 0;
}

void TeardownBatch::Flush(platform::ConnectionTable& table) {
    if (pending_.empty()) return;
    table.Destroy(pending_);
    pending_.clear();
}

void TeardownBatch::Flush(Enforcement& enforcement) {
    if (pending_.empty()) return;
    enforcement.TearDown(pending_);
    pending_.clear();
}

void TearDownConnection(TcpSnapshot& snapshot, std::size_t index, TeardownBatch& batch) {
    if (index >= snapshot.rows.size()) return;
    snapshot.rows[index].dwState = kDeleteTcb;
    if (index < snapshot.ids.size()) batch.Add(snapshot.ids[index]);
}

std::string PortToString(std::uint32_t port_field) {
    // The first two bytes in memory hold the port, most significant byte first.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&port_field);
    const unsigned port = (static_cast<unsigned>(bytes[0]) << 8) | bytes[1];
    return std::to_string(port);
}

std::string IpToString(std::uint32_t address_field) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address_field);
    std::array<char, 16> text{};
    char* out = text.data();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *out++ = '.';
        out = std::to_chars(out, text.data() + text.size(), bytes[i]).ptr;
    }
    return std::string(text.data(), out);
}

std::uint16_t MakeWinsockVersion(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace velmor::engine
