#include "velmor/shell/traffic_service.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "velmor/engine/socket_news.h"

namespace velmor::shell {
namespace {

std::uint64_t CookieOf(const platform::SocketId& id) {
    return (static_cast<std::uint64_t>(id.cookie[1]) << 32) | id.cookie[0];
}

std::string Field(std::string_view text) {
    return text.empty() ? std::string(engine::kUnknownCell) : std::string(text);
}

}  // namespace

MonitorOwnerSource::MonitorOwnerSource(std::function<guard::GuardLink*()> guard, Scan own_scan, Reader reader)
    : guard_(std::move(guard)), own_scan_(std::move(own_scan)), reader_(std::move(reader)) {}

bool MonitorOwnerSource::Find(std::span<const guard::SocketRef> sockets,
                              std::vector<guard::OwnerRecord>& owners) {
    if (guard::GuardLink* link = guard_ ? guard_() : nullptr; link != nullptr && link->Connected()) {
        const std::size_t before = owners.size();
        if (link->Owners(sockets, owners)) {
            guard_answered_ = true;
            return true;
        }
        owners.resize(before);
    }
    guard_answered_ = false;
    // Without a guard that tells: the processes of this user, which it may read.
    std::vector<std::uint64_t> inodes;
    for (const guard::SocketRef& socket : sockets)
        if (socket.inode != 0) inodes.push_back(socket.inode);
    if (inodes.empty() || !own_scan_) return true;
    const platform::SocketHolderScan scan = own_scan_(inodes);
    std::unordered_map<std::uint32_t, std::optional<platform::ProcessIdentity>> processes;
    for (const guard::SocketRef& socket : sockets) {
        const auto holder = scan.holders.find(socket.inode);
        if (holder == scan.holders.end()) continue;
        auto [process, fresh] = processes.try_emplace(holder->second);
        if (fresh) {
            platform::ProcessIdentity identity;
            if (reader_(holder->second, identity)) process->second = std::move(identity);
        }
        if (!process->second) continue;
        guard::OwnerRecord record;
        record.cookie = socket.cookie;
        record.flags = guard::OwnerRecord::kHasOwner;
        record.pid = process->second->pid;
        record.uid = process->second->uid;
        record.name = process->second->name;
        record.path = process->second->path;
        owners.push_back(std::move(record));
    }
    return true;
}

bool MonitorOwnerSource::SeesEveryUser() const {
    if (guard_answered_) return *guard_answered_;
    guard::GuardLink* link = guard_ ? guard_() : nullptr;
    return link != nullptr && link->Connected();
}

MonitorOwnerSource::Scan OwnUserScan() {
    return [](std::span<const std::uint64_t> inodes) {
        platform::SocketHolderOptions options;
        options.only_uid = platform::EffectiveUserId();
        options.budget = std::chrono::milliseconds(50);
        return platform::FindSocketHolders(inodes, options);
    };
}

TrafficService::TrafficService(MonitorService& service, std::unique_ptr<engine::OwnerSource> source,
                               const Clock* clock, QObject* parent)
    : QObject(parent), service_(service), ledger_(clock != nullptr ? *clock : service.GetClock()) {
    if (!source) {
        source = std::make_unique<MonitorOwnerSource>(
            [&service]() -> guard::GuardLink* {
                return service.Guard() != nullptr ? &service.Guard()->Link() : nullptr;
            },
            OwnUserScan(),
            [](std::uint32_t pid, platform::ProcessIdentity& identity) {
                return platform::ReadProcessIdentity(pid, identity);
            });
    }
    source_ = std::move(source);
    ledger_.SetOwnerSource(source_.get());
    ledger_.SetOwnProcess(static_cast<std::uint32_t>(QCoreApplication::applicationPid()), guard::kBaitPort);
    connect(&service_, &MonitorService::TableRead, this, &TrafficService::Refresh);
}

TrafficService::~TrafficService() = default;

void TrafficService::SetBaitPort(std::uint16_t port) {
    ledger_.SetOwnProcess(static_cast<std::uint32_t>(QCoreApplication::applicationPid()), port);
}

void TrafficService::Refresh() {
    if (engine::GuardTableEvents* events = service_.GuardEvents()) {
        events->TakeOwners(records_);
        ledger_.TakeRecords(records_);
    }
    const platform::TcpTable& snapshot = service_.Cycle().LastSnapshot();
    ledger_.TakeTable(snapshot);
    // The notes are written again only when the ledger or the lists' rows changed: an idle table
    // costs no walk of the lists.
    const std::uint64_t seen =
        ledger_.Generation() + service_.AddressList().Generation() + service_.PortList().Generation();
    if (seen != written_) {
        ledger_.WriteNotes(service_.AddressList(), service_.PortList());
        written_ = seen;
    }
    // The TCP info makes a read of a large table a fifth dearer: it is asked for at most about once
    // a second, which is what the traffic picture needs; the reads between keep the last counts.
    const auto now = ledger_.GetClock().Now();
    if (std::any_of(snapshot.details.begin(), snapshot.details.end(),
                    [](const platform::SocketDetail& detail) { return detail.has_counts; }))
        last_counted_ = now;
    service_.Table().SetByteCounts(now - last_counted_ >= kCountsInterval);
    Q_EMIT Updated();
}

std::vector<std::vector<std::string>> TrafficService::ConnectionRows() {
    std::vector<std::vector<std::string>> lines;
    const auto line = [&lines](std::string_view protocol, const engine::TcpRow& row, std::string_view state,
                               const engine::ProgramOwner* owner, bool counted, std::uint64_t received,
                               std::uint64_t sent) {
        lines.push_back({std::string(protocol), engine::EndpointText(row, true),
                         engine::EndpointText(row, false), std::string(state),
                         owner != nullptr ? std::to_string(owner->pid) : std::string(engine::kUnknownCell),
                         owner != nullptr ? Field(owner->name) : std::string(engine::kUnknownCell),
                         owner != nullptr ? Field(owner->path) : std::string(engine::kUnknownCell),
                         counted ? std::to_string(received) : std::string(engine::kUnknownCell),
                         counted ? std::to_string(sent) : std::string(engine::kUnknownCell)});
    };
    for (const engine::ConnectionLedger::Connection* connection : ledger_.AllConnections()) {
        line("tcp", connection->row, engine::StateName(connection->row.dwState),
             connection->owner ? &*connection->owner : nullptr, connection->counted, connection->received,
             connection->sent);
    }
    // UDP sockets are read for the listing alone; their owners are asked for now.
    platform::TcpTable udp;
    if (!service_.Table().ReadUdpRows(udp)) return lines;
    std::vector<guard::SocketRef> sockets;
    for (std::size_t i = 0; i < udp.rows.size() && i < udp.ids.size() && i < udp.details.size(); ++i)
        sockets.push_back({CookieOf(udp.ids[i]), udp.details[i].inode});
    std::vector<guard::OwnerRecord> owners;
    source_->Find(sockets, owners);
    std::unordered_map<std::uint64_t, engine::ProgramOwner> by_cookie;
    for (const guard::OwnerRecord& record : owners)
        by_cookie.emplace(record.cookie,
                          engine::ProgramOwner{record.pid, record.uid, record.name, record.path});
    for (std::size_t i = 0; i < udp.rows.size() && i < udp.ids.size(); ++i) {
        const auto owner = by_cookie.find(CookieOf(udp.ids[i]));
        // An unconnected UDP socket has no state of a connection: it is bound, and says so.
        line("udp", udp.rows[i], udp.rows[i].dwState == engine::kStateEstablished ? "ESTABLISHED" : "UNCONN",
             owner != by_cookie.end() ? &owner->second : nullptr, false, 0, 0);
    }
    return lines;
}

}  // namespace velmor::shell
