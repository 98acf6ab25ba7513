#include "velmor/platform/secure_mode.h"

namespace velmor::platform {

// Windows has no set-user-id or file capabilities: a program never starts with rights that the
// user who started it lacks (elevation asks that user first).
bool InSecureExecutionMode() {
    return false;
}

}  // namespace velmor::platform
