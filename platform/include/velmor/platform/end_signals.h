#pragma once

#include "velmor/platform/native_handle.h"

namespace velmor::platform {

// From the first call on, SIGTERM, SIGINT and SIGHUP no longer kill the process: each becomes a
// byte on a pipe, so that the event loop can end the program the ordinary way (files closed,
// mailboxes removed). Returns the pipe's read end (non-blocking), the same on every call; -1 when
// it cannot be set up (the signals then keep their default action). On Windows the console's
// Ctrl+C and Ctrl+Break (as SIGINT) and its close, log-off and shut-down events (as SIGTERM) take
// this road: the handle is an event, set while an end is pending; null when it cannot be set up.
NativeHandle EndSignalDescriptor();

// Takes everything that arrived; returns the last signal number, or 0 for none.
int TakeEndSignal();

}  // namespace velmor::platform
