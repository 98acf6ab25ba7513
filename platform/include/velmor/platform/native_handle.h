#pragma once

#include <cstdint>

namespace velmor::platform {

// What an event loop waits on for one source of events, in each system's own kind.
#if defined(_WIN32)
// A kernel object that turns signalled (QWinEventNotifier, WaitForMultipleObjects); null for none.
using NativeHandle = void*;
inline constexpr NativeHandle kNoNativeHandle = nullptr;
// A Winsock SOCKET; INVALID_SOCKET (all bits set) for none.
using NativeSocket = std::uintptr_t;
inline constexpr NativeSocket kNoNativeSocket = ~NativeSocket{0};
#else
// A file descriptor that turns readable (QSocketNotifier, poll); -1 for none.
using NativeHandle = int;
inline constexpr NativeHandle kNoNativeHandle = -1;
// A socket is a file descriptor too.
using NativeSocket = int;
inline constexpr NativeSocket kNoNativeSocket = -1;
#endif

}  // namespace velmor::platform
