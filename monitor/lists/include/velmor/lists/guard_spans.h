#pragma once

// The guard's shared-set elements, as its protocol defines them for the interval sets of shared and
// imported decisions. Only their shapes are kept here until the guard's protocol header carries
// them on this branch's base; then these two go and protocol.h alone defines them.

#include <cstdint>

#include "velmor/guard/protocol.h"

namespace velmor::guard {

// A run of addresses of one family, first to last inclusive.
struct AddressSpan {
    Address first;
    Address last;
    auto operator<=>(const AddressSpan&) const = default;
};

// An element of the shared sets: a span and the seconds until the kernel drops it (0: never).
struct SharedElement {
    AddressSpan span;
    std::uint32_t timeout_seconds = 0;
    bool operator==(const SharedElement&) const = default;
};

}  // namespace velmor::guard
