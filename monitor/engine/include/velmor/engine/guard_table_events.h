#pragma once

#include <memory>
#include <vector>

#include "velmor/engine/table_events.h"
#include "velmor/guard/guard_events.h"

namespace velmor::engine {

// The table's events over velmor-guard's event stream: every socket event of the guard's namespace,
// and every event lost on the way, counts as a possible change of the table. The events are kept
// until the cycle takes them as its news, so that it can act on the sockets they name.
class GuardTableEvents final : public TableEvents {
public:
    struct Stats {
        std::uint64_t takes = 0;   // TakePending calls that found something
        std::uint64_t events = 0;  // events received
        std::uint64_t lost = 0;    // events the guard or the kernel reported lost
    };

    // `stream` has subscribed already.
    explicit GuardTableEvents(std::unique_ptr<guard::GuardEventStream> stream);

    platform::NativeHandle Fd() const override { return stream_->Fd(); }
    bool TakePending() override;
    // False once the guard ended the stream: the caller goes back to the counter gate.
    bool Live() const override { return stream_->Live(); }
    bool TakeNews(std::vector<guard::EventRecord>& events) override;
    void ExpectClose(std::uint64_t cookie) override { expected_closes_.Add(cookie); }
    const Stats& GetStats() const { return stats_; }
    // The events of the last TakePending, in the kernel's order.
    const std::vector<guard::EventRecord>& LastEvents() const { return last_; }
    // The owner records that came since the last call (a guard of protocol version 3 sends them);
    // they are no news of the table and wake nothing.
    void TakeOwners(std::vector<guard::OwnerRecord>& owners) { stream_->TakeOwners(owners); }

private:
    std::unique_ptr<guard::GuardEventStream> stream_;
    std::vector<guard::EventRecord> last_;
    RecentCookies expected_closes_{kMaxTornDown};
    // Taken from the stream, not yet by the cycle; beyond the cap they count as lost.
    std::vector<guard::EventRecord> news_;
    bool news_lost_ = false;
    Stats stats_;
};

}  // namespace velmor::engine
