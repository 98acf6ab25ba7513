#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "velmor/engine/table_events.h"
#include "velmor/engine/table_wake.h"

namespace velmor::shell {

// Lets the table's events drive the table timer on the event loop: after each tick the timer is set
// to the safety net, and news on their descriptor brings it forward (never closer to the last tick
// than the cycle's own delay). Between the two the loop does not wake for the table.
class TableWaker final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TableWaker)
public:
    // `bring_forward(delay)` must start the table timer with `delay` unless it is due sooner anyway.
    TableWaker(engine::TableEvents& source, const Clock& clock,
               std::function<void(std::chrono::milliseconds)> bring_forward, QObject* parent = nullptr);
    ~TableWaker() override;

    // After a tick: the delay to start the table timer with (the safety net).
    std::chrono::milliseconds AfterTick(std::chrono::milliseconds next_tick_delay,
                                        std::chrono::milliseconds safety_net);
    // Something the tick should look at soon, from outside the source (a mode or a list changed).
    void Poke();
    // How often news on the source brought the tick forward.
    std::uint64_t NewsWakes() const { return news_wakes_; }

private:
    void OnReadable();

    engine::TableEvents& source_;
    engine::TableWakeSchedule schedule_;
    std::function<void(std::chrono::milliseconds)> bring_forward_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::uint64_t news_wakes_ = 0;
};

}  // namespace velmor::shell
