#include "velmor/engine/module_tcp_table.h"

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

bool HandshakeCompleted(const TcpRow& row) {
    return row.dwState >= kStateEstablished && row.dwState <= kStateTimeWait;
}

void TearDownConnection(TcpSnapshot& snapshot, std::size_t index, TeardownBatch& batch) {
    if (index >= snapshot.rows.size()) return;
    snapshot.rows[index].dwState = kDeleteTcb;
    if (index < snapshot.ids.size()) batch.Add(snapshot.ids[index]);
}

namespace {

// The finaliser of SplitMix64: a bijection of 64 bits in which every input bit moves every output bit.
std::uint64_t Mix(std::uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ULL;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebULL;
    value ^= value >> 31;
    return value;
}

std::uint64_t Words(std::uint32_t high, std::uint32_t low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

}  // namespace

// One row's digest: its fields chained through Mix, seeded with the key.
std::uint64_t RowDigest(const TcpRow& row, std::uint64_t key) {
    const std::uint64_t ports = ((row.dwLocalPort & 0xFFFFu) << 16) | (row.dwRemotePort & 0xFFFFu);
    // A half-open row files nothing, so the same row established a moment later must make another
    // set, or its intruder would wait for some unrelated change. Only that state counts: a row torn
    // down (marked kDeleteTcb) keeps its digest, and later states change no verdict.
    const std::uint32_t half_open = row.dwState == kStateSynReceived ? 0x100u : 0u;
    std::uint64_t h = Mix(
        key ^ Words(static_cast<std::uint32_t>(row.family) | half_open, static_cast<std::uint32_t>(ports)));
    if (row.family == platform::AddressFamily::kIpv6) {
        h = Mix(h ^ Words(row.dwLocalAddr6[0], row.dwLocalAddr6[1]));
        h = Mix(h ^ Words(row.dwLocalAddr6[2], row.dwLocalAddr6[3]));
        h = Mix(h ^ Words(row.dwRemoteAddr6[0], row.dwRemoteAddr6[1]));
        h = Mix(h ^ Words(row.dwRemoteAddr6[2], row.dwRemoteAddr6[3]));
    } else {
        h = Mix(h ^ Words(row.dwLocalAddr, row.dwRemoteAddr));
    }
    return h;
}

std::uint64_t RowSetFingerprint(const TcpSnapshot& snapshot, std::uint64_t key) {
    // A sum, not an exclusive or: two equal rows (a socket in TIME_WAIT beside a new one of the same
    // ports) would cancel out in an exclusive or.
    std::uint64_t sum = 0;
    for (const TcpRow& row : snapshot.rows) sum += RowDigest(row, key);
    return sum;
}

std::uint16_t MakeWinsockVersion(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace velmor::engine
