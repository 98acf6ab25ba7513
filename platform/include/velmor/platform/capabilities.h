#pragma once

namespace velmor::platform {

// The rights of a privileged process that velmor and its guard ask about: Linux capabilities.
enum class Capability {
    NetAdmin,        // tear connections down, change nftables
    NetBindService,  // listen on a port below 1024 (the bait)
    Bpf,             // load BPF programs
    Perfmon,         // attach tracing programs
    SysAdmin,        // implies Bpf and Perfmon
};

// True when `capability` is in this process's effective set (Linux only).
bool HasCapability(Capability capability);

}  // namespace velmor::platform
