#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/lifelines.h"

namespace velmor::guard {

inline constexpr const char* kDefaultSocketPath = "/run/velmor/guard.sock";
inline constexpr const char* kDefaultGroup = "velmor";

struct GuardOptions {
    std::string socket_path = kDefaultSocketPath;
    // The group whose members may use the guard (a name or a number); root always may.
    std::string group = kDefaultGroup;
    // "off" keeps the kernel's first strike out of service (benchmarks compare against it).
    std::string first_strike = "on";
    // Who owns each socket (the owner program, the Owners request): on unless switched off.
    bool owners = true;
};

// Parses velmor-guard's command line: [--socket PATH] [--group NAME|GID] [--first-strike on|off]
// [--owners on|off]. False (with a message in `error`) on anything else.
bool ParseGuardOptions(int argc, char** argv, GuardOptions& options, std::string& error);

// Who is at the other end of a client connection, as the kernel vouches for it (SO_PEERCRED and the
// supplementary groups of SO_PEERGROUPS).
struct PeerCredentials {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::vector<std::uint32_t> groups;
};

// Root, or a process whose primary or supplementary group is `trusted_gid`.
bool IsTrusted(const PeerCredentials& peer, std::uint32_t trusted_gid);

// The nftables side. Runs one nft script (command input) as one transaction.
class PacketFilter {
public:
    virtual ~PacketFilter() = default;
    // False when nft refused the script; nothing of it is then in force.
    virtual bool Run(const std::string& script) = 0;
};

// The guard's own table "inet velmor": the sets blocked4 and blocked6, the shared sets (shared4,
// shared6, shared4_ranges, shared6_ranges), the chains input and output that drop everything from
// and to their addresses, and the chains internet_in and internet_out that hold the
// block-the-Internet rules while that is on. A table left by a crashed guard is replaced.
std::string InstallTableScript();
std::string RemoveTableScript();
// One transaction: empties both sets first when `flush`, then removes and adds. Addresses are
// written from their bytes, so no text of a client ever reaches nft.
std::string UpdateSetsScript(bool flush, std::span<const Address> remove, std::span<const Address> add);
std::string BlockInternetScript(bool on);

// The shared sets: other machines' decisions and imported block lists, which velmor sends as
// disjoint spans, each with its own expiry that the kernel keeps (flags timeout), so a decision
// lifts itself. Single addresses go into the plain sets shared4 and shared6; longer spans into the
// interval sets shared4_ranges and shared6_ranges (flags interval, timeout). Deleting from an
// interval set costs nft a walk of the whole set per element, so the many single addresses stay
// out of it, and a large deletion among many ranges rewrites that set instead.
//
// A change runs as one transaction. Should it fail (a deleted element the kernel had just dropped
// at its expiry), the sets are written afresh from what is held, once.
class SharedSets final {
public:
    using Time = std::chrono::steady_clock::time_point;
    // Why a span must never be blocked; nullopt when it may.
    using Protector = std::function<std::optional<Refusal>(const AddressSpan&)>;

    SharedSets(PacketFilter& filter, std::function<Time()> clock);

    // Applies an UpdateShared request: removes the held spans it names (others are passed over),
    // then adds its elements, except those `protects` refuses (named in `refused`). BadRequest, with
    // nothing changed, when an element overlaps one that is held or another of the request.
    Result Update(const Request& request, const Protector& protects, std::vector<RefusedSpan>& refused);
    // Takes out every held span `protects` refuses now (a lifeline that appeared inside it). They
    // are told, with the reason, by the next reply (TakeDropped).
    void DropProtected(const Protector& protects);
    std::vector<RefusedSpan> TakeDropped();
    // Empties the sets (the last client hung up).
    void Clear();
    // The table went or came anew: nothing is held.
    void Forget();

    std::uint32_t Count(Address::Family family) const;
    struct Held {
        Address last;
        std::optional<Time> expires;  // nullopt: never
    };
    // By first address, IPv4 before IPv6; spans whose expiry passed are left out at the next change.
    const std::map<Address, Held>& HeldSpans() const { return held_; }

private:
    void ForgetExpired(Time now);
    bool OverlapsHeld(const AddressSpan& span, const std::set<Address>& leaving) const;
    void Insert(const Address& first, const Held& held);
    void Erase(std::map<Address, Held>::iterator at);
    // Writes every held span (and `extra`) afresh in one transaction.
    bool Rewrite(const std::vector<SharedElement>& extra, Time now);

    PacketFilter& filter_;
    std::function<Time()> clock_;
    std::map<Address, Held> held_;
    std::multimap<Time, Address> expiries_;
    std::size_t ranges_v4_ = 0;
    std::size_t ranges_v6_ = 0;
    std::size_t count_v4_ = 0;
    std::vector<RefusedSpan> dropped_;
};

// The kernel's first strike (guard/events, BPF): while armed, a handshake completed on the bait from
// an address that is neither exempt nor a lifeline marks it blocked in the kernel at once, and a
// program on the packet path of every interface of the namespace drops what comes from a blocked
// address or goes to it. Its blocked map is a fast path in front of the sets: the service keeps it
// equal to them and puts every struck address into them.
class FirstStrike {
public:
    struct Counts {
        std::uint64_t struck = 0;       // addresses the kernel marked
        std::uint64_t spared = 0;       // bait handshakes of exempt addresses and lifelines
        std::uint64_t full = 0;         // handshakes that found the map full
        std::uint64_t dropped_in = 0;   // packets dropped coming in
        std::uint64_t dropped_out = 0;  // and going out
    };

    virtual ~FirstStrike() = default;
    virtual bool Arm(bool on) = 0;
    // The blocked map. False when it refused some (it is full): the sets still drop them.
    virtual bool Block(std::span<const Address> addresses) = 0;
    virtual void Unblock(std::span<const Address> addresses) = 0;
    virtual void ClearBlocked() = 0;
    // Whether the map holds `address` (put in, or struck and not released since).
    virtual bool Holds(const Address& address) const = 0;
    // What the client spares. False when the kernel refused a change; the strike is then disarmed.
    virtual bool UpdateExempt(bool clear, std::span<const ExemptRange> add,
                              std::span<const ExemptRange> remove) = 0;
    // What the guard spares whoever asks (its namespace's addresses and default gateways; loopback is
    // spared by the kernel program itself).
    virtual void SetLifelines(const std::set<Address>& lifelines) = 0;
    // Attaches the packet-path programs to every interface of the namespace that lacks them.
    virtual void CoverInterfaces() = 0;
    virtual Counts GetCounts() const = 0;
};

// The privileged work that is not nftables.
class GuardActions {
public:
    virtual ~GuardActions() = default;
    virtual bool CanTearDown() const = 0;
    virtual bool CanOpenBait() const = 0;
    // SOCK_DESTROY for each connection; refusals are not reported.
    virtual void TearDown(std::span<const ConnectionId> connections) = 0;
    // A listening TCP socket on [::]:80 that also takes IPv4; -1 when it cannot be made.
    virtual int OpenBait() = 0;
};

// Who owns the sockets a client asks about (the Owners request).
class OwnerFinder {
public:
    virtual ~OwnerFinder() = default;
    // The owners that can be found, one record per socket found; at most kMaxOwnerRecords.
    virtual std::vector<OwnerRecord> Find(std::span<const SocketRef> sockets) = 0;
};

// Answers requests. Holds what is in force: the addresses of the two sets and the block-the-Internet
// state, both owned by the clients' session: when the last client hangs up they are lifted, so a
// Velmor that quits (or dies) never leaves the machine cut off. Neither can any client cut it off
// through the sets: loopback, the addresses of the namespace's interfaces and its default gateways
// never enter them, whoever asks; the reply names what was refused.
class GuardService final {
public:
    GuardService(PacketFilter& filter, GuardActions& actions,
                 std::function<SharedSets::Time()> clock = std::chrono::steady_clock::now);

    // Puts the table in place (replacing a stale one); false when nft refused it.
    bool Start();
    // Removes the table.
    void Stop();

    // The kernel's first strike, when it loaded (not owned; nullptr for none). Disarmed until a client
    // asks for it.
    void SetFirstStrike(FirstStrike* strike);
    FirstStrike* GetFirstStrike() const { return strike_; }

    // Answers one request, in the request's version. `descriptor` receives a descriptor to pass
    // along with the reply, or -1.
    Reply Handle(const Request& request, int& descriptor);
    // The last client hung up: what it held is lifted and the first strike disarmed.
    void ClientsGone();
    // The kernel struck these addresses (their events said so): they join the sets, unless they were
    // released since or are lifelines, so that what the kernel drops the sets drop too.
    void Struck(std::span<const Address> addresses);
    // The namespace's interfaces may have changed: the first strike covers the new ones.
    void InterfacesChanged();

    // The namespace's own addresses and default gateways as they are now (resolvers are not the
    // guard's concern); an incomplete read adds to what the guard knew. Addresses of the sets that
    // became lifelines leave them at once; the next reply to UpdateBlocked names them.
    void SetLifelines(const platform::Lifelines& lifelines);
    // Why `address` must never enter the sets; nullopt when it may.
    std::optional<Refusal> Protects(const Address& address) const;
    // The same for a span of the shared sets: why it holds a lifeline, if it does.
    std::optional<Refusal> ProtectsSpan(const AddressSpan& span) const;

    // Who answers Owners (not owned; nullptr: NotAvailable). Every client the guard serves may ask: a
    // member of its group, who may cut any connection already, sees every program.
    void SetOwnerFinder(OwnerFinder* finder) { owners_ = finder; }

    GuardState State() const;
    const std::set<Address>& Blocked() const { return blocked_; }
    const SharedSets& Shared() const { return shared_; }
    bool BlockInternet() const { return block_internet_; }

private:
    Result UpdateBlocked(const Request& request, std::vector<RefusedAddress>& refused);
    Result SetBlockInternet(bool on);
    // The lifelines of one family that lie in [first, last] (IPv4-mapped spans are asked as IPv4).
    std::optional<Refusal> ProtectsRun(const Address& first, const Address& last) const;
    Result UpdateExempt(const Request& request);
    Result SetFirstStrikeArmed(bool on);
    // Takes `addresses` out of the sets and the first strike's map.
    bool Release(std::span<const Address> addresses);

    PacketFilter& filter_;
    GuardActions& actions_;
    OwnerFinder* owners_ = nullptr;
    bool table_ = false;
    bool block_internet_ = false;
    std::set<Address> blocked_;
    // Lifelines, IPv4-mapped addresses as their IPv4 ones.
    std::set<Address> own_;
    std::set<Address> gateways_;
    // Taken out of the sets because they became lifelines, not yet told.
    std::vector<RefusedAddress> dropped_;
    SharedSets shared_;
    FirstStrike* strike_ = nullptr;
    bool armed_ = false;
};

// --- System side (one implementation file per operating system).

// libnftables in the network namespace of the guard.
std::unique_ptr<PacketFilter> MakeSystemPacketFilter();
// SOCK_DESTROY through the platform's connection table, the bait socket through bind().
std::unique_ptr<GuardActions> MakeSystemGuardActions();
// The group's id by name or number; false when there is no such group.
bool ResolveGroup(const std::string& group, std::uint32_t& gid);
// Kernel socket events of the guard's namespace, for the clients that subscribe.
class EventFeed {
public:
    virtual ~EventFeed() = default;
    // Readable while events are pending.
    virtual int Fd() const = 0;
    // Appends every pending event without waiting; adds to `lost` what the kernel dropped.
    virtual void Drain(std::vector<EventRecord>& events, std::uint32_t& lost) = 0;
    // The first strike loaded with the events; nullptr without it.
    virtual FirstStrike* Strike() { return nullptr; }
    // The sockets' owners and last counts, for subscribers of version 3 and up: readable while some
    // are pending (-1: the feed has none), and drained like the events.
    virtual int OwnerFd() const { return -1; }
    virtual void DrainOwners(std::vector<OwnerRecord>& owners, std::uint32_t& lost) {
        static_cast<void>(owners);
        static_cast<void>(lost);
    }
};

// Serves the socket until SIGTERM, SIGINT or SIGHUP. Returns the process exit status. Without a
// feed (nullptr) a Subscribe request is answered NotAvailable.
int ServeGuard(const GuardOptions& options, std::uint32_t trusted_gid, GuardService& service,
               EventFeed* feed = nullptr);

}  // namespace velmor::guard
