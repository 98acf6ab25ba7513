#include "velmor/engine/guard_table_events.h"

namespace velmor::engine {

GuardTableEvents::GuardTableEvents(std::unique_ptr<platform::GuardEventStream> stream)
    : stream_(std::move(stream)) {}

bool GuardTableEvents::TakePending() {
    last_.clear();
    const platform::GuardEventStream::Taken taken = stream_->Take(&last_);
    stats_.events += taken.events;
    stats_.lost += taken.lost;
    // A stream that ended leaves the table unwatched from here: one more read of it is due.
    const bool changed = taken.events > 0 || taken.lost > 0 || taken.hung_up;
    if (changed) ++stats_.takes;
    return changed;
}

}  // namespace velmor::engine
