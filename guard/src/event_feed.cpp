// The kernel's socket events of the guard's own namespace as the feed its socket server forwards, and
// the first strike that was loaded with them.
#include "event_feed.h"

#include <cstdio>
#include <cstring>

#include "velmor/guard/kernel_strike.h"
#include "velmor/guard/socket_event_source.h"

namespace velmor::guard {
namespace {

// The service's view of the kernel's first strike.
class KernelFirstStrike final : public FirstStrike {
public:
    explicit KernelFirstStrike(std::unique_ptr<KernelStrike> strike) : strike_(std::move(strike)) {}

    bool Arm(bool on) override { return strike_->Arm(on); }
    bool Block(std::span<const Address> addresses) override { return strike_->Block(addresses); }
    void Unblock(std::span<const Address> addresses) override { strike_->Unblock(addresses); }
    void ClearBlocked() override { strike_->ClearBlocked(); }
    bool Holds(const Address& address) const override { return strike_->Holds(address); }
    bool UpdateExempt(bool clear, std::span<const ExemptRange> add,
                      std::span<const ExemptRange> remove) override {
        return strike_->UpdateExempt(clear, add, remove);
    }
    void SetLifelines(const std::set<Address>& lifelines) override { strike_->SetLifelines(lifelines); }
    void CoverInterfaces() override { strike_->CoverInterfaces(); }
    Counts GetCounts() const override {
        const KernelStrike::Counts kernel = strike_->GetCounts();
        return {kernel.struck, kernel.spared, kernel.full, kernel.dropped_in, kernel.dropped_out};
    }

private:
    std::unique_ptr<KernelStrike> strike_;
};

class KernelEventFeed final : public EventFeed {
public:
    bool Open() {
        if (!source_.Open()) {
            std::fprintf(stderr, "velmor-guard: no kernel socket events (%s): %s\n",
                         FailureName(source_.failure()), source_.failure_reason().c_str());
            return false;
        }
        std::string reason;
        if (auto kernel = KernelStrike::Open(source_, reason)) {
            strike_ = std::make_unique<KernelFirstStrike>(std::move(kernel));
        } else {
            std::fprintf(stderr, "velmor-guard: no first strike in the kernel: %s\n", reason.c_str());
        }
        return true;
    }
    int Fd() const override { return source_.fd(); }
    void Drain(std::vector<EventRecord>& events, std::uint32_t& lost) override {
        const auto result = source_.Drain([&](const EventRecord& event) { events.push_back(event); });
        // A ring buffer that cannot be read is as good as events lost: clients read the table.
        const std::uint64_t dropped = result.lost + result.malformed + (result.ok ? 0 : 1);
        lost += dropped > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(dropped);
    }
    FirstStrike* Strike() override { return strike_.get(); }

private:
    SocketEventSource source_;
    // Over the source's maps and programs: declared after it, so it goes (and detaches) first.
    std::unique_ptr<KernelFirstStrike> strike_;
};

}  // namespace

std::unique_ptr<EventFeed> MakeKernelEventFeed() {
    auto feed = std::make_unique<KernelEventFeed>();
    if (!feed->Open()) return nullptr;
    return feed;
}

}  // namespace velmor::guard
