#include <cstring>

#include "velmor/platform/socket_lookup.h"

namespace velmor::platform {
namespace {

// Linux's TCP state numbers, which SocketRow carries, for the MIB_TCP_STATE numbers 1 to 12.
constexpr std::uint8_t kLinuxStateOf[13] = {
    0,
    7,   // CLOSED
    10,  // LISTENING
    2,   // SYN_SENT
    3,   // SYN_RCVD
    1,   // ESTABLISHED
    4,   // FIN_WAIT1
    5,   // FIN_WAIT2
    8,   // CLOSE_WAIT
    11,  // CLOSING
    9,   // LAST_ACK
    6,   // TIME_WAIT
    7,   // DELETE_TCB: about to be closed
};

bool SameSocket(const SocketId& a, const SocketId& b) {
    return a.family == b.family && a.source_port_be == b.source_port_be &&
           a.destination_port_be == b.destination_port_be &&
           std::memcmp(a.source, b.source, sizeof a.source) == 0 &&
           std::memcmp(a.destination, b.destination, sizeof a.destination) == 0;
}

}  // namespace

// IP Helper has no question for one socket: the table is read whole and searched. Windows keeps
// no cookie, so two sockets of the same addresses and ports one after the other look the same.
struct SocketLookup::Socket {
    std::unique_ptr<ConnectionTable> table = MakeSystemConnectionTable();
    TcpTable rows;
};

SocketLookup::SocketLookup() : socket_(std::make_unique<Socket>()) {}

SocketLookup::~SocketLookup() = default;

SocketLookupStatus SocketLookup::Find(const SocketId& id, SocketRow& row) {
    if (!socket_->table->ReadTcp(socket_->rows)) return SocketLookupStatus::kFailed;
    for (std::size_t i = 0; i < socket_->rows.rows.size(); ++i) {
        if (!SameSocket(socket_->rows.ids[i], id)) continue;
        row.row = socket_->rows.rows[i];
        row.id = socket_->rows.ids[i];
        row.ipv4 = row.row.family == AddressFamily::kIpv4;
        row.linux_state = row.row.dwState < 13 ? kLinuxStateOf[row.row.dwState] : 0;
        return SocketLookupStatus::kFound;
    }
    return SocketLookupStatus::kGone;
}

}  // namespace velmor::platform
