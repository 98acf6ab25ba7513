#include "velmor/guard/guard_link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "guard_connection.h"
#include "velmor/platform/address_text.h"

namespace velmor::guard {
namespace {

ConnectionId ToWire(const platform::SocketId& id) {
    ConnectionId wire;
    wire.family = id.family;
    wire.source_port_be = id.source_port_be;
    wire.destination_port_be = id.destination_port_be;
    std::memcpy(wire.source.data(), id.source, sizeof id.source);
    std::memcpy(wire.destination.data(), id.destination, sizeof id.destination);
    wire.interface_index = id.interface_index;
    std::memcpy(wire.cookie.data(), id.cookie, sizeof id.cookie);
    return wire;
}

void ToRanges(std::span<const std::string> texts, std::vector<ExemptRange>& out) {
    for (const std::string& text : texts) {
        const auto range = platform::ParseAddressRange(text);
        if (!range) continue;
        ExemptRange wire;
        wire.address.family = range->address.v6 ? Address::Family::V6 : Address::Family::V4;
        wire.address.bytes = range->address.bytes;
        wire.prefix = static_cast<std::uint8_t>(range->prefix);
        out.push_back(wire);
    }
}

void ToAddresses(std::span<const std::string> texts, std::vector<Address>& out) {
    for (const std::string& text : texts) {
        Address address;
        if (ParseAddress(text, address)) out.push_back(address);
    }
}

class UnixGuardLink final : public GuardLink {
public:
    explicit UnixGuardLink(std::string path) : connection_(std::move(path)) {}

    bool Connect() override {
        hung_up_on_us_ = false;
        // The newest version first; a guard that knows it not says so and hangs up, and the one
        // before is tried on a new connection.
        for (int version = kProtocolVersion; version >= kOldestProtocolVersion; --version) {
            if (!connection_.Open()) return false;
            version_ = static_cast<std::uint8_t>(version);
            Request request;
            request.op = Op::Status;
            Reply reply;
            // A guard that refuses us closes the connection unread: the status request then fails.
            if (!RoundTrip(request, reply)) {
                hung_up_on_us_ = true;
                return false;
            }
            if (reply.result == Result::Ok) return true;
            connection_.Close();
            if (reply.result != Result::UnsupportedVersion) return false;
        }
        return false;
    }

    bool Refused() const override { return hung_up_on_us_; }

    bool Connected() const override { return connection_.Connected(); }

    bool HungUp() override {
        if (!connection_.Connected()) return true;
        // Nothing is due from the guard between requests: readable means it closed (or misbehaves).
        if (connection_.Readable()) {
            connection_.Close();
            return true;
        }
        return false;
    }

    std::optional<GuardState> Status() override {
        Request request;
        request.op = Op::Status;
        Reply reply;
        if (!RoundTrip(request, reply) || reply.result != Result::Ok) return std::nullopt;
        return reply.state;
    }

    bool TearDown(std::span<const platform::SocketId> ids) override {
        Request request;
        request.op = Op::TearDown;
        for (std::size_t at = 0; at < ids.size(); at += kMaxConnections) {
            request.connections.clear();
            const std::size_t end = std::min(ids.size(), at + kMaxConnections);
            for (std::size_t i = at; i < end; ++i) request.connections.push_back(ToWire(ids[i]));
            Reply reply;
            if (!RoundTrip(request, reply) || reply.result != Result::Ok) return false;
        }
        return true;
    }

    bool UpdateBlocked(bool clear, std::span<const std::string> add,
                       std::span<const std::string> remove) override {
        Request request;
        request.op = Op::UpdateBlocked;
        request.clear = clear;
        ToAddresses(add, request.add);
        ToAddresses(remove, request.remove);
        // Large changes go in pieces; only the first may empty the sets.
        std::vector<Address> adds = std::move(request.add), removes = std::move(request.remove);
        std::size_t a = 0, r = 0;
        do {
            request.remove.assign(
                removes.begin() + static_cast<std::ptrdiff_t>(r),
                removes.begin() + static_cast<std::ptrdiff_t>(std::min(removes.size(), r + kMaxAddresses)));
            r += request.remove.size();
            const std::size_t room = kMaxAddresses - request.remove.size();
            request.add.assign(adds.begin() + static_cast<std::ptrdiff_t>(a),
                               adds.begin() + static_cast<std::ptrdiff_t>(std::min(adds.size(), a + room)));
            a += request.add.size();
            Reply reply;
            if (!RoundTrip(request, reply) || reply.result != Result::Ok) return false;
            for (const guard::RefusedAddress& refused : reply.refused) {
                platform::IpAddress address;
                address.v6 = refused.address.family == Address::Family::V6;
                address.bytes = refused.address.bytes;
                refused_.push_back({platform::FormatIpAddress(address), refused.reason});
            }
            request.clear = false;
        } while (a < adds.size() || r < removes.size());
        return true;
    }

    std::vector<RefusedLifeline> TakeRefused() override { return std::exchange(refused_, {}); }

    bool SetBlockInternet(bool on) override {
        Request request;
        request.op = Op::SetBlockInternet;
        request.on = on;
        Reply reply;
        return RoundTrip(request, reply) && reply.result == Result::Ok;
    }

    bool UpdateExempt(bool clear, std::span<const std::string> add,
                      std::span<const std::string> remove) override {
        if (version_ < 3) return false;
        std::vector<ExemptRange> adds, removes;
        ToRanges(add, adds);
        ToRanges(remove, removes);
        Request request;
        request.op = Op::UpdateExempt;
        request.clear = clear;
        // In pieces, as UpdateBlocked; only the first may empty them.
        std::size_t a = 0, r = 0;
        do {
            request.exempt_remove.assign(removes.begin() + static_cast<std::ptrdiff_t>(r),
                                         removes.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               removes.size(), r + kMaxExemptRanges)));
            r += request.exempt_remove.size();
            const std::size_t room = kMaxExemptRanges - request.exempt_remove.size();
            request.exempt_add.assign(
                adds.begin() + static_cast<std::ptrdiff_t>(a),
                adds.begin() + static_cast<std::ptrdiff_t>(std::min(adds.size(), a + room)));
            a += request.exempt_add.size();
            Reply reply;
            if (!RoundTrip(request, reply) || reply.result != Result::Ok) return false;
            request.clear = false;
        } while (a < adds.size() || r < removes.size());
        return true;
    }

    bool SetFirstStrike(bool on) override {
        if (version_ < 3) return false;
        Request request;
        request.op = Op::SetFirstStrike;
        request.on = on;
        Reply reply;
        return RoundTrip(request, reply) && reply.result == Result::Ok;
    }

    bool Owners(std::span<const SocketRef> sockets, std::vector<OwnerRecord>& owners) override {
        if (version_ < 3) return false;
        Request request;
        request.op = Op::Owners;
        for (std::size_t at = 0; at < sockets.size(); at += kMaxOwnerRecords) {
            const std::size_t end = std::min(sockets.size(), at + kMaxOwnerRecords);
            request.sockets.assign(sockets.begin() + static_cast<std::ptrdiff_t>(at),
                                   sockets.begin() + static_cast<std::ptrdiff_t>(end));
            Reply reply;
            if (!RoundTrip(request, reply) || reply.result != Result::Ok) return false;
            owners.insert(owners.end(), std::make_move_iterator(reply.owners.begin()),
                          std::make_move_iterator(reply.owners.end()));
        }
        return true;
    }

    bool UpdateShared(bool clear, std::span<const SharedElement> add,
                      std::span<const AddressSpan> remove) override {
        if (version_ < kSharedSetsVersion) return false;
        Request request;
        request.op = Op::UpdateShared;
        request.clear = clear;
        // Removals first, so that a span removed and added again leaves before it comes back; only
        // the first piece may empty the sets.
        std::size_t a = 0, r = 0;
        do {
            const std::size_t removals = std::min(remove.size() - r, kMaxSharedElements);
            request.shared_remove.assign(remove.begin() + static_cast<std::ptrdiff_t>(r),
                                         remove.begin() + static_cast<std::ptrdiff_t>(r + removals));
            r += removals;
            const std::size_t additions = std::min(add.size() - a, kMaxSharedElements - removals);
            request.shared_add.assign(add.begin() + static_cast<std::ptrdiff_t>(a),
                                      add.begin() + static_cast<std::ptrdiff_t>(a + additions));
            a += additions;
            Reply reply;
            if (!RoundTrip(request, reply) || reply.result != Result::Ok) return false;
            refused_spans_.insert(refused_spans_.end(), reply.refused_spans.begin(),
                                  reply.refused_spans.end());
            request.clear = false;
        } while (a < add.size() || r < remove.size());
        return true;
    }

    std::vector<RefusedSpan> TakeRefusedSpans() override { return std::exchange(refused_spans_, {}); }

    platform::NativeSocket TakeBaitSocket() override {
        Request request;
        request.op = Op::BaitSocket;
        Reply reply;
        int descriptor = -1;
        if (!RoundTrip(request, reply, &descriptor) || reply.result != Result::Ok) {
            CloseDescriptor(descriptor);
            return -1;
        }
        return descriptor;
    }

private:
    // Every request goes in the version the guard of this connection speaks.
    bool RoundTrip(Request request, Reply& reply, int* descriptor = nullptr) {
        request.version = version_;
        return connection_.RoundTrip(request, reply, descriptor);
    }

    GuardConnection connection_;
    bool hung_up_on_us_ = false;
    std::uint8_t version_ = kProtocolVersion;
    std::vector<RefusedLifeline> refused_;
    std::vector<RefusedSpan> refused_spans_;
};

}  // namespace

std::string GuardSocketPath() {
    const char* value = std::getenv(kGuardSocketVariable);
    return value != nullptr && *value != '\0' ? std::string(value) : std::string(kDefaultGuardSocket);
}

std::unique_ptr<GuardLink> MakeGuardLink(std::string socket_path) {
    return std::make_unique<UnixGuardLink>(std::move(socket_path));
}

}  // namespace velmor::guard
