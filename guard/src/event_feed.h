#pragma once

#include <memory>

#include "velmor/guard/guard_service.h"

namespace velmor::guard {

// The BPF event source on the guard's own network namespace; nullptr (with the reason on stderr)
// when it cannot be loaded, and the guard then answers Subscribe with NotAvailable.
std::unique_ptr<EventFeed> MakeKernelEventFeed();

}  // namespace velmor::guard
