// The guard's Unix stream socket: peer credentials decide before a byte is read.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <vector>

#include "velmor/guard/guard_service.h"
#include "velmor/platform/diag.h"

namespace velmor::guard {
namespace {

constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kReadChunk = 64 * 1024;

struct Client {
    int fd = -1;
    std::vector<std::uint8_t> buffer;
    // The version of its Subscribe request, which its event frames keep.
    std::uint8_t version = kProtocolVersion;
    // Takes only event frames from here on, and is no part of the session.
    bool subscribed = false;
    // Events it could not be sent (its socket was full), told with the next frame.
    std::uint32_t lost = 0;
    // What the last wait reported for its socket; 0 for one accepted since.
    short ready = 0;
};

// The connected clients and their places in the poll list, kept in step by this one owner: each
// wait builds the list from the clients and hands what it reported back to each of them, so a
// client that goes, or one that comes, never shifts another's answer.
class ClientSet final {
public:
    ClientSet() = default;
    ~ClientSet() {
        for (const Client& c : clients_) ::close(c.fd);
    }
    ClientSet(const ClientSet&) = delete;
    ClientSet& operator=(const ClientSet&) = delete;

    std::size_t size() const { return clients_.size(); }
    std::vector<Client>::iterator begin() { return clients_.begin(); }
    std::vector<Client>::iterator end() { return clients_.end(); }

    std::size_t SessionCount() const {
        std::size_t count = 0;
        for (const Client& c : clients_) count += c.subscribed ? 0 : 1;
        return count;
    }

    void Add(int fd) { clients_.push_back({fd, {}}); }

    // Waits until one of `fixed` or of the clients is ready; their revents and each client's `ready`
    // then say which. A subscriber owed a count of lost events is waited on until it can take it.
    // False when poll failed (EINTR included: nothing is ready then).
    bool Wait(std::span<pollfd> fixed) {
        std::vector<pollfd> fds(fixed.begin(), fixed.end());
        for (const Client& c : clients_)
            fds.push_back(
                {c.fd, static_cast<short>(c.subscribed && c.lost > 0 ? POLLIN | POLLOUT : POLLIN), 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) return false;
        std::copy_n(fds.begin(), fixed.size(), fixed.begin());
        auto reported = fds.begin() + static_cast<std::ptrdiff_t>(fixed.size());
        for (Client& c : clients_) c.ready = (reported++)->revents;
        return true;
    }

    // Closes and forgets every client for which `keep` says false; the others keep their order.
    template <typename Keep>
    void KeepOnly(Keep keep) {
        std::size_t kept = 0;
        for (Client& c : clients_) {
            if (!keep(c)) {
                ::close(c.fd);
                continue;
            }
            if (&clients_[kept] != &c) clients_[kept] = std::move(c);
            ++kept;
        }
        clients_.resize(kept);
    }

private:
    std::vector<Client> clients_;
};

bool ReadPeer(int fd, PeerCredentials& peer) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    std::vector<gid_t> groups(64);
    socklen_t groups_length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groups_length) != 0) {
        if (errno != ERANGE) return false;
        groups.resize(groups_length / sizeof(gid_t) + 1);
        groups_length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groups_length) != 0) return false;
    }
    groups.resize(groups_length / sizeof(gid_t));
    peer.groups.assign(groups.begin(), groups.end());
    return true;
}

// The network namespace a socket belongs to. A Unix socket that accept() returns belongs to the
// namespace of the client that connected.
bool NamespaceCookie(int fd, std::uint64_t& cookie) {
    socklen_t length = sizeof cookie;
    return ::getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) == 0 && length == sizeof cookie;
}

bool SendAll(int fd, const std::vector<std::uint8_t>& bytes, int descriptor) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        iovec part{const_cast<std::uint8_t*>(bytes.data() + sent), bytes.size() - sent};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (descriptor >= 0 && sent == 0) {
            // The descriptor rides on the reply's first byte.
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
        }
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

int MakeListener(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "velmor-guard: socket path too long: %s\n", path.c_str());
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, error)) {
        std::filesystem::create_directories(folder, error);
        ::chmod(folder.c_str(), 0755);
    }
    // A socket file left by a guard that died is in the way; anything else at that path is not ours.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            std::fprintf(stderr, "velmor-guard: %s exists and is no socket\n", path.c_str());
            return -1;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        std::fprintf(stderr, "velmor-guard: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
        ::close(fd);
        return -1;
    }
    // Everyone may connect; the peer credentials decide who is served.
    ::chmod(path.c_str(), 0666);
    return fd;
}

// The state of the records that tell of a SYN coming in (TCP_NEW_SYN_RECV).
constexpr std::uint8_t kNewSynRecv = 12;

// Sends one event frame without letting a subscriber that does not read hold up the guard: a frame
// that finds its socket full is counted as lost for it. False when the client must go. A subscriber
// of version 3 or later gets as many of `owners` in the same frame as it has room for (their number
// in `owners_taken`).
bool SendEvents(Client& client, const std::vector<EventRecord>& events, std::size_t from, std::size_t count,
                std::uint32_t lost, std::span<const OwnerRecord> owners = {},
                std::size_t* owners_taken = nullptr) {
    EventBatch batch;
    batch.version = client.version;
    batch.events.assign(events.begin() + static_cast<std::ptrdiff_t>(from),
                        events.begin() + static_cast<std::ptrdiff_t>(from + count));
    if (client.version >= 3 && !owners.empty()) {
        const std::size_t room = (kMaxPayload - 12 - count * kEventRecordSize) / kMaxOwnerRecordSize;
        const std::size_t take = std::min({owners.size(), kMaxOwnerRecords, room});
        batch.owners.assign(owners.begin(), owners.begin() + static_cast<std::ptrdiff_t>(take));
    }
    if (owners_taken != nullptr) *owners_taken = batch.owners.size();
    batch.lost = lost + client.lost;
    // The news of SYNs came with version 3: an older subscriber would take each for a change of the
    // table and read it.
    if (client.version < 3) {
        std::erase_if(batch.events, [](const EventRecord& event) { return event.new_state == kNewSynRecv; });
        if (batch.events.empty() && batch.lost == 0) return true;
    }
    const std::vector<std::uint8_t> frame = EncodeEvents(batch);
    const ssize_t n = ::send(client.fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        client.lost = batch.lost + static_cast<std::uint32_t>(batch.events.size());
        return true;
    }
    if (n <= 0) return false;
    client.lost = 0;
    if (static_cast<std::size_t>(n) == frame.size()) return true;
    // Part of a frame is out: the rest must follow (within the send time-out) or the stream is lost.
    return SendAll(client.fd, std::vector<std::uint8_t>(frame.begin() + n, frame.end()), -1);
}

// Sends owner records to a subscriber of version 3 or later, in frames of their own; a frame that
// finds the socket full is dropped for it. Owner records are no news of the table: their loss is
// not told as events lost, it leaves the sockets to the Owners request.
bool SendOwners(Client& client, std::span<const OwnerRecord> owners) {
    std::size_t at = 0;
    do {
        EventBatch batch;
        batch.version = client.version;
        const std::size_t count = std::min(owners.size() - at, kMaxOwnerRecords);
        batch.owners.reserve(count);
        for (std::size_t i = at; i < at + count; ++i) batch.owners.push_back(owners[i]);
        batch.lost = client.lost;
        at += count;
        const std::vector<std::uint8_t> frame = EncodeEvents(batch);
        const ssize_t n = ::send(client.fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        client.lost = 0;
        if (static_cast<std::size_t>(n) != frame.size() &&
            !SendAll(client.fd, std::vector<std::uint8_t>(frame.begin() + n, frame.end()), -1))
            return false;
    } while (at < owners.size());
    return true;
}

// Reads what is there and answers every complete request; false when the client must go.
bool Serve(Client& client, GuardService& service, EventFeed* feed) {
    std::uint8_t chunk[kReadChunk];
    const ssize_t n = ::recv(client.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    // A subscriber has nothing more to say.
    if (client.subscribed) return false;
    client.buffer.insert(client.buffer.end(), chunk, chunk + n);
    while (!client.buffer.empty()) {
        Request request;
        std::size_t consumed = 0;
        const ParseStatus status = ParseRequest(client.buffer, request, consumed);
        if (status == ParseStatus::Incomplete) return true;
        if (status == ParseStatus::UnsupportedVersion) {
            // In the oldest version, which every client reads.
            Reply reply;
            reply.result = Result::UnsupportedVersion;
            reply.version = kOldestProtocolVersion;
            SendAll(client.fd, EncodeReply(reply), -1);
            return false;
        }
        if (status == ParseStatus::Invalid) return false;
        client.buffer.erase(client.buffer.begin(),
                            client.buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        if (request.op == Op::Subscribe && feed != nullptr) {
            Reply reply;
            reply.op = Op::Subscribe;
            reply.version = request.version;
            if (!client.buffer.empty() || !SendAll(client.fd, EncodeReply(reply), -1)) return false;
            // Room for the events of a flood while the client sleeps (a hidden window pauses 100 ms):
            // 10,000 intruders come to about a megabyte of events. Past the room they are lost, and
            // the client must read the whole table instead. Beyond net.core.wmem_max needs
            // CAP_NET_ADMIN, which the guard has; without it the system's default stays.
            constexpr int kEventRoom = 4 * 1024 * 1024;
            if (::setsockopt(client.fd, SOL_SOCKET, SO_SNDBUFFORCE, &kEventRoom, sizeof kEventRoom) != 0)
                velmor::platform::DiagError("guard", "SO_SNDBUFFORCE refused", errno);
            client.subscribed = true;
            client.version = request.version;
            return true;
        }
        int descriptor = -1;
        const Reply reply = service.Handle(request, descriptor);
        const bool sent = SendAll(client.fd, EncodeReply(reply), descriptor);
        if (descriptor >= 0) ::close(descriptor);
        if (!sent) return false;
    }
    return true;
}

// Tells the service the namespace's lifelines when they may have changed, and its interfaces (the
// watch tells of links coming and going too).
void RefreshLifelines(platform::LifelineWatch& watch, GuardService& service) {
    if (!watch.Changed()) return;
    // The guard keeps only the addresses and gateways; the resolvers are not its concern.
    service.SetLifelines(platform::ReadLifelines(platform::ResolverFiles{{}}));
    service.InterfacesChanged();
}

// The remote addresses of the events whose handshake the kernel's first strike answered.
std::vector<Address> StruckAddresses(const std::vector<EventRecord>& events) {
    std::vector<Address> struck;
    for (const EventRecord& event : events) {
        if ((event.flags & kEventStruck) == 0) continue;
        Address address;
        address.family = event.family == 2 ? Address::Family::V4 : Address::Family::V6;
        std::copy_n(event.remote.begin(), event.family == 2 ? 4 : 16, address.bytes.begin());
        struck.push_back(address);
    }
    return struck;
}

}  // namespace

int ServeGuard(const GuardOptions& options, std::uint32_t trusted_gid, GuardService& service,
               EventFeed* feed) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    const int listener = MakeListener(options.socket_path);
    if (listener < 0 || signal_fd < 0) {
        if (signal_fd >= 0) ::close(signal_fd);
        return 1;
    }
    // The guard acts on the connections and the packets of its own namespace only: a client from
    // another one (a Velmor in a test namespace, say) would have it act on the wrong machine.
    std::uint64_t own_namespace = 0;
    if (!NamespaceCookie(listener, own_namespace)) {
        std::fprintf(stderr, "velmor-guard: cannot tell network namespaces apart (SO_NETNS_COOKIE)\n");
        ::close(listener);
        ::close(signal_fd);
        return 1;
    }
    std::fprintf(stderr, "velmor-guard: listening on %s\n", options.socket_path.c_str());

    // The namespace's addresses and routes as they change, before any client is served.
    platform::LifelineWatch lifelines(platform::ResolverFiles{{}});
    RefreshLifelines(lifelines, service);

    ClientSet clients;
    std::vector<EventRecord> events;
    bool running = true;
    std::vector<OwnerRecord> owners;
    // Without a feed its entry is -1, which poll passes over.
    const int feed_fd = feed != nullptr ? feed->Fd() : -1;
    const int owner_fd = feed != nullptr ? feed->OwnerFd() : -1;
    while (running) {
        std::array<pollfd, 5> fixed = {{{signal_fd, POLLIN, 0},
                                        {listener, POLLIN, 0},
                                        {feed_fd, POLLIN, 0},
                                        {lifelines.Fd(), POLLIN, 0},
                                        {owner_fd, POLLIN, 0}}};
        if (!clients.Wait(fixed)) {
            if (errno == EINTR) continue;
            break;
        }
        if (fixed[0].revents != 0) running = false;
        // Before any request of this round: a client that just gave the machine a new address or
        // route finds it protected already. Without its socket the watch goes by time alone.
        if (fixed[3].revents != 0 || lifelines.Fd() < 0) RefreshLifelines(lifelines, service);
        if ((fixed[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                PeerCredentials peer;
                std::uint64_t peer_namespace = 0;
                if (clients.size() >= kMaxClients || !ReadPeer(fd, peer) || !IsTrusted(peer, trusted_gid) ||
                    !NamespaceCookie(fd, peer_namespace) || peer_namespace != own_namespace) {
                    // Refused unread.
                    ::close(fd);
                } else {
                    // A client that stops reading cannot stall the guard for long.
                    timeval timeout{1, 0};
                    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
                        velmor::platform::DiagError("guard", "SO_SNDTIMEO refused", errno);
                    // It waits for the next round: this one's wait did not ask about it.
                    clients.Add(fd);
                }
            }
        }
        // The owners drained with the events of this round ride in the same frames: one wake and one
        // frame a connection, not two.
        bool owners_drained = false;
        if (feed_fd >= 0 && (fixed[2].revents & POLLIN) != 0) {
            events.clear();
            std::uint32_t lost = 0;
            feed->Drain(events, lost);
            // Into the sets before any client hears of it, so what it asks next meets them.
            if (const std::vector<Address> struck = StruckAddresses(events); !struck.empty())
                service.Struck(struck);
            owners.clear();
            if (owner_fd >= 0) {
                std::uint32_t owners_lost = 0;
                feed->DrainOwners(owners, owners_lost);
                if (owners_lost > 0)
                    velmor::platform::Diag("guard", "owner records lost: " + std::to_string(owners_lost));
                owners_drained = true;
            }
            if (!events.empty() || lost > 0 || !owners.empty()) {
                clients.KeepOnly([&](Client& client) {
                    if (!client.subscribed) return true;
                    const std::span<const OwnerRecord> told = client.version >= 3
                                                                  ? std::span<const OwnerRecord>(owners)
                                                                  : std::span<const OwnerRecord>();
                    if (events.empty() && lost == 0) return told.empty() || SendOwners(client, told);
                    bool keep = true;
                    std::size_t at = 0;
                    std::size_t owners_sent = 0;
                    do {
                        const std::size_t count =
                            std::min(events.size() - at, MaxEventRecords(client.version));
                        const bool last = at + count >= events.size();
                        std::size_t taken = 0;
                        keep = SendEvents(client, events, at, count, at == 0 ? lost : 0,
                                          last ? told : std::span<const OwnerRecord>(), &taken);
                        owners_sent += taken;
                        at += count;
                    } while (keep && at < events.size());
                    if (keep && owners_sent < told.size())
                        keep = SendOwners(client, told.subspan(owners_sent));
                    return keep;
                });
            }
        }
        if (!owners_drained && owner_fd >= 0 && (fixed[4].revents & POLLIN) != 0) {
            owners.clear();
            std::uint32_t lost = 0;
            feed->DrainOwners(owners, lost);
            if (lost > 0) velmor::platform::Diag("guard", "owner records lost: " + std::to_string(lost));
            if (!owners.empty()) {
                // Subscribers of versions 1 and 2 know no owner records and get none.
                clients.KeepOnly([&](Client& client) {
                    return !client.subscribed || client.version < 3 || SendOwners(client, owners);
                });
            }
        }
        const std::size_t before = clients.SessionCount();
        // A count of lost events goes out as soon as the subscriber has room for it, even when no
        // further event comes to carry it: the client reads the table for what it missed.
        clients.KeepOnly([&](Client& client) {
            if (!client.subscribed || client.lost == 0 || (client.ready & POLLOUT) == 0) return true;
            return SendEvents(client, {}, 0, 0, 0);
        });
        clients.KeepOnly(
            [&](Client& client) { return (client.ready & ~POLLOUT) == 0 || Serve(client, service, feed); });
        if (before > 0 && clients.SessionCount() == 0) service.ClientsGone();
    }
    ::close(listener);
    ::unlink(options.socket_path.c_str());
    ::close(signal_fd);
    return 0;
}

}  // namespace velmor::guard
