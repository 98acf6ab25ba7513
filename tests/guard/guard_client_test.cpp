// velmor's side of the guard against a stand-in guard on a Unix socket of the test's own: requests
// and their replies, a passed descriptor, large set changes in pieces, and a guard that answers
// wrongly or not at all.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "velmor/guard/guard_link.h"
#include "velmor/test/temp_dir.h"

namespace velmor::guard {
namespace {

// Accepts one client and hands each whole request it sends to `answer`, which replies on the
// client's socket (or does not); ends when the client goes or `answer` returns false.
class StandInGuard {
public:
    using Answer = std::function<bool(const Request&, int client)>;

    StandInGuard(const std::filesystem::path& path, Answer answer) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.string().size() + 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        thread_ = std::thread([this, answer = std::move(answer)] { Serve(answer); });
    }
    ~StandInGuard() {
        ::shutdown(listener_, SHUT_RDWR);
        Join();
        ::close(listener_);
    }
    StandInGuard(const StandInGuard&) = delete;
    StandInGuard& operator=(const StandInGuard&) = delete;

    // Waits until the client went; then `requests` holds all it sent.
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<Request> requests;

private:
    void Serve(const Answer& answer) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        std::vector<std::uint8_t> buffer;
        bool going = true;
        while (going) {
            std::uint8_t chunk[4096];
            const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.insert(buffer.end(), chunk, chunk + n);
            Request request;
            std::size_t consumed = 0;
            while (going && ParseRequest(buffer, request, consumed) == ParseStatus::Complete) {
                buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
                requests.push_back(request);
                going = answer(request, client);
            }
        }
        ::close(client);
    }

    int listener_ = -1;
    std::thread thread_;
};

bool Reply(int client, Op op, Result result = Result::Ok, int descriptor = -1) {
    guard::Reply reply;
    reply.op = op;
    reply.result = result;
    reply.state.packet_filter = true;
    const std::vector<std::uint8_t> bytes = EncodeReply(reply);
    iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (descriptor >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    }
    return ::sendmsg(client, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

class GuardLinkTest : public ::testing::Test {
protected:
    std::string Path() const { return (folder.path() / "guard.sock").string(); }
    test::TempDir folder;
};

TEST_F(GuardLinkTest, EachRequestGetsItsReplyAndTheBaitSocketArrivesWithIt) {
    int pipe_ends[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipe_ends), 0);
    StandInGuard guard(folder.path() / "guard.sock", [&](const Request& request, int client) {
        return Reply(client, request.op, Result::Ok, request.op == Op::BaitSocket ? pipe_ends[0] : -1);
    });
    auto link = MakeGuardLink(Path());
    ASSERT_TRUE(link->Connect());
    EXPECT_TRUE(link->Connected());
    EXPECT_FALSE(link->HungUp());
    ASSERT_TRUE(link->Status().has_value());
    EXPECT_TRUE(link->Status()->packet_filter);
    EXPECT_TRUE(link->SetBlockInternet(true));
    // The descriptor handed over is the stand-in's pipe: what goes in at the other end comes out.
    const int bait = link->TakeBaitSocket();
    ASSERT_GE(bait, 0);
    ASSERT_EQ(::write(pipe_ends[1], "b", 1), 1);
    char byte = 0;
    EXPECT_EQ(::read(bait, &byte, 1), 1);
    EXPECT_EQ(byte, 'b');
    CloseDescriptor(bait);
    link.reset();
    guard.Join();
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    ASSERT_EQ(guard.requests.size(), 5u);
    EXPECT_EQ(guard.requests[3].op, Op::SetBlockInternet);
    EXPECT_TRUE(guard.requests[3].on);
    EXPECT_EQ(guard.requests[4].op, Op::BaitSocket);
}

TEST_F(GuardLinkTest, LargeSetChangesGoInPiecesOfWhichOnlyTheFirstEmptiesTheSets) {
    StandInGuard guard(folder.path() / "guard.sock",
                       [](const Request& request, int client) { return Reply(client, request.op); });
    auto link = MakeGuardLink(Path());
    ASSERT_TRUE(link->Connect());
    std::vector<std::string> add;
    for (std::size_t i = 0; i < kMaxAddresses + 10; ++i)
        add.push_back("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                      std::to_string(i % 256));
    const std::vector<std::string> remove = {"fd00::1", "no address"};
    ASSERT_TRUE(link->UpdateBlocked(true, add, remove));
    link.reset();
    guard.Join();
    ASSERT_EQ(guard.requests.size(), 3u);
    const Request& first = guard.requests[1];
    const Request& second = guard.requests[2];
    EXPECT_TRUE(first.clear);
    EXPECT_FALSE(second.clear);
    // The text that is no address is left out; the removal goes first, the additions fill up.
    EXPECT_EQ(first.remove.size(), 1u);
    EXPECT_EQ(first.add.size() + first.remove.size(), kMaxAddresses);
    EXPECT_EQ(first.add.size() + second.add.size(), add.size());
    EXPECT_EQ(FormatAddress(second.add.back()), add.back());
}

TEST_F(GuardLinkTest, SharedSetChangesGoInPiecesRemovalsFirstAndTheirRefusalsAreKept) {
    // Each piece's reply refuses the piece's first addition.
    StandInGuard guard(folder.path() / "guard.sock", [](const Request& request, int client) {
        guard::Reply reply;
        reply.op = request.op;
        if (request.op == Op::UpdateShared && !request.shared_add.empty())
            reply.refused_spans = {{request.shared_add.front().span, Refusal::Gateway}};
        const auto bytes = EncodeReply(reply);
        return ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    });
    auto link = MakeGuardLink(Path());
    ASSERT_TRUE(link->Connect());
    const auto span = [](std::size_t i) {
        AddressSpan s;
        s.first.bytes = {11, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8),
                         static_cast<std::uint8_t>(i)};
        s.last = s.first;
        return s;
    };
    std::vector<SharedElement> add;
    std::vector<AddressSpan> remove;
    for (std::size_t i = 0; i < 2 * kMaxSharedElements; ++i) add.push_back({span(i), 60});
    for (std::size_t i = 0; i < kMaxSharedElements + 5; ++i) remove.push_back(span(i));
    ASSERT_TRUE(link->UpdateShared(true, add, remove));
    const auto refused = link->TakeRefusedSpans();
    EXPECT_TRUE(link->TakeRefusedSpans().empty());
    link.reset();
    guard.Join();
    ASSERT_EQ(guard.requests.size(), 5u);
    std::vector<SharedElement> added;
    std::vector<AddressSpan> removed;
    for (std::size_t i = 1; i < guard.requests.size(); ++i) {
        const Request& piece = guard.requests[i];
        EXPECT_EQ(piece.clear, i == 1) << i;
        EXPECT_LE(piece.shared_add.size() + piece.shared_remove.size(), kMaxSharedElements);
        // No addition goes before the last removal.
        if (!piece.shared_add.empty()) {
            EXPECT_EQ(removed.size() + piece.shared_remove.size(), remove.size()) << i;
        }
        added.insert(added.end(), piece.shared_add.begin(), piece.shared_add.end());
        removed.insert(removed.end(), piece.shared_remove.begin(), piece.shared_remove.end());
    }
    EXPECT_EQ(added, add);
    EXPECT_EQ(removed, remove);
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(refused[0].span, span(0));
    EXPECT_EQ(refused[1].span, span(kMaxSharedElements - 5));
    EXPECT_EQ(refused[2].reason, Refusal::Gateway);
}

TEST_F(GuardLinkTest, AReplyToAnotherRequestOrNoReplyInTimeLeavesTheLinkDisconnected) {
    StandInGuard guard(folder.path() / "guard.sock", [](const Request& request, int client) {
        if (request.op == Op::Status) return Reply(client, Op::Status);
        if (request.op == Op::SetBlockInternet) return Reply(client, Op::TearDown);
        return true;  // no answer at all
    });
    auto link = MakeGuardLink(Path());
    ASSERT_TRUE(link->Connect());
    EXPECT_FALSE(link->SetBlockInternet(true));
    EXPECT_FALSE(link->Connected());
    EXPECT_TRUE(link->HungUp());
    EXPECT_FALSE(link->Status().has_value());

    StandInGuard silent(folder.path() / "silent.sock", [](const Request& request, int client) {
        return request.op == Op::Status ? Reply(client, Op::Status) : true;
    });
    auto quiet = MakeGuardLink((folder.path() / "silent.sock").string());
    ASSERT_TRUE(quiet->Connect());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(quiet->TakeBaitSocket(), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_FALSE(quiet->Connected());
}

TEST_F(GuardLinkTest, NoGuardAtThePathMeansNoConnection) {
    auto link = MakeGuardLink(Path());
    EXPECT_FALSE(link->Connect());
    EXPECT_FALSE(link->Connected());
    EXPECT_TRUE(link->HungUp());
    EXPECT_FALSE(link->SetBlockInternet(false));
}

}  // namespace
}  // namespace velmor::guard
