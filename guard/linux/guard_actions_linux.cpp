#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "velmor/guard/guard_service.h"
#include "velmor/platform/capabilities.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/listen_backlog.h"

namespace velmor::guard {
namespace {

class SystemGuardActions final : public GuardActions {
public:
    SystemGuardActions() : table_(platform::MakeSystemConnectionTable()) {}

    bool CanTearDown() const override { return platform::CanTearDownConnections(); }
    bool CanOpenBait() const override {
        return platform::HasCapability(platform::Capability::NetBindService);
    }

    void TearDown(std::span<const ConnectionId> connections) override {
        ids_.clear();
        for (const ConnectionId& c : connections) {
            platform::SocketId id;
            id.family = c.family;
            id.source_port_be = c.source_port_be;
            id.destination_port_be = c.destination_port_be;
            std::memcpy(id.source, c.source.data(), sizeof id.source);
            std::memcpy(id.destination, c.destination.data(), sizeof id.destination);
            id.interface_index = c.interface_index;
            std::memcpy(id.cookie, c.cookie.data(), sizeof id.cookie);
            ids_.push_back(id);
        }
        table_->Destroy(ids_);
    }

    int OpenBait() override {
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        // One dual-stack socket: IPv4 intruders arrive IPv4-mapped and meet the same bait. Its accept
        // queue is as long as the system allows, so a flood of intruders waits there instead of
        // being turned away unfiled.
        const int off = 0, on = 1;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(kBaitPort);
        address.sin6_addr = in6addr_any;
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, platform::MaxListenBacklog()) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

private:
    std::unique_ptr<platform::ConnectionTable> table_;
    std::vector<platform::SocketId> ids_;
};

}  // namespace

std::unique_ptr<GuardActions> MakeSystemGuardActions() {
    return std::make_unique<SystemGuardActions>();
}

bool ResolveGroup(const std::string& group, std::uint32_t& gid) {
    std::uint32_t number = 0;
    const char* end = group.data() + group.size();
    if (!group.empty() && std::from_chars(group.data(), end, number).ptr == end) {
        gid = number;
        return true;
    }
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    int error = 0;
    while ((error = ::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr) return false;
    gid = found->gr_gid;
    return true;
}

}  // namespace velmor::guard
