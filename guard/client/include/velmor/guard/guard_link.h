#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"

namespace velmor::guard {

inline constexpr const char* kGuardSocketVariable = "VELMOR_GUARD_SOCKET";
inline constexpr const char* kDefaultGuardSocket = "/run/velmor/guard.sock";

// The guard's socket: $VELMOR_GUARD_SOCKET when set and not empty, else /run/velmor/guard.sock.
std::string GuardSocketPath();

// velmor's line to velmor-guard, the helper that holds the rights velmor runs without. One
// connection for the whole session: the guard lifts what it holds for a session when the last one
// ends. Every call is one request and its reply; a call that fails leaves the link disconnected.
class GuardLink {
public:
    virtual ~GuardLink() = default;

    // Connects (again) and asks for the guard's state; false when no guard answers or it refuses us.
    virtual bool Connect() = 0;
    virtual bool Connected() const = 0;
    // True when the guard hung up since the last call (checked without blocking).
    virtual bool HungUp() = 0;

    virtual std::optional<GuardState> Status() = 0;
    virtual bool TearDown(std::span<const platform::SocketId> ids) = 0;
    // Address texts that are no IPv4 or IPv6 address are left out (they can never match a packet).
    virtual bool UpdateBlocked(bool clear, std::span<const std::string> add,
                               std::span<const std::string> remove) = 0;
    virtual bool SetBlockInternet(bool on) = 0;
    // A listening socket on TCP port 80 (dual stack) that the caller owns; -1 on failure.
    virtual int TakeBaitSocket() = 0;
};

std::unique_ptr<GuardLink> MakeGuardLink(std::string socket_path);

// Closes a descriptor the caller owns (one TakeBaitSocket handed over and nobody took).
void CloseDescriptor(int descriptor);

}  // namespace velmor::guard
