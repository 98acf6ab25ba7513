// velmor-guard: the one part of Velmor that holds rights. It tears connections down, keeps the
// nftables table "inet velmor" and opens the bait listener for the members of one group (and
// root), who ask over its Unix socket.
#include <cstdio>
#include <memory>
#include <string>

#include "velmor/guard/guard_service.h"
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
                     "[--first-strike on|off]\n",
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
    std::unique_ptr<EventFeed> feed;
#ifdef VELMOR_GUARD_EVENTS
    // Without the rights or the kernel support for it, clients keep polling the table.
    feed = MakeKernelEventFeed();
#endif
    if (feed != nullptr && options.first_strike == "on") service.SetFirstStrike(feed->Strike());
    const int status = ServeGuard(options, gid, service, feed.get());
    service.Stop();
    // The first strike detaches from every interface as the feed goes.
    service.SetFirstStrike(nullptr);
    feed.reset();
    return status;
}
