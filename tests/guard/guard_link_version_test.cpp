// velmor's guard link against a guard of the first protocol version: it falls back to that version
// and is served as before, only without being told of refusals.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "velmor/guard/guard_link.h"
#include "velmor/guard/protocol.h"
#include "velmor/test/temp_dir.h"

namespace velmor::guard {
namespace {

// A guard that speaks one version only (1 unless told), as the guards before the next did: a request
// of another version gets UnsupportedVersion (in its version) and a hang-up.
class OldGuard final {
public:
    struct Seen {
        int connections = 0;
        std::vector<std::uint8_t> versions;  // of every request, in order
        std::vector<Op> ops;                 // of every request it answered
    };

    // `seen` is written by the guard's thread until the destructor has joined it.
    OldGuard(const std::string& path, Seen& seen, std::uint8_t version = 1) : seen_(seen), version_(version) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~OldGuard() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    OldGuard(const OldGuard&) = delete;
    OldGuard& operator=(const OldGuard&) = delete;

private:
    void Serve() {
        for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0; ::close(fd)) {
            ++seen_.connections;
            std::vector<std::uint8_t> buffer;
            std::uint8_t chunk[4096];
            for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                buffer.insert(buffer.end(), chunk, chunk + n);
                const std::size_t length = FrameLength(buffer);
                if (length == 0 || buffer.size() < length) continue;
                seen_.versions.push_back(buffer[2]);
                Reply reply;
                reply.version = version_;
                if (buffer[2] != version_) {
                    reply.result = Result::UnsupportedVersion;
                    Send(fd, EncodeReply(reply));
                    break;
                }
                Request request;
                std::size_t consumed = 0;
                if (ParseRequest(buffer, request, consumed) != ParseStatus::Complete) break;
                buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
                reply.op = request.op;
                seen_.ops.push_back(request.op);
                Send(fd, EncodeReply(reply));
            }
        }
    }
    static void Send(int fd, const std::vector<std::uint8_t>& bytes) {
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    Seen& seen_;
    std::uint8_t version_;
    int listener_ = -1;
    std::thread thread_;
};

TEST(GuardLinkVersions, AnOlderGuardIsSpokenToInItsVersion) {
    test::TempDir folder;
    const std::string path = (folder / "guard.sock").string();
    OldGuard::Seen seen;
    auto old = std::make_unique<OldGuard>(path, seen);
    auto link = guard::MakeGuardLink(path);
    ASSERT_TRUE(link->Connect());
    const std::vector<std::string> add = {"10.77.0.9"};
    EXPECT_TRUE(link->UpdateBlocked(false, add, {}));
    EXPECT_TRUE(link->TakeRefused().empty());
    EXPECT_TRUE(link->Status().has_value());
    // Nothing of the first strike is asked of a guard that knows nothing of it.
    const std::vector<std::string> ranges = {"10.0.0.0/8"};
    EXPECT_FALSE(link->UpdateExempt(true, ranges, {}));
    EXPECT_FALSE(link->SetFirstStrike(true));
    link.reset();
    old.reset();
    // Each newer version once, each on a connection of its own, then the old one on the last
    // connection for everything.
    std::vector<std::uint8_t> expected;
    for (int version = kProtocolVersion; version >= 1; --version)
        expected.push_back(static_cast<std::uint8_t>(version));
    expected.insert(expected.end(), {1, 1});
    EXPECT_EQ(seen.connections, kProtocolVersion);
    EXPECT_EQ(seen.versions, expected);
}

TEST(GuardLinkVersions, AGuardOfVersionThreeIsAskedNothingOfTheSharedSets) {
    test::TempDir folder;
    const std::string path = (folder / "guard.sock").string();
    OldGuard::Seen seen;
    auto old = std::make_unique<OldGuard>(path, seen, 3);
    auto link = guard::MakeGuardLink(path);
    ASSERT_TRUE(link->Connect());
    const auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(state->shared_sets);
    SharedElement element;
    element.span.first.bytes = element.span.last.bytes = {10, 0, 0, 1};
    const std::vector<SharedElement> add = {element};
    EXPECT_FALSE(link->UpdateShared(true, add, {}));
    EXPECT_TRUE(link->TakeRefusedSpans().empty());
    EXPECT_TRUE(link->SetFirstStrike(true));
    link.reset();
    old.reset();
    EXPECT_EQ(seen.versions, (std::vector<std::uint8_t>{kProtocolVersion, 3, 3, 3}));
    EXPECT_EQ(seen.ops, (std::vector<Op>{Op::Status, Op::Status, Op::SetFirstStrike}));
}

}  // namespace
}  // namespace velmor::guard
