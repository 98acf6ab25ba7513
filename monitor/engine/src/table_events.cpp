#include "velmor/engine/table_events.h"

namespace velmor::engine {

void RecentCookies::Add(std::uint64_t cookie) {
    if (!cookies_.insert(cookie).second) return;
    order_.push_back(cookie);
    // A removed cookie's place in the order goes when it comes to the front.
    while (order_.size() > bound_) {
        cookies_.erase(order_.front());
        order_.pop_front();
    }
}

}  // namespace velmor::engine
