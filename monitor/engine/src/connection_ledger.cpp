#include "velmor/engine/connection_ledger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "velmor/rules/live_lists.h"

namespace velmor::engine {
namespace {

std::uint64_t CookieOf(const platform::SocketId& id) {
    return (static_cast<std::uint64_t>(id.cookie[1]) << 32) | id.cookie[0];
}

ProgramOwner OwnerOf(const guard::OwnerRecord& record) {
    return {record.pid, record.uid, record.name, record.path};
}

bool HasOwner(const guard::OwnerRecord& record) {
    return (record.flags & guard::OwnerRecord::kHasOwner) != 0;
}

// The table's row of a socket an owner record names completely.
TcpRow RowOfRecord(const guard::OwnerRecord& record) {
    TcpRow row;
    row.dwState = 1;  // CLOSED: a record names a socket that is going or gone
    const auto port = [](std::uint16_t host) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(host >> 8), static_cast<std::uint8_t>(host)};
        std::uint32_t field = 0;
        std::memcpy(&field, bytes, sizeof bytes);
        return field;
    };
    row.dwLocalPort = port(record.local_port);
    row.dwRemotePort = port(record.remote_port);
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const bool mapped = std::memcmp(record.local.data(), kMapped, 12) == 0 &&
                        std::memcmp(record.remote.data(), kMapped, 12) == 0;
    if (record.family == 2 || mapped) {
        const std::size_t at = record.family == 2 ? 0 : 12;
        std::memcpy(&row.dwLocalAddr, record.local.data() + at, 4);
        std::memcpy(&row.dwRemoteAddr, record.remote.data() + at, 4);
    } else {
        row.family = platform::AddressFamily::kIpv6;
        std::memcpy(row.dwLocalAddr6, record.local.data(), 16);
        std::memcpy(row.dwRemoteAddr6, record.remote.data(), 16);
    }
    return row;
}

std::string JoinNames(const std::deque<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text.empty() ? std::string(kUnknownCell) : text;
}

std::string CountText(const ConnectionLedger::Totals& totals, bool received) {
    if (!totals.counted) return std::string(kUnknownCell);
    return std::to_string(received ? totals.received : totals.sent);
}

void SetNote(rules::ListModel& list, int row, int column, const std::string& text) {
    if (list.Cell(row, column) != text) list.SetNote(row, column, text);
}

template <typename Map>
std::vector<std::pair<std::string, ConnectionLedger::Totals>> Top(const Map& map, std::size_t count,
                                                                  const auto& totals_of) {
    std::vector<std::pair<std::string, ConnectionLedger::Totals>> all;
    all.reserve(map.size());
    for (const auto& [key, value] : map) {
        const ConnectionLedger::Totals& totals = totals_of(value);
        if (totals.received + totals.sent > 0) all.emplace_back(key, totals);
    }
    const auto more = [](const auto& a, const auto& b) {
        const std::uint64_t left = a.second.received + a.second.sent;
        const std::uint64_t right = b.second.received + b.second.sent;
        return left != right ? left > right : a.first < b.first;
    };
    if (all.size() > count) {
        std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count), all.end(), more);
        all.resize(count);
    } else {
        std::sort(all.begin(), all.end(), more);
    }
    return all;
}

}  // namespace

std::string BytesText(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits; below ten kilobytes one decimal (1.0 KB reads better than 1.00 KB).
    int decimals = value >= 100.0 ? 0 : (value >= 10.0 ? 1 : 2);
    if (unit == 0 && value < 10.0) decimals = 1;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, kUnits[unit]);
    return text;
}

std::string_view StateName(std::uint32_t mib_state) {
    static constexpr std::string_view kNames[] = {
        "",          "CLOSED",     "LISTEN",  "SYN_SENT", "SYN_RCVD",  "ESTABLISHED", "FIN_WAIT1",
        "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT", "DELETE_TCB"};
    return mib_state < std::size(kNames) && mib_state > 0 ? kNames[mib_state] : std::string_view("?");
}

std::string EndpointText(const TcpRow& row, bool local) {
    const std::uint32_t port = local ? row.dwLocalPort : row.dwRemotePort;
    if (row.family == platform::AddressFamily::kIpv6) {
        return "[" + Ipv6ToString(local ? row.dwLocalAddr6 : row.dwRemoteAddr6) + "]:" + PortToString(port);
    }
    return IpToString(local ? row.dwLocalAddr : row.dwRemoteAddr) + ":" + PortToString(port);
}

ConnectionLedger::ConnectionLedger(const Clock& clock) : clock_(clock) {}

std::int64_t ConnectionLedger::NowSecond() const {
    return std::chrono::duration_cast<std::chrono::seconds>(clock_.Now().time_since_epoch()).count();
}

ConnectionLedger::AddressEntry& ConnectionLedger::Address(const std::string& address) {
    AddressEntry& entry = addresses_[address];
    entry.last_activity = ++order_;
    return entry;
}

void ConnectionLedger::AddTraffic(std::uint64_t received, std::uint64_t sent) {
    if (received == 0 && sent == 0) return;
    const std::int64_t now = NowSecond();
    if (history_.empty() || history_.back().second != now) history_.push_back({now, 0, 0});
    history_.back().received += received;
    history_.back().sent += sent;
    while (!history_.empty() && history_.front().second <= now - static_cast<std::int64_t>(kHistorySeconds))
        history_.pop_front();
}

void ConnectionLedger::CreditProgram(Connection& connection) {
    if (!connection.owner || IsUnlistedAddress(connection.address)) return;
    const std::uint64_t received =
        connection.received - std::min(connection.received, connection.program_received);
    const std::uint64_t sent = connection.sent - std::min(connection.sent, connection.program_sent);
    if (received == 0 && sent == 0) return;
    Totals& program = programs_[connection.owner->name];
    program.received += received;
    program.sent += sent;
    program.counted = true;
    connection.program_received = std::max(connection.program_received, connection.received);
    connection.program_sent = std::max(connection.program_sent, connection.sent);
}

void ConnectionLedger::Credit(Connection& connection, bool history) {
    const std::uint64_t received =
        connection.received - std::min(connection.received, connection.credited_received);
    const std::uint64_t sent = connection.sent - std::min(connection.sent, connection.credited_sent);
    connection.credited_received = std::max(connection.credited_received, connection.received);
    connection.credited_sent = std::max(connection.credited_sent, connection.sent);
    // An idle connection costs no look-up of its address: only bytes, or its first counts, change it.
    const bool news = received != 0 || sent != 0 || (connection.counted && !connection.counted_noted);
    connection.counted_noted = connection.counted;
    if (news && !IsUnlistedAddress(connection.address)) {
        AddressEntry& address = Address(connection.address);
        address.totals.received += received;
        address.totals.sent += sent;
        address.totals.counted = address.totals.counted || connection.counted;
        if (history) AddTraffic(received, sent);
    }
    CreditProgram(connection);
    if (received != 0 || sent != 0) ++generation_;
}

void ConnectionLedger::NoteName(const std::string& address, const std::string& name) {
    if (IsUnlistedAddress(address) || name.empty()) return;
    std::deque<std::string>& names = Address(address).names;
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.begin() && found != names.end()) return;
    if (found != names.end()) names.erase(found);
    names.push_front(name);
    if (names.size() > kMaxNamesPerAddress) names.pop_back();
    ++generation_;
}

void ConnectionLedger::SetOwner(Connection& connection, ProgramOwner owner) {
    // What Velmor accepted on its own bait belongs to the intruder, not to a program of the user's.
    if (own_pid_ != 0 && owner.pid == own_pid_ && LocalPortOf(connection.row) == bait_port_) return;
    if (connection.owner == owner) return;
    connection.owner = std::move(owner);
    NoteName(connection.address, connection.owner->name);
    CreditProgram(connection);
    ++generation_;
}

void ConnectionLedger::RememberClosed(std::uint64_t cookie, Closed closed) {
    if (closed_.insert_or_assign(cookie, std::move(closed)).second) closed_order_.push_back(cookie);
    while (closed_order_.size() > kMaxClosedRemembered) {
        closed_.erase(closed_order_.front());
        closed_order_.pop_front();
    }
}

void ConnectionLedger::Fold(Connection& connection) {
    if (!IsUnlistedAddress(connection.address)) {
        AddressEntry& address = Address(connection.address);
        if (address.live > 0) --address.live;
    }
    Closed closed;
    closed.address = connection.address;
    closed.received = connection.received;
    closed.sent = connection.sent;
    if (connection.owner) closed.program = connection.owner->name;
    RememberClosed(connection.cookie, std::move(closed));
}

void ConnectionLedger::TakeTable(const platform::TcpTable& table) {
    const bool baseline = reads_ == 0;
    ++reads_;
    ++stats_.reads;
    const std::size_t count = std::min(table.rows.size(), table.ids.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t cookie = CookieOf(table.ids[i]);
        if (cookie == 0) continue;
        const platform::SocketDetail* detail = i < table.details.size() ? &table.details[i] : nullptr;
        auto [found, fresh] = connections_.try_emplace(cookie);
        Connection& connection = found->second;
        connection.last_read = reads_;
        connection.row = table.rows[i];
        if (fresh) {
            // A socket the ledger met closed already (a late TIME_WAIT row) stays closed: its bytes
            // are in the totals, and it is left out here.
            if (const auto closed = closed_.find(cookie); closed != closed_.end()) {
                connections_.erase(found);
                continue;
            }
            connection.cookie = cookie;
            connection.order = ++order_;
            connection.address = RemoteAddressText(table.rows[i]);
            if (!IsUnlistedAddress(connection.address)) ++Address(connection.address).live;
            ++generation_;
            if (const auto pending = pending_.find(cookie); pending != pending_.end()) {
                SetOwner(connection, std::move(pending->second));
                pending_.erase(pending);
            }
        }
        if (detail != nullptr) {
            connection.inode = detail->inode;
            if (detail->has_counts) {
                connection.counted = true;
                connection.received = std::max(connection.received, detail->bytes_received);
                connection.sent = std::max(connection.sent, detail->bytes_sent);
            }
        }
        // What connections had moved before the first read is no traffic of this run's picture.
        Credit(connection, !baseline);
    }
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->second.last_read == reads_) {
            ++it;
            continue;
        }
        Fold(it->second);
        it = connections_.erase(it);
        ++generation_;
    }
    AskForOwners();
    Trim();
}

void ConnectionLedger::AskForOwners() {
    if (source_ == nullptr) return;
    // Each socket is asked for once: a table change brings the new ones, never the same again.
    std::vector<guard::SocketRef> sockets;
    for (auto& [cookie, connection] : connections_) {
        if (connection.owner || connection.asked) continue;
        connection.asked = true;
        // A half-open row has no socket file; whoever accepts it is told by the events.
        if (connection.inode == 0 && connection.row.dwState == kStateSynReceived) continue;
        sockets.push_back({cookie, connection.inode});
    }
    if (sockets.empty()) return;
    ++stats_.asks;
    stats_.asked_sockets += sockets.size();
    std::vector<guard::OwnerRecord> owners;
    source_->Find(sockets, owners);
    for (const guard::OwnerRecord& record : owners) {
        if (!HasOwner(record)) continue;
        if (const auto found = connections_.find(record.cookie); found != connections_.end())
            SetOwner(found->second, OwnerOf(record));
    }
}

void ConnectionLedger::TakeClose(const guard::OwnerRecord& record) {
    const bool has_counts = (record.flags & guard::OwnerRecord::kHasCounts) != 0;
    if (const auto live = connections_.find(record.cookie); live != connections_.end()) {
        // Its last counts now; it leaves with the read that misses it.
        Connection& connection = live->second;
        if (HasOwner(record) && !connection.owner) SetOwner(connection, OwnerOf(record));
        if (has_counts) {
            connection.counted = true;
            connection.received = std::max(connection.received, record.bytes_received);
            connection.sent = std::max(connection.sent, record.bytes_sent);
            Credit(connection, true);
        }
        return;
    }
    if (const auto gone = closed_.find(record.cookie); gone != closed_.end()) {
        // Folded after its last read: what it moved since is added.
        Closed& closed = gone->second;
        Connection late;
        late.address = closed.address;
        late.counted = has_counts;
        late.received = std::max(closed.received, record.bytes_received);
        late.sent = std::max(closed.sent, record.bytes_sent);
        late.credited_received = late.program_received = closed.received;
        late.credited_sent = late.program_sent = closed.sent;
        if (closed.program) late.owner = ProgramOwner{0, 0, *closed.program, {}};
        Credit(late, true);
        closed.received = late.received;
        closed.sent = late.sent;
        return;
    }
    if ((record.flags & guard::OwnerRecord::kHasAddresses) == 0) return;
    // Never read: it opened and closed between two reads. Its counts and owner go to its address.
    Connection brief;
    brief.cookie = record.cookie;
    brief.row = RowOfRecord(record);
    brief.address = RemoteAddressText(brief.row);
    brief.counted = has_counts;
    brief.received = record.bytes_received;
    brief.sent = record.bytes_sent;
    if (HasOwner(record)) {
        brief.owner = OwnerOf(record);
    } else if (const auto pending = pending_.find(record.cookie); pending != pending_.end()) {
        brief.owner = std::move(pending->second);
        pending_.erase(pending);
    }
    if (brief.owner && own_pid_ != 0 && brief.owner->pid == own_pid_ && LocalPortOf(brief.row) == bait_port_)
        brief.owner.reset();
    if (brief.owner) NoteName(brief.address, brief.owner->name);
    Credit(brief, true);
    Closed closed;
    closed.address = brief.address;
    closed.received = brief.received;
    closed.sent = brief.sent;
    if (brief.owner) closed.program = brief.owner->name;
    RememberClosed(record.cookie, std::move(closed));
}

void ConnectionLedger::TakeRecords(std::span<const guard::OwnerRecord> records) {
    for (const guard::OwnerRecord& record : records) {
        ++stats_.records;
        if ((record.flags & guard::OwnerRecord::kClosed) != 0) {
            TakeClose(record);
            continue;
        }
        if (!HasOwner(record)) continue;
        if (const auto live = connections_.find(record.cookie); live != connections_.end()) {
            SetOwner(live->second, OwnerOf(record));
            continue;
        }
        // Told before the read that meets the socket (a connect is told at once).
        if (pending_.insert_or_assign(record.cookie, OwnerOf(record)).second)
            pending_order_.push_back(record.cookie);
        while (pending_order_.size() > kMaxClosedRemembered) {
            pending_.erase(pending_order_.front());
            pending_order_.pop_front();
        }
    }
    Trim();
}

void ConnectionLedger::Trim() {
    if (addresses_.size() > kMaxAddresses) {
        // The least recently active addresses without live connections go, down to nine tenths.
        std::vector<std::pair<std::uint64_t, std::string>> idle;
        for (const auto& [address, entry] : addresses_)
            if (entry.live == 0) idle.emplace_back(entry.last_activity, address);
        std::sort(idle.begin(), idle.end());
        const std::size_t excess = addresses_.size() - kMaxAddresses * 9 / 10;
        for (std::size_t i = 0; i < idle.size() && i < excess; ++i) addresses_.erase(idle[i].second);
    }
    if (programs_.size() > kMaxPrograms) {
        std::vector<std::pair<std::uint64_t, std::string>> smallest;
        for (const auto& [name, totals] : programs_)
            smallest.emplace_back(totals.received + totals.sent, name);
        std::sort(smallest.begin(), smallest.end());
        const std::size_t excess = programs_.size() - kMaxPrograms * 9 / 10;
        for (std::size_t i = 0; i < excess; ++i) programs_.erase(smallest[i].second);
    }
}

std::string ConnectionLedger::ProgramsOf(std::string_view address) const {
    const auto found = addresses_.find(std::string(address));
    return found == addresses_.end() ? std::string(kUnknownCell) : JoinNames(found->second.names);
}

ConnectionLedger::Totals ConnectionLedger::TotalsOf(std::string_view address) const {
    const auto found = addresses_.find(std::string(address));
    return found == addresses_.end() ? Totals{} : found->second.totals;
}

std::vector<const ConnectionLedger::Connection*> ConnectionLedger::ConnectionsOf(
    std::string_view address) const {
    std::vector<const Connection*> found;
    for (const auto& [cookie, connection] : connections_)
        if (connection.address == address) found.push_back(&connection);
    std::sort(found.begin(), found.end(),
              [](const Connection* a, const Connection* b) { return a->order < b->order; });
    return found;
}

std::vector<const ConnectionLedger::Connection*> ConnectionLedger::AllConnections() const {
    std::vector<const Connection*> all;
    all.reserve(connections_.size());
    for (const auto& [cookie, connection] : connections_) all.push_back(&connection);
    std::sort(all.begin(), all.end(),
              [](const Connection* a, const Connection* b) { return a->order < b->order; });
    return all;
}

const ConnectionLedger::Connection* ConnectionLedger::Find(std::uint64_t cookie) const {
    const auto found = connections_.find(cookie);
    return found == connections_.end() ? nullptr : &found->second;
}

void ConnectionLedger::WriteNotes(rules::ListModel& addresses, rules::ListModel& ports) const {
    namespace watch_ip = rules::watch_ip;
    namespace watch_port = rules::watch_port;
    for (int row = 0; row < addresses.RowCount(); ++row) {
        const auto found = addresses_.find(addresses.Cell(row, watch_ip::kAddress));
        if (found == addresses_.end()) {
            // Nothing known of it (yet): the cells say so.
            for (const int column : {watch_ip::kProgram, watch_ip::kReceived, watch_ip::kSent})
                SetNote(addresses, row, column, std::string(kUnknownCell));
            continue;
        }
        SetNote(addresses, row, watch_ip::kProgram, JoinNames(found->second.names));
        SetNote(addresses, row, watch_ip::kReceived, CountText(found->second.totals, true));
        SetNote(addresses, row, watch_ip::kSent, CountText(found->second.totals, false));
    }
    if (ports.RowCount() == 0) return;
    // The program of each remote port: that of its latest connection with an owner; one that knows
    // none keeps what its cell said, or says "-".
    std::unordered_map<std::string, const Connection*> latest;
    for (const auto& [cookie, connection] : connections_) {
        if (!connection.owner) continue;
        const Connection*& kept = latest[PortToString(connection.row.dwRemotePort)];
        if (kept == nullptr || kept->order < connection.order) kept = &connection;
    }
    for (int row = 0; row < ports.RowCount(); ++row) {
        const auto found = latest.find(ports.Cell(row, watch_port::kPort));
        if (found != latest.end()) {
            SetNote(ports, row, watch_port::kProgram, found->second->owner->name);
        } else if (ports.Cell(row, watch_port::kProgram).empty()) {
            SetNote(ports, row, watch_port::kProgram, std::string(kUnknownCell));
        }
    }
}

std::vector<std::pair<std::string, ConnectionLedger::Totals>> ConnectionLedger::TopAddresses(
    std::size_t count) const {
    return Top(addresses_, count, [](const AddressEntry& entry) -> const Totals& { return entry.totals; });
}

std::vector<std::pair<std::string, ConnectionLedger::Totals>> ConnectionLedger::TopPrograms(
    std::size_t count) const {
    return Top(programs_, count, [](const Totals& totals) -> const Totals& { return totals; });
}

}  // namespace velmor::engine
