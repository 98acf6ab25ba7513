#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "velmor/platform/capabilities.h"

namespace velmor::platform {
namespace {

int LinuxNumber(Capability capability) {
    switch (capability) {
        case Capability::NetAdmin:
            return CAP_NET_ADMIN;
        case Capability::NetBindService:
            return CAP_NET_BIND_SERVICE;
        case Capability::Bpf:
            return CAP_BPF;
        case Capability::Perfmon:
            return CAP_PERFMON;
        case Capability::SysAdmin:
            return CAP_SYS_ADMIN;
    }
    return CAP_SYS_ADMIN;
}

}  // namespace

bool HasCapability(Capability capability) {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    const int number = LinuxNumber(capability);
    return (data[number / 32].effective & (1u << (number % 32))) != 0;
}

}  // namespace velmor::platform
