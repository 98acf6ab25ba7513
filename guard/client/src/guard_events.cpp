#include "velmor/guard/guard_events.h"

#include <algorithm>
#include <iterator>
#include <span>

#include "guard_connection.h"

namespace velmor::guard {
namespace {

class UnixGuardEventStream final : public GuardEventStream {
public:
    explicit UnixGuardEventStream(std::string path) : connection_(std::move(path)) {}

    bool Subscribe() override {
        // The newest version first, whose records carry the first strike's flag and whose frames the
        // owner records; a guard that knows it not says so and hangs up, and the one before is tried
        // on a new connection. A stream that is live stays as it is until the new one has answered.
        for (int version = kProtocolVersion; version >= kOldestProtocolVersion; --version) {
            GuardConnection attempt(connection_.Path());
            Request request;
            request.op = Op::Subscribe;
            request.version = static_cast<std::uint8_t>(version);
            Reply reply;
            if (!attempt.Open()) return false;
            if (!attempt.RoundTrip(request, reply, nullptr, true) ||
                reply.result == Result::UnsupportedVersion)
                continue;
            if (reply.result != Result::Ok) return false;
            connection_.TakeOver(attempt);
            live_ = true;
            return true;
        }
        return false;
    }

    void TakeOwners(std::vector<OwnerRecord>& owners) override {
        owners.clear();
        owners.swap(owners_);
    }

    bool Live() const override { return live_; }
    platform::NativeHandle Fd() const override { return connection_.Fd(); }

    Taken Take(std::vector<EventRecord>* events) override {
        Taken taken;
        if (!live_) {
            taken.hung_up = true;
            return taken;
        }
        while (true) {
            if (!ParseReceived(taken, events)) return HangUp(taken);
            switch (connection_.ReadSome()) {
                case GuardConnection::Read::kSome:
                    break;
                case GuardConnection::Read::kNothing:
                    return taken;
                case GuardConnection::Read::kEnded:
                    return HangUp(taken);
            }
        }
    }

private:
    // Takes every whole frame received so far; false on one that is not an event frame.
    bool ParseReceived(Taken& taken, std::vector<EventRecord>* events) {
        std::vector<std::uint8_t>& received = connection_.Received();
        std::size_t at = 0;
        bool ok = true;
        while (at < received.size()) {
            EventBatch batch;
            std::size_t consumed = 0;
            const auto status =
                ParseEvents(std::span<const std::uint8_t>(received).subspan(at), batch, consumed);
            if (status == ParseStatus::Incomplete) break;
            if (status != ParseStatus::Complete) {
                ok = false;
                break;
            }
            at += consumed;
            taken.events += batch.events.size();
            taken.lost += batch.lost;
            if (events != nullptr) events->insert(events->end(), batch.events.begin(), batch.events.end());
            if (owners_.size() + batch.owners.size() > kMaxKeptOwners) {
                const std::size_t drop =
                    std::min(owners_.size(), owners_.size() + batch.owners.size() - kMaxKeptOwners);
                owners_.erase(owners_.begin(), owners_.begin() + static_cast<std::ptrdiff_t>(drop));
            }
            owners_.insert(owners_.end(), std::make_move_iterator(batch.owners.begin()),
                           std::make_move_iterator(batch.owners.end()));
        }
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(at));
        return ok;
    }

    Taken& HangUp(Taken& taken) {
        taken.hung_up = true;
        live_ = false;
        connection_.Quiet();
        return taken;
    }

    GuardConnection connection_;
    bool live_ = false;
    std::vector<OwnerRecord> owners_;
};

}  // namespace

std::unique_ptr<GuardEventStream> MakeGuardEventStream(std::string socket_path) {
    return std::make_unique<UnixGuardEventStream>(std::move(socket_path));
}

}  // namespace velmor::guard
