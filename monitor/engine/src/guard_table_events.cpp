#include "velmor/engine/guard_table_events.h"

#include <algorithm>

namespace velmor::engine {
namespace {

// The events of a flood of some 30,000 intruders between two ticks (a hidden window sleeps 100 ms);
// past it the rest is read from the table.
constexpr std::size_t kMaxNews = 65536;

}  // namespace

GuardTableEvents::GuardTableEvents(std::unique_ptr<guard::GuardEventStream> stream)
    : stream_(std::move(stream)) {}

bool GuardTableEvents::TakePending() {
    last_.clear();
    const guard::GuardEventStream::Taken taken = stream_->Take(&last_);
    stats_.events += taken.events;
    stats_.lost += taken.lost;
    // A stream that ended leaves the table unwatched from here: one more read of it is due.
    bool unexpected = false;
    for (const guard::EventRecord& event : last_) {
        // An expected close is expected once.
        if (event.new_state == guard::tcp_state::kClose && expected_closes_.Remove(event.cookie)) continue;
        unexpected = true;
    }
    const bool changed = unexpected || taken.lost > 0 || taken.hung_up;
    if (changed) ++stats_.takes;
    // What did come is kept even when some were lost: the arrivals among it are filed from their
    // events, and a read of the table finds the rest.
    if (taken.lost > 0 || taken.hung_up) news_lost_ = true;
    const std::size_t room = kMaxNews - std::min(kMaxNews, news_.size());
    if (last_.size() > room) news_lost_ = true;
    news_.insert(news_.end(), last_.begin(),
                 last_.begin() + static_cast<std::ptrdiff_t>(std::min(room, last_.size())));
    return changed;
}

bool GuardTableEvents::TakeNews(std::vector<guard::EventRecord>& events) {
    events.clear();
    events.swap(news_);
    const bool lost = news_lost_ || !Live();
    news_lost_ = false;
    return lost;
}

}  // namespace velmor::engine
