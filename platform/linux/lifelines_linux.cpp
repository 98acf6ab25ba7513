#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "netlink_channel.h"
#include "rtnetlink_parse.h"
#include "velmor/platform/diag.h"
#include "velmor/platform/lifelines.h"

namespace velmor::platform {
namespace {

// A dump datagram is at most about 32 KiB, whatever buffer is offered.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
// An interrupted or overrun dump is taken again, but not forever.
constexpr int kDumpAttempts = 3;
// Resolver files are a few lines; anything past this is no resolver file.
constexpr std::streamsize kResolverFileLimit = 64 * 1024;

// One whole dump of `type` into `found`; false when the kernel refused it or it never came whole.
bool Dump(sockdiag::DatagramChannel& channel, std::uint16_t type, std::uint32_t& sequence,
          std::vector<std::byte>& buffer, rtnl::DumpTarget& found) {
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        if (!channel.Open()) return false;
        rtnl::DumpTarget target;
        ++sequence;
        if (!sockdiag::SendRequest(channel, rtnl::DumpRequest(type, sequence))) return false;
        int retries = 0;
        bool again = false;
        while (!again) {
            std::size_t length = 0;
            switch (sockdiag::ReceiveFromKernel(channel, buffer, true, retries, length)) {
                case sockdiag::Received::kDatagram:
                    break;
                case sockdiag::Received::kOverrun:
                    // Part of the answer is gone: start over on a fresh socket.
                    channel.Close();
                    again = true;
                    continue;
                case sockdiag::Received::kFailed:
                    return false;
            }
            switch (rtnl::ParseDump(std::span(buffer.data(), length), sequence, target)) {
                case rtnl::DumpStatus::kMore:
                    break;
                case rtnl::DumpStatus::kDone:
                    found = std::move(target);
                    return true;
                case rtnl::DumpStatus::kInterrupted:
                    again = true;
                    break;
                case rtnl::DumpStatus::kError:
                    DiagError("lifelines", "rtnetlink refused a dump", target.error);
                    return false;
                case rtnl::DumpStatus::kMalformed:
                    Diag("lifelines", "malformed rtnetlink reply");
                    return false;
            }
        }
    }
    return false;
}

std::vector<std::string> Texts(const std::vector<IpAddress>& addresses) {
    std::vector<std::string> texts;
    texts.reserve(addresses.size());
    for (const IpAddress& address : addresses) texts.push_back(FormatIpAddress(address.Unmapped()));
    return texts;
}

// What tells a file's new content from its old without reading it.
struct FileStamp {
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileStamp& other) const {
        return present == other.present && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

FileStamp StampOf(const std::string& path) {
    struct stat status {};
    // stat, not lstat: /etc/resolv.conf is often a link into /run, and its target is what changes.
    if (::stat(path.c_str(), &status) != 0) return FileStamp{};
    return FileStamp{true, status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

}  // namespace

Lifelines ReadLifelines(const ResolverFiles& files) {
    Lifelines lifelines;
    auto channel = sockdiag::MakeRouteChannel({.receive_buffer = 0, .receive_timeout_seconds = 2});
    std::vector<std::byte> buffer(kReceiveBufferSize);
    std::uint32_t sequence = 0;
    rtnl::DumpTarget addresses, routes;
    if (Dump(*channel, RTM_GETADDR, sequence, buffer, addresses)) {
        lifelines.own = Texts(addresses.own);
    } else {
        Diag("lifelines", "the address dump failed");
        lifelines.complete = false;
    }
    if (Dump(*channel, RTM_GETROUTE, sequence, buffer, routes)) {
        lifelines.gateways = Texts(routes.gateways);
    } else {
        Diag("lifelines", "the route dump failed");
        lifelines.complete = false;
    }
    for (const std::string& path : files.paths) {
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        std::string text(static_cast<std::size_t>(kResolverFileLimit), '\0');
        in.read(text.data(), kResolverFileLimit);
        text.resize(static_cast<std::size_t>(in.gcount()));
        rtnl::ParseResolverFile(text, lifelines.resolvers);
    }
    return lifelines;
}

struct LifelineWatch::State {
    int fd = -1;
    bool first = true;
    ResolverFiles files;
    std::vector<FileStamp> stamps;
    std::chrono::milliseconds interval{};
    std::chrono::steady_clock::time_point next_look{};
};

LifelineWatch::LifelineWatch(ResolverFiles files, std::chrono::milliseconds file_interval)
    : state_(std::make_unique<State>()) {
    state_->files = std::move(files);
    state_->interval = file_interval;
    state_->fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (state_->fd < 0) {
        DiagError("lifelines", "no rtnetlink socket for the change watch", errno);
        return;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    // Links too: a link that goes down takes its routes with it, and the kernel tells of that only
    // through the link.
    local.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(state_->fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        DiagError("lifelines", "cannot subscribe to address and route changes", errno);
        ::close(state_->fd);
        state_->fd = -1;
    }
}

LifelineWatch::~LifelineWatch() {
    if (state_->fd >= 0) ::close(state_->fd);
}

int LifelineWatch::Fd() const {
    return state_->fd;
}

bool LifelineWatch::Changed() {
    State& s = *state_;
    bool changed = s.first;
    s.first = false;
    if (s.fd >= 0) {
        // Only that something arrived matters, not what: every notice is dropped unread.
        std::byte scrap[256];
        for (;;) {
            const ssize_t n = ::recv(s.fd, scrap, sizeof scrap, MSG_DONTWAIT);
            if (n >= 0 || errno == ENOBUFS) {
                changed = true;  // a notice, or so many that the kernel dropped some
                continue;
            }
            if (errno == EINTR) continue;
            break;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < s.next_look) return changed;
    s.next_look = now + s.interval;
    // Without the socket, nothing tells of changes: assume one at every look.
    if (s.fd < 0) changed = true;
    s.stamps.resize(s.files.paths.size());
    for (std::size_t i = 0; i < s.files.paths.size(); ++i) {
        const FileStamp stamp = StampOf(s.files.paths[i]);
        if (!(stamp == s.stamps[i])) changed = true;
        s.stamps[i] = stamp;
    }
    return changed;
}

}  // namespace velmor::platform
