#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "velmor/engine/socket_news.h"
#include "velmor/engine/table_wake.h"
#include "velmor/guard/guard_events.h"

namespace velmor::engine {

// The table timer's event source over velmor-guard's event stream: every socket event of the
// guard's namespace, and every event lost on the way, counts as a possible change of the table. The
// events are kept until the cycle takes them as its news, so that it can act on the sockets they name.
class GuardTableEvents final : public TableEventSource, public TableNews {
public:
    struct Stats {
        std::uint64_t takes = 0;   // TakePending calls that found something
        std::uint64_t events = 0;  // events received
        std::uint64_t lost = 0;    // events the guard or the kernel reported lost
    };

    // `stream` has subscribed already.
    explicit GuardTableEvents(std::unique_ptr<guard::GuardEventStream> stream);

    platform::NativeHandle Fd() const override { return stream_->Fd(); }
    // True when something arrived that the reader does not expect (see SetExpected), or events were
    // lost, or the stream ended.
    bool TakePending() override;
    // Events the reader knows will come and need no tick of their own (the close of a socket it
    // tore down and saw gone): still kept for its next tick, but they wake nothing.
    void SetExpected(std::function<bool(const guard::EventRecord&)> expected) {
        expected_ = std::move(expected);
    }

    // False once the guard ended the stream: the caller goes back to the counter gate.
    bool Live() const override { return stream_->Live(); }
    bool TakeNews(std::vector<guard::EventRecord>& events) override;
    const Stats& GetStats() const { return stats_; }
    // The events of the last TakePending, in the kernel's order.
    const std::vector<guard::EventRecord>& LastEvents() const { return last_; }
    // The owner records that came since the last call (a guard of protocol version 3 sends them);
    // they are no news of the table and wake nothing.
    void TakeOwners(std::vector<guard::OwnerRecord>& owners) { stream_->TakeOwners(owners); }

private:
    std::unique_ptr<guard::GuardEventStream> stream_;
    std::vector<guard::EventRecord> last_;
    std::function<bool(const guard::EventRecord&)> expected_;
    // Taken from the stream, not yet by the cycle; beyond the cap they count as lost.
    std::vector<guard::EventRecord> news_;
    bool news_lost_ = false;
    Stats stats_;
};

}  // namespace velmor::engine
