#pragma once

#include <memory>

#include "owner_finder.h"
#include "velmor/guard/guard_service.h"

namespace velmor::guard {

// The guard's kernel programs as its socket server sees them: the socket events, and (when asked
// for) who owns each socket, forwarded to subscribers and kept for the Owners request.
class KernelEventFeed : public EventFeed {
public:
    // The owners the owner program keeps; nullptr when it is not loaded.
    virtual const KernelOwners* Owners() const = 0;
};

// The BPF event source on the guard's own network namespace; nullptr (with the reason on stderr)
// when it cannot be loaded, and the guard then answers Subscribe with NotAvailable. With `owner_paths`
// the owner program is loaded too (its failure, told on stderr, leaves the events standing); the
// paths of the processes it names come from there.
std::unique_ptr<KernelEventFeed> MakeKernelEventFeed(ProgramPaths* owner_paths);

}  // namespace velmor::guard
