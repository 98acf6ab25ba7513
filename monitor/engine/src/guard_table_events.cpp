#include "velmor/engine/guard_table_events.h"

#include <algorithm>
#include <functional>

namespace velmor::engine {
namespace {

// Far more than one tick ever sees; a flood beyond it is read from the table instead.
constexpr std::size_t kMaxNews = 4096;

}  // namespace

GuardTableEvents::GuardTableEvents(std::unique_ptr<guard::GuardEventStream> stream)
    : stream_(std::move(stream)) {}

bool GuardTableEvents::TakePending() {
    last_.clear();
    const guard::GuardEventStream::Taken taken = stream_->Take(&last_);
    stats_.events += taken.events;
    stats_.lost += taken.lost;
    // A stream that ended leaves the table unwatched from here: one more read of it is due.
    const bool unexpected =
        expected_ ? !std::all_of(last_.begin(), last_.end(), std::cref(expected_)) : !last_.empty();
    const bool changed = unexpected || taken.lost > 0 || taken.hung_up;
    if (changed) ++stats_.takes;
    if (taken.lost > 0 || taken.hung_up || news_.size() + last_.size() > kMaxNews) {
        news_lost_ = true;
        news_.clear();
    } else {
        news_.insert(news_.end(), last_.begin(), last_.end());
    }
    return changed;
}

bool GuardTableEvents::TakeNews(std::vector<guard::EventRecord>& events) {
    events.clear();
    events.swap(news_);
    const bool lost = news_lost_ || !Live();
    news_lost_ = false;
    if (lost) events.clear();
    return lost;
}

}  // namespace velmor::engine
