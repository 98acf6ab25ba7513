#pragma once

#include <memory>
#include <vector>

#include "velmor/engine/table_wake.h"
#include "velmor/platform/guard_events.h"

namespace velmor::engine {

// The table timer's event source over velmor-guard's event stream: every socket event of the
// guard's namespace, and every event lost on the way, counts as a possible change of the table.
class GuardTableEvents final : public TableEventSource {
public:
    struct Stats {
        std::uint64_t takes = 0;   // TakePending calls that found something
        std::uint64_t events = 0;  // events received
        std::uint64_t lost = 0;    // events the guard or the kernel reported lost
    };

    // `stream` has subscribed already.
    explicit GuardTableEvents(std::unique_ptr<platform::GuardEventStream> stream);

    int Fd() const override { return stream_->Fd(); }
    bool TakePending() override;

    // False once the guard ended the stream: the caller goes back to the counter gate.
    bool Live() const { return stream_->Live(); }
    const Stats& GetStats() const { return stats_; }
    // The events of the last TakePending, in the kernel's order.
    const std::vector<guard::EventRecord>& LastEvents() const { return last_; }

private:
    std::unique_ptr<platform::GuardEventStream> stream_;
    std::vector<guard::EventRecord> last_;
    Stats stats_;
};

}  // namespace velmor::engine
