// Windows names no socket's process through these calls yet: every socket stays unattributed ("-").
#include "velmor/platform/socket_owners.h"

namespace velmor::platform {

bool ReadProcessIdentity(std::uint32_t, ProcessIdentity&, bool) {
    return false;
}

std::uint64_t BootNanosecondsToTicks(std::uint64_t nanoseconds) {
    return nanoseconds;
}

std::uint32_t EffectiveUserId() {
    return 0;
}

SocketHolderScan FindSocketHolders(std::span<const std::uint64_t>, const SocketHolderOptions&) {
    return {};
}

}  // namespace velmor::platform
