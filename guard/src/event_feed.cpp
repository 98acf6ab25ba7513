// The kernel's socket events of the guard's own namespace as the feed its socket server forwards, and
// the first strike that was loaded with them.
#include "event_feed.h"

#include <cstdio>
#include <cstring>

#include "velmor/guard/kernel_strike.h"
#include "velmor/guard/socket_event_source.h"
#include "velmor/guard/socket_owner_source.h"
#include "velmor/platform/socket_owners.h"

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

ProcessOwner ToProcess(const KernelOwner& owner) {
    return {owner.tgid, owner.uid, platform::BootNanosecondsToTicks(owner.start_ns), owner.name};
}

std::uint32_t Saturated(std::uint64_t count) {
    return count > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(count);
}

class SystemKernelEventFeed final : public KernelEventFeed, private KernelOwners {
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
    void OpenOwners(ProgramPaths& paths) {
        if (owners_.Open()) {
            paths_ = &paths;
            return;
        }
        std::fprintf(stderr,
                     "velmor-guard: no kernel record of socket owners (%s): %s; /proc is read instead\n",
                     FailureName(owners_.failure()), owners_.failure_reason().c_str());
    }

    int Fd() const override { return source_.fd(); }
    void Drain(std::vector<EventRecord>& events, std::uint32_t& lost) override {
        const auto result = source_.Drain([&](const EventRecord& event) { events.push_back(event); });
        // A ring buffer that cannot be read is as good as events lost: clients read the table.
        lost += Saturated(result.lost + result.malformed + (result.ok ? 0 : 1));
    }
    FirstStrike* Strike() override { return strike_.get(); }

    int OwnerFd() const override { return owners_.fd(); }
    void DrainOwners(std::vector<OwnerRecord>& records, std::uint32_t& lost) override {
        if (paths_ == nullptr) return;
        const auto result = owners_.Drain([&](const SocketOwnerEvent& event) {
            OwnerRecord record =
                event.owner ? OwnerRecordOf(event.cookie, ToProcess(*event.owner), *paths_) : OwnerRecord{};
            record.cookie = event.cookie;
            record.flags |= OwnerRecord::kHasAddresses;
            record.family = static_cast<std::uint8_t>(event.family);
            record.local = event.local;
            record.remote = event.remote;
            record.local_port = event.local_port;
            record.remote_port = event.remote_port;
            if (event.kind == SocketOwnerEvent::Kind::kClose) {
                record.flags |= OwnerRecord::kClosed | OwnerRecord::kHasCounts;
                record.bytes_received = event.bytes_received;
                record.bytes_sent = event.bytes_acked;
            }
            records.push_back(std::move(record));
        });
        lost += Saturated(result.lost + result.malformed + (result.ok ? 0 : 1));
    }

    const KernelOwners* Owners() const override { return paths_ != nullptr ? this : nullptr; }

private:
    std::optional<ProcessOwner> Lookup(std::uint64_t cookie) const override {
        const auto owner = owners_.Lookup(cookie);
        if (!owner) return std::nullopt;
        return ToProcess(*owner);
    }

    SocketEventSource source_;
    SocketOwnerSource owners_;
    ProgramPaths* paths_ = nullptr;
    // Over the source's maps and programs: declared after it, so it goes (and detaches) first.
    std::unique_ptr<KernelFirstStrike> strike_;
};

}  // namespace

std::unique_ptr<KernelEventFeed> MakeKernelEventFeed(ProgramPaths* owner_paths) {
    auto feed = std::make_unique<SystemKernelEventFeed>();
    if (!feed->Open()) return nullptr;
    if (owner_paths != nullptr) feed->OpenOwners(*owner_paths);
    return feed;
}

}  // namespace velmor::guard
