#pragma once

namespace velmor::engine {

// Adds to `candidates` every key of two sorted maps that is in one and not in the other, or in both
// with another value: one walk over both, no copy of either.
template <typename Map, typename Set>
void AddDifferences(const Map& before, const Map& after, Set& candidates) {
    auto a = before.begin();
    auto b = after.begin();
    while (a != before.end() || b != after.end()) {
        if (b == after.end() || (a != before.end() && a->first < b->first)) {
            candidates.insert(a->first);
            ++a;
        } else if (a == before.end() || b->first < a->first) {
            candidates.insert(b->first);
            ++b;
        } else {
            if (a->second != b->second) candidates.insert(a->first);
            ++a;
            ++b;
        }
    }
}

}  // namespace velmor::engine
