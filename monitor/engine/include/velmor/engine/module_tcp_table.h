#pragma once

#include <cstdint>
#include <string>
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

inline constexpr std::uint32_t kDeleteTcb = 12;

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
// The network-order address field as dotted decimal text.
std::string IpToString(std::uint32_t address_field);
// The 16-bit version word with `low` in the low byte and `high` in the high byte.
std::uint16_t MakeWinsockVersion(std::uint8_t low, std::uint8_t high);

}  // namespace velmor::engine
