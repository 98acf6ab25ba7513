#pragma once

namespace velmor::platform {

// The longest accept queue the system grants a listening socket of the calling thread's network
// namespace: net.core.somaxconn, or the C library's SOMAXCONN when that is larger (the kernel caps
// a larger request to its own limit anyway).
int MaxListenBacklog();

}  // namespace velmor::platform
