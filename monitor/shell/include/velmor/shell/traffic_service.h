#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "velmor/engine/connection_ledger.h"
#include "velmor/guard/guard_link.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_owners.h"
#include "velmor/shell/monitor_service.h"

namespace velmor::shell {

// Owners from velmor-guard when it can tell (every user's processes), else from this process's own
// look into /proc/<pid>/fd, which reaches only the processes of the user it runs as.
class MonitorOwnerSource final : public engine::OwnerSource {
public:
    using Scan = std::function<platform::SocketHolderScan(std::span<const std::uint64_t> inodes)>;
    using Reader = std::function<bool(std::uint32_t pid, platform::ProcessIdentity& identity)>;

    // `guard` returns the link to ask, or nullptr while there is none (it may come and go).
    MonitorOwnerSource(std::function<guard::GuardLink*()> guard, Scan own_scan, Reader reader);

    bool Find(std::span<const guard::SocketRef> sockets, std::vector<guard::OwnerRecord>& owners) override;
    // Whether the last answer came from the guard (before any: whether a guard is there to ask).
    bool SeesEveryUser() const override;

private:
    std::function<guard::GuardLink*()> guard_;
    Scan own_scan_;
    Reader reader_;
    mutable std::optional<bool> guard_answered_;
};

// The own-user scan of this process: its user's processes, at most 50 ms a look.
MonitorOwnerSource::Scan OwnUserScan();

// Who is talking, as the event loop runs it: after every read of the table the ledger takes the
// table and the owner records that came with the guard's events, asks for the owners of new sockets
// (at most once a socket), and writes the address and port lists' note cells.
class TrafficService final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrafficService)
public:
    // `source` attributes what the events did not (nullptr: the guard, else this user's processes);
    // `clock` times the traffic picture (nullptr: the service's).
    explicit TrafficService(MonitorService& service, std::unique_ptr<engine::OwnerSource> source = nullptr,
                            const Clock* clock = nullptr, QObject* parent = nullptr);
    ~TrafficService() override;

    engine::ConnectionLedger& Ledger() { return ledger_; }
    const engine::ConnectionLedger& Ledger() const { return ledger_; }
    // Every user's programs (through the guard), or only this user's.
    bool SeesEveryUser() const { return source_->SeesEveryUser(); }
    // The bait port whose accepted connections belong to no program of the user (80 unless set).
    void SetBaitPort(std::uint16_t port);

    // One row per socket: TCP connections and listeners from the ledger, UDP sockets read now.
    // Fields: protocol, local, remote, state, pid, program, path, bytes received, bytes sent; "-"
    // where attribution or counts do not reach.
    std::vector<std::vector<std::string>> ConnectionRows();

    // Takes the last read now (the service's TableRead does it on its own).
    void Refresh();

Q_SIGNALS:
    // The ledger took a read; what the windows show may have changed.
    void Updated();

private:
    MonitorService& service_;
    std::unique_ptr<engine::OwnerSource> source_;
    engine::ConnectionLedger ledger_;
    std::vector<guard::OwnerRecord> records_;
    std::uint64_t written_ = ~std::uint64_t{0};  // the generations the notes were last written at
    // Byte counts are asked for with a read at most this often.
    static constexpr std::chrono::milliseconds kCountsInterval{900};
    std::chrono::steady_clock::time_point last_counted_{};
};

}  // namespace velmor::shell
