#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velmor/common/clock.h"
#include "velmor/engine/module_tcp_table.h"
#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"
#include "velmor/rules/list_model.h"

namespace velmor::engine {

// The process behind a connection: the one that connected, listened or accepted it.
struct ProgramOwner {
    std::uint32_t pid = 0;
    std::uint32_t uid = 0;
    std::string name;  // the thread group's name
    std::string path;  // its executable; empty when it could not be read
    bool operator==(const ProgramOwner&) const = default;
};

// Who can tell the owners of sockets: velmor-guard (every user's processes, from its kernel
// program or /proc), or this process's own look into /proc (its own user's processes only).
class OwnerSource {
public:
    virtual ~OwnerSource() = default;
    // Appends the owners of those of `sockets` it finds; false when it could not ask at all.
    virtual bool Find(std::span<const guard::SocketRef> sockets, std::vector<guard::OwnerRecord>& owners) = 0;
    // True when it sees every user's processes; false when only the user this process runs as.
    virtual bool SeesEveryUser() const = 0;
};

// The text the cells show where attribution or counts do not reach.
inline constexpr std::string_view kUnknownCell = "-";

// Bytes for people: "0 B", "999 B", "1.0 KB", "12.3 MB", "1.02 GB" (powers of 1,024, three
// significant digits from 1 KB on).
std::string BytesText(std::uint64_t bytes);
// Linux's name of a connection table state number (MIB_TCP_STATE 1..12): "ESTABLISHED", ...
std::string_view StateName(std::uint32_t mib_state);
// "10.0.0.1:80", "[fd00::1]:443": an endpoint of a row, local or remote.
std::string EndpointText(const TcpRow& row, bool local);

// Who is talking and how much: every TCP connection of the table with its owner and byte counts,
// kept per remote address (and per program) after the connections close, and the machine's
// traffic per second over the last ten minutes. Fed after every read of the table, and with the
// owner records that come with the guard's events; asks its owner source (at most once per socket)
// for the owners of sockets nothing else attributed.
class ConnectionLedger final {
public:
    // How long the traffic picture reaches back, in seconds.
    static constexpr std::size_t kHistorySeconds = 600;
    // Bounds that keep a long run's memory flat: addresses and programs with totals, program names
    // remembered per address, closed sockets remembered for a late last count.
    static constexpr std::size_t kMaxAddresses = 4096;
    static constexpr std::size_t kMaxPrograms = 1024;
    static constexpr std::size_t kMaxNamesPerAddress = 8;
    static constexpr std::size_t kMaxClosedRemembered = 8192;

    struct Connection {
        std::uint64_t cookie = 0;
        TcpRow row;            // as last read
        std::string address;   // the remote address text, as the lists show it
        bool counted = false;  // byte counts were reported (not for TIME_WAIT or half-open rows)
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
        std::optional<ProgramOwner> owner;
        // Bookkeeping: what was added to the totals so far, and when it was met.
        std::uint64_t credited_received = 0, credited_sent = 0;
        std::uint64_t program_received = 0, program_sent = 0;
        std::uint64_t inode = 0;
        std::uint64_t order = 0;
        std::uint64_t last_read = 0;
        bool asked = false;
        bool counted_noted = false;  // its address knows it was counted
    };

    struct Totals {
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
        bool counted = false;  // some connection of it reported counts
    };

    struct Second {
        std::int64_t second = 0;  // whole seconds of the clock
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
    };

    struct Stats {
        std::uint64_t reads = 0;
        std::uint64_t asks = 0;           // requests to the owner source
        std::uint64_t asked_sockets = 0;  // sockets in them
        std::uint64_t records = 0;        // owner records taken
    };

    explicit ConnectionLedger(const Clock& clock);

    // Who attributes the sockets nothing else did (not owned; nullptr: none).
    void SetOwnerSource(OwnerSource* source) { source_ = source; }
    OwnerSource* Source() const { return source_; }
    const Clock& GetClock() const { return clock_; }
    // This process and its bait port: a connection it accepted there belongs to no program the user
    // runs, and shows none.
    void SetOwnProcess(std::uint32_t pid, std::uint16_t bait_port) {
        own_pid_ = pid;
        bait_port_ = bait_port;
    }

    // After every read of the table: counts, new and gone connections, owners for the new ones.
    void TakeTable(const platform::TcpTable& table);
    // Owner records and last counts from the guard's events, in their order.
    void TakeRecords(std::span<const guard::OwnerRecord> records);

    // --- What the windows and the headless monitor show.
    // The address list's and the port list's note cells: program names, received and sent bytes
    // (raw numbers, or "-"), the program of each port. Only cells that change are written.
    void WriteNotes(rules::ListModel& addresses, rules::ListModel& ports) const;
    // "firefox, curl": the distinct programs of the address's connections, most recent first; "-"
    // when none is known.
    std::string ProgramsOf(std::string_view address) const;
    Totals TotalsOf(std::string_view address) const;
    // The live connections to `address`, oldest first.
    std::vector<const Connection*> ConnectionsOf(std::string_view address) const;
    // Every live connection, in the table's order.
    std::vector<const Connection*> AllConnections() const;
    // The owner of a socket known by cookie (a live connection, or one the source answered for).
    const Connection* Find(std::uint64_t cookie) const;

    // The machine's traffic (all but loopback and unspecified addresses) per second, oldest first,
    // at most kHistorySeconds; seconds without traffic are not kept.
    const std::deque<Second>& History() const { return history_; }
    std::int64_t NowSecond() const;
    // The `count` addresses and programs that moved the most bytes (received plus sent), most first.
    std::vector<std::pair<std::string, Totals>> TopAddresses(std::size_t count) const;
    std::vector<std::pair<std::string, Totals>> TopPrograms(std::size_t count) const;
    // Grows whenever anything shown may have changed.
    std::uint64_t Generation() const { return generation_; }
    const Stats& GetStats() const { return stats_; }

private:
    struct AddressEntry {
        Totals totals;
        std::deque<std::string> names;  // most recent first
        std::uint64_t last_activity = 0;
        std::uint32_t live = 0;  // live connections
    };
    struct Closed {
        std::string address;
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
        std::optional<std::string> program;
    };

    void Credit(Connection& connection, bool history);
    void CreditProgram(Connection& connection);
    void AddTraffic(std::uint64_t received, std::uint64_t sent);
    void SetOwner(Connection& connection, ProgramOwner owner);
    void NoteName(const std::string& address, const std::string& name);
    void Fold(Connection& connection);
    void RememberClosed(std::uint64_t cookie, Closed closed);
    void TakeClose(const guard::OwnerRecord& record);
    void AskForOwners();
    AddressEntry& Address(const std::string& address);
    void Trim();

    const Clock& clock_;
    OwnerSource* source_ = nullptr;
    std::uint32_t own_pid_ = 0;
    std::uint16_t bait_port_ = 0;
    std::unordered_map<std::uint64_t, Connection> connections_;
    std::unordered_map<std::string, AddressEntry> addresses_;
    std::unordered_map<std::string, Totals> programs_;
    std::unordered_map<std::uint64_t, Closed> closed_;
    std::deque<std::uint64_t> closed_order_;
    // Owners told before their sockets were read (a connect's record comes before the next read).
    std::unordered_map<std::uint64_t, ProgramOwner> pending_;
    std::deque<std::uint64_t> pending_order_;
    std::deque<Second> history_;
    std::uint64_t reads_ = 0;
    std::uint64_t order_ = 0;
    std::uint64_t generation_ = 0;
    Stats stats_;
};

}  // namespace velmor::engine
