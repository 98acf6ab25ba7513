#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/native_handle.h"

namespace velmor::guard {

inline constexpr const char* kGuardSocketVariable = "VELMOR_GUARD_SOCKET";
inline constexpr const char* kDefaultGuardSocket = "/run/velmor/guard.sock";

// The guard's socket: $VELMOR_GUARD_SOCKET when set and not empty, else /run/velmor/guard.sock.
std::string GuardSocketPath();

// An address the guard keeps out of its sets, and why.
struct RefusedLifeline {
    std::string address;  // dotted IPv4 or RFC 5952 IPv6, as the connection table shows it
    guard::Refusal reason = guard::Refusal::Loopback;
    bool operator==(const RefusedLifeline&) const = default;
};

// velmor's line to velmor-guard, the helper that holds the rights velmor runs without. One
// connection for the whole session: the guard lifts what it holds for a session when the last one
// ends. Every call is one request and its reply; a call that fails leaves the link disconnected.
class GuardLink {
public:
    virtual ~GuardLink() = default;

    // Connects (again) and asks for the guard's state; false when no guard answers or it refuses us.
    virtual bool Connect() = 0;
    // True when the last Connect reached a guard that did not answer: it runs, but hangs up on users
    // outside its group and on clients of other network namespaces.
    virtual bool Refused() const = 0;
    virtual bool Connected() const = 0;
    // True when the guard hung up since the last call (checked without blocking).
    virtual bool HungUp() = 0;

    virtual std::optional<GuardState> Status() = 0;
    virtual bool TearDown(std::span<const platform::SocketId> ids) = 0;
    // Address texts that are no IPv4 or IPv6 address are left out (they can never match a packet).
    // True also when the guard refused some of `add`: TakeRefused says which.
    virtual bool UpdateBlocked(bool clear, std::span<const std::string> add,
                               std::span<const std::string> remove) = 0;
    // The addresses the guard refused to put into its sets (lifelines of its namespace), and those it
    // took out of them on its own because they became lifelines, as its UpdateBlocked replies named
    // them since the last call; each address in the connection table's form. Always empty with a
    // guard too old to tell.
    virtual std::vector<RefusedLifeline> TakeRefused() { return {}; }
    virtual bool SetBlockInternet(bool on) = 0;
    // The kernel's first strike (a guard of protocol version 3 whose Status says first_strike): the
    // ranges it must never strike, as range texts ("10.0.0.5", "192.168.0.0/24"; texts that are no
    // range are left out), in pieces as large changes need; and whether it strikes at all. False
    // without it or when the guard refused.
    virtual bool UpdateExempt(bool clear, std::span<const std::string> add,
                              std::span<const std::string> remove) {
        static_cast<void>(clear);
        static_cast<void>(add);
        static_cast<void>(remove);
        return false;
    }
    virtual bool SetFirstStrike(bool on) {
        static_cast<void>(on);
        return false;
    }
    // The shared sets (protocol version 4, Status().shared_sets true): replace (clear) or change the
    // guard's sets of shared and imported decisions. Sent in pieces as large as the protocol allows;
    // false without them or when the link failed. Refusals (lifelines inside a span) via TakeRefusedSpans.
    // The spans must be disjoint; a removal goes before an addition of the same span, so a renewal
    // is a removal and an addition in one call.
    virtual bool UpdateShared(bool clear, std::span<const SharedElement> add,
                              std::span<const AddressSpan> remove) {
        static_cast<void>(clear);
        static_cast<void>(add);
        static_cast<void>(remove);
        return false;
    }
    // The spans the guard would not block, or took out of its shared sets on its own (a lifeline
    // appeared inside), as its UpdateShared replies named them since the last call.
    virtual std::vector<RefusedSpan> TakeRefusedSpans() { return {}; }
    // A listening socket on TCP port 80 (dual stack) that the caller owns; kNoNativeSocket on failure.
    virtual platform::NativeSocket TakeBaitSocket() = 0;
    // Who owns `sockets` (asked in pieces the guard answers whole), appended to `owners`: false when
    // the guard cannot tell (one older than protocol version 3, or without the owner finder), or
    // the link failed.
    virtual bool Owners(std::span<const SocketRef> sockets, std::vector<OwnerRecord>& owners) {
        static_cast<void>(sockets);
        static_cast<void>(owners);
        return false;
    }
};

std::unique_ptr<GuardLink> MakeGuardLink(std::string socket_path);

// Closes a descriptor the caller owns (one TakeBaitSocket handed over and nobody took).
void CloseDescriptor(platform::NativeSocket descriptor);

}  // namespace velmor::guard
