// velmor-guard: the one part of Velmor that holds rights. It tears connections down, keeps the
// nftables table "inet velmor" and opens the bait listener for the members of one group (and
// root), who ask over its Unix socket.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "owner_finder.h"
#include "velmor/guard/guard_service.h"
#include "velmor/platform/socket_owners.h"
#ifdef VELMOR_GUARD_EVENTS
#include "event_feed.h"
#endif

int main(int argc, char** argv) {
    using namespace velmor::guard;
    GuardOptions options;
    std::string error;
    if (!ParseGuardOptions(argc, argv, options, error)) {
        std::fprintf(stderr,
                     "velmor-guard: %s\nusage: velmor-guard [--socket PATH] [--group NAME|GID] "
                     "[--first-strike on|off] [--owners on|off]\n",
                     error.c_str());
        return 2;
    }
    std::uint32_t gid = 0;
    if (!ResolveGroup(options.group, gid)) {
        std::fprintf(stderr, "velmor-guard: no group %s\n", options.group.c_str());
        return 2;
    }
    auto filter = MakeSystemPacketFilter();
    auto actions = MakeSystemGuardActions();
    GuardService service(*filter, *actions);
    if (!service.Start()) {
        std::fprintf(stderr,
                     "velmor-guard: the nftables table could not be made; packet-level blocking is off\n");
    }
    // Who owns each socket: the executables are read once per process, the sockets the kernel
    // program did not see are looked for in /proc/<pid>/fd, at most 50 ms per request.
    ProgramPaths paths([](std::uint32_t pid, velmor::platform::ProcessIdentity& identity) {
        return velmor::platform::ReadProcessIdentity(pid, identity);
    });
    const KernelOwners* kernel_owners = nullptr;
    std::unique_ptr<EventFeed> feed;
#ifdef VELMOR_GUARD_EVENTS
    // Without the rights or the kernel support for it, clients keep polling the table.
    auto kernel_feed = MakeKernelEventFeed(options.owners ? &paths : nullptr);
    if (kernel_feed) kernel_owners = kernel_feed->Owners();
    feed = std::move(kernel_feed);
#endif
    if (feed != nullptr && options.first_strike == "on") service.SetFirstStrike(feed->Strike());
    SystemOwnerFinder finder(paths, kernel_owners, [](std::span<const std::uint64_t> inodes) {
        velmor::platform::SocketHolderOptions scan;
        scan.budget = std::chrono::milliseconds(50);
        return velmor::platform::FindSocketHolders(inodes, scan);
    });
    if (options.owners) service.SetOwnerFinder(&finder);
    const int status = ServeGuard(options, gid, service, feed.get());
    service.Stop();
    // The first strike detaches from every interface as the feed goes.
    service.SetFirstStrike(nullptr);
    feed.reset();
    return status;
}
