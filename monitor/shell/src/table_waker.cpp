#include "velmor/shell/table_waker.h"

namespace velmor::shell {

TableWaker::TableWaker(engine::TableEvents& source, const Clock& clock,
                       std::function<void(std::chrono::milliseconds)> bring_forward, QObject* parent)
    : QObject(parent), source_(source), schedule_(clock), bring_forward_(std::move(bring_forward)) {
    if (source_.Fd() >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(source_.Fd(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, &TableWaker::OnReadable);
    }
}

TableWaker::~TableWaker() = default;

std::chrono::milliseconds TableWaker::AfterTick(std::chrono::milliseconds next_tick_delay,
                                                std::chrono::milliseconds safety_net) {
    schedule_.TickRan(next_tick_delay);
    return schedule_.DelayForSafetyNet(safety_net);
}

void TableWaker::Poke() {
    bring_forward_(schedule_.DelayForNews());
}

void TableWaker::OnReadable() {
    // Drained at once, so the level-triggered notifier does not fire again for the same news.
    if (source_.TakePending()) {
        ++news_wakes_;
        Poke();
    }
}

}  // namespace velmor::shell
