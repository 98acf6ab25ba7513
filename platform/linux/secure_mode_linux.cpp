#include <sys/auxv.h>

#include "velmor/platform/secure_mode.h"

namespace velmor::platform {

bool InSecureExecutionMode() {
    // The kernel sets AT_SECURE exactly when the dynamic loader also ignores LD_LIBRARY_PATH.
    return ::getauxval(AT_SECURE) != 0;
}

}  // namespace velmor::platform
