// The kernel's socket events of the guard's own namespace as the feed its socket server forwards.
#include "event_feed.h"

#include <cstdio>
#include <cstring>

#include "velmor/guard/socket_event_source.h"

namespace velmor::guard {
namespace {

class KernelEventFeed final : public EventFeed {
public:
    bool Open() {
        if (source_.Open()) return true;
        std::fprintf(stderr, "velmor-guard: no kernel socket events (%s): %s\n",
                     FailureName(source_.failure()), source_.failure_reason().c_str());
        return false;
    }
    int Fd() const override { return source_.fd(); }
    void Drain(std::vector<EventRecord>& events, std::uint32_t& lost) override {
        const auto result = source_.Drain([&](const EventRecord& event) { events.push_back(event); });
        // A ring buffer that cannot be read is as good as events lost: clients read the table.
        const std::uint64_t dropped = result.lost + result.malformed + (result.ok ? 0 : 1);
        lost += dropped > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(dropped);
    }

private:
    SocketEventSource source_;
};

}  // namespace

std::unique_ptr<EventFeed> MakeKernelEventFeed() {
    auto feed = std::make_unique<KernelEventFeed>();
    if (!feed->Open()) return nullptr;
    return feed;
}

}  // namespace velmor::guard
