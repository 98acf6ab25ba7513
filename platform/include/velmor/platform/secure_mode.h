#pragma once

namespace velmor::platform {

// True when the process runs in secure-execution mode: it gained rights at start (file
// capabilities, set-user-id) that the user who started it does not hold. Such a process must not
// take code from the places that user controls (the environment, a writable program folder).
bool InSecureExecutionMode();

}  // namespace velmor::platform
