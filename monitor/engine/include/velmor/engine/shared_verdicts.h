#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/guard/protocol.h"

namespace velmor::engine {

// The info cell of an address that only a shared decision blocks starts with this text.
inline constexpr std::string_view kSharedNotePrefix = "공유 차단";

// Decisions that block addresses beside Velmor's own rule files: other machines' intruders and
// imported block lists. They live outside the rule folder, expire by themselves, and never touch an
// address the user allowed or one of the machine's lifelines (their owner leaves those out).
class SharedVerdicts {
public:
    virtual ~SharedVerdicts() = default;
    // Whether such a decision blocks `address` (connection-table text) now.
    virtual bool Blocks(std::string_view address) const = 0;
    // The note for the address list's info cell and the verdict's tooltip: kSharedNotePrefix, the
    // source and the expiry. nullopt when nothing shared blocks the address.
    virtual std::optional<std::string> BlockingNote(std::string_view address) const = 0;
    // Grows with every change of what is blocked.
    virtual std::uint64_t Generation() const = 0;
};

// What the guard's shared sets must change to hold the shared decisions (disjoint spans, each with
// the seconds until it expires by itself).
struct SharedSetChange {
    bool clear = false;  // empty the sets first
    std::vector<guard::SharedElement> add;
    std::vector<guard::AddressSpan> remove;
    bool Empty() const { return !clear && add.empty() && remove.empty(); }
};

// The shared decisions as the guard's sets must hold them.
class SharedSetSource {
public:
    virtual ~SharedSetSource() = default;
    // What changed since the last call (everything, with clear, after Forget).
    virtual SharedSetChange TakeSetChange() = 0;
    // The guard holds none of it any more (it came anew, or blocking went off): the next change is
    // the whole set.
    virtual void ForgetSets() = 0;
};

}  // namespace velmor::engine
