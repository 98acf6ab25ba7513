// The shared sets of a real velmor-guard, in network namespaces of the test's own: spans drop packets
// both ways, timeouts lift them by themselves, a large replace lands whole, lifelines are never
// blocked, and clients of version 3 are served as before. Root needed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "velmor/guard/guard_link.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;
using guard::AddressSpan;
using guard::SharedElement;

guard::Address A(const std::string& text) {
    guard::Address address;
    EXPECT_TRUE(guard::ParseAddress(text, address)) << text;
    return address;
}

AddressSpan Span(const std::string& first, const std::string& last) {
    return {A(first), A(last)};
}

guard::Address V4(std::uint32_t value) {
    guard::Address a;
    for (int i = 0; i < 4; ++i)
        a.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return a;
}

// Whether a TCP handshake from `netns` (from `source` when given) to `address`:`port` completes
// within `timeout`.
bool Connects(const std::string& netns, const std::string& address, int port, const std::string& source = "",
              std::chrono::milliseconds timeout = 600ms) {
    return ConnectsWithin(netns, address, port, timeout, source);
}

// Whether a datagram sent from `from` to `address` reaches a UDP socket of the remote namespace
// `to`: a drop on the way out shows here, where a TCP handshake would fail at its answer anyway.
bool DatagramArrives(const std::string& from, const std::string& to, const std::string& address) {
    Fd receiver;
    TestNetwork::RunIn(to, [&] {
        receiver = Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(9191);
        if (::bind(receiver.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) receiver.Reset();
    });
    if (!receiver.valid()) return false;
    TestNetwork::RunIn(from, [&] {
        Fd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(9191);
        ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        const char byte = 'u';
        ::sendto(sender.get(), &byte, 1, 0, reinterpret_cast<sockaddr*>(&where), sizeof where);
    });
    pollfd entry{receiver.get(), POLLIN, 0};
    return ::poll(&entry, 1, 700) == 1;
}

class SharedSetsInNamespaces : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        const auto program = BuiltProgramFolder().parent_path() / "libexec" / "velmor-guard";
        ASSERT_TRUE(std::filesystem::exists(program)) << program;
        socket_path = (run / "guard.sock").string();
        guard = std::make_unique<ChildProcess>(std::vector<std::string>{
            "ip", "netns", "exec", net.local(), VELMOR_GUARD_AS_UNIT, program.string(), "--socket",
            socket_path, "--group", "0", "--first-strike", "off", "--owners", "off"});
        ASSERT_TRUE(guard->started());
        ASSERT_TRUE(WaitUntil([&] { return (link = Link()) != nullptr; }, 10s))
            << "the guard did not come up";
        // Listeners on both hosts: 8080 in the monitored one, 9090 on the remote one.
        local_listener = Fd(ListenIn(net.local(), "::", 8080));
        remote_listener = Fd(ListenIn(net.remote(), "::", 9090));
        ASSERT_TRUE(local_listener.valid() && remote_listener.valid());
    }

    // A link from the monitored namespace (the guard serves its own only); nullptr when none answers.
    std::unique_ptr<guard::GuardLink> Link() {
        auto made = guard::MakeGuardLink(socket_path);
        bool connected = false;
        TestNetwork::RunIn(net.local(), [&] { connected = made->Connect(); });
        return connected ? std::move(made) : nullptr;
    }
    bool Holds(const std::string& set, const std::string& element) {
        return ShellOutput("ip netns exec " + net.local() + " nft get element inet velmor " + set + " '{ " +
                           element + " }' 2>/dev/null")
                   .find(element) != std::string::npos;
    }
    bool RemoteReaches(const std::string& source) {
        return Connects(net.remote(), TestNetwork::kLocalAddress, 8080, source);
    }

    TestNetwork net;
    TempDir run;
    std::string socket_path;
    std::unique_ptr<ChildProcess> guard;
    std::unique_ptr<guard::GuardLink> link;
    Fd local_listener, remote_listener;
};

TEST_F(SharedSetsInNamespaces, ASpanDropsBothWaysUntilItsTimeoutLiftsIt) {
    ASSERT_TRUE(net.AddRemoteAddresses({"10.77.0.40", "10.77.0.41", "10.77.0.60"}));
    ASSERT_TRUE(RemoteReaches("10.77.0.40"));
    const auto before = link->Status();
    ASSERT_TRUE(before && before->shared_sets);

    const std::vector<SharedElement> add = {
        {Span("10.77.0.32", "10.77.0.47"), 5},
        {Span(TestNetwork::kRemoteAddress6, TestNetwork::kRemoteAddress6), 0}};
    ASSERT_TRUE(link->UpdateShared(false, add, {}));
    const auto added = std::chrono::steady_clock::now();
    EXPECT_TRUE(link->TakeRefusedSpans().empty());
    const auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->shared_v4, 1u);
    EXPECT_EQ(state->shared_v6, 1u);
    // Inside the span nothing comes in or goes out; next to it everything does.
    EXPECT_FALSE(RemoteReaches("10.77.0.40"));
    EXPECT_FALSE(Connects(net.local(), "10.77.0.41", 9090));
    EXPECT_FALSE(DatagramArrives(net.local(), net.remote(), "10.77.0.41"));
    EXPECT_TRUE(DatagramArrives(net.local(), net.remote(), "10.77.0.60"));
    EXPECT_TRUE(RemoteReaches("10.77.0.60"));
    EXPECT_TRUE(RemoteReaches(TestNetwork::kRemoteAddress));
    EXPECT_FALSE(Connects(net.remote(), TestNetwork::kLocalAddress6, 8080));
    EXPECT_FALSE(Connects(net.local(), TestNetwork::kRemoteAddress6, 9090));

    // The kernel lifts the span at its timeout, the guard asked for nothing.
    EXPECT_TRUE(WaitUntil([&] { return RemoteReaches("10.77.0.40"); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - added, 4500ms) << "lifted before its time";
    EXPECT_TRUE(Connects(net.local(), "10.77.0.41", 9090));
    EXPECT_FALSE(Connects(net.remote(), TestNetwork::kLocalAddress6, 8080)) << "the lasting one went too";
    // A removal of the span that expired is no error, and the lasting one leaves when asked.
    const std::vector<AddressSpan> remove = {add[0].span, add[1].span};
    ASSERT_TRUE(link->UpdateShared(false, {}, remove));
    // The neighbour entries the drops let lapse are found again first.
    EXPECT_TRUE(WaitUntil([&] { return Connects(net.remote(), TestNetwork::kLocalAddress6, 8080); }, 5s));
    EXPECT_EQ(link->Status()->shared_v6, 0u);
}

TEST_F(SharedSetsInNamespaces, AReplaceOfALargeSetLandsWholeAndTakesThePreviousOneAway) {
    ASSERT_TRUE(net.AddRemoteAddresses({"10.77.0.40", "10.77.0.60"}));
    // 30,000 elements, more than four requests hold: every tenth a range of 16, the rest single
    // addresses, in 11.0.0.0/8 and one span over 10.77.0.40.
    const auto make = [](std::uint32_t base, std::size_t count) {
        std::vector<SharedElement> elements;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t first = base + i * 16;
            elements.push_back({{V4(first), V4(i % 10 == 0 ? first + 15 : first)}, 3600});
        }
        return elements;
    };
    auto first = make((11u << 24), 30'000);
    first.push_back({Span("10.77.0.40", "10.77.0.40"), 0});
    ASSERT_GT(first.size(), 4 * guard::kMaxSharedElements);
    ASSERT_TRUE(link->UpdateShared(true, first, {}));
    auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->shared_v4, first.size());
    EXPECT_FALSE(RemoteReaches("10.77.0.40"));
    EXPECT_TRUE(RemoteReaches("10.77.0.60"));
    // The first and the last request's elements are both in the kernel's sets.
    EXPECT_TRUE(Holds("shared4_ranges", "11.0.0.0/28"));
    EXPECT_TRUE(Holds("shared4", guard::FormatAddress(first[first.size() - 2].span.first)));

    // The next replace holds none of them.
    auto second = make((12u << 24), 30'000);
    ASSERT_TRUE(link->UpdateShared(true, second, {}));
    state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->shared_v4, second.size());
    EXPECT_TRUE(RemoteReaches("10.77.0.40"));
    EXPECT_FALSE(Holds("shared4_ranges", "11.0.0.0/28"));
    EXPECT_FALSE(Holds("shared4", guard::FormatAddress(first[first.size() - 2].span.first)));
    EXPECT_TRUE(Holds("shared4_ranges", "12.0.0.0/28"));

    // Many ranges leaving at once (the guard writes that set afresh) leave the others in place.
    std::vector<AddressSpan> leaving;
    for (std::size_t i = 0; i < second.size(); i += 10) leaving.push_back(second[i].span);
    ASSERT_TRUE(link->UpdateShared(false, {}, leaving));
    EXPECT_EQ(link->Status()->shared_v4, second.size() - leaving.size());
    EXPECT_FALSE(Holds("shared4_ranges", "12.0.0.0/28"));
    EXPECT_TRUE(Holds("shared4", guard::FormatAddress(second[1].span.first)));

    // The session's end empties them.
    link.reset();
    EXPECT_TRUE(WaitUntil([&] { return !Holds("shared4", guard::FormatAddress(second[1].span.first)); }, 5s));
}

TEST_F(SharedSetsInNamespaces, ASpanOverALifelineIsRefusedOrTakenOutWhenOneAppearsInside) {
    const std::vector<SharedElement> add = {{Span("10.77.0.0", "10.77.0.255"), 0},      // its own address
                                            {Span("126.0.0.0", "127.255.255.255"), 0},  // loopback
                                            {Span("fd00:77::", "fd00:77::ffff"), 0},    // its own IPv6
                                            {Span("10.77.1.0", "10.77.1.255"), 0}};
    ASSERT_TRUE(link->UpdateShared(false, add, {}));
    const auto refused = link->TakeRefusedSpans();
    ASSERT_EQ(refused.size(), 3u);
    EXPECT_EQ(refused[0].reason, guard::Refusal::OwnAddress);
    EXPECT_EQ(refused[1].reason, guard::Refusal::Loopback);
    EXPECT_EQ(refused[2].span, add[2].span);
    EXPECT_EQ(refused[2].reason, guard::Refusal::OwnAddress);
    EXPECT_EQ(link->Status()->shared_v4, 1u);
    EXPECT_TRUE(RemoteReaches(""));
    EXPECT_TRUE(Connects(net.local(), "127.0.0.1", 8080));

    // The remote host becomes the default gateway while a span holds it: the guard takes the span
    // out on its own, and the next reply names it.
    const std::vector<SharedElement> remote = {{Span("10.77.0.2", "10.77.0.3"), 0}};
    ASSERT_TRUE(link->UpdateShared(false, remote, {}));
    EXPECT_FALSE(RemoteReaches(""));
    ASSERT_EQ(TestNetwork::Exec(net.local(), "ip route add default via 10.77.0.2"), 0);
    EXPECT_TRUE(WaitUntil([&] { return RemoteReaches(""); }, 5s));
    ASSERT_TRUE(link->UpdateShared(false, {}, {}));
    const auto dropped = link->TakeRefusedSpans();
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].span, remote[0].span);
    EXPECT_EQ(dropped[0].reason, guard::Refusal::Gateway);
    // Now it is refused at once.
    ASSERT_TRUE(link->UpdateShared(false, remote, {}));
    EXPECT_EQ(link->TakeRefusedSpans().size(), 1u);
    EXPECT_EQ(link->Status()->shared_v4, 1u);
}

// One request and its reply on a connection of the caller's, in any version.
std::optional<guard::Reply> Ask(int fd, const guard::Request& request) {
    const auto bytes = guard::EncodeRequest(request);
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        return std::nullopt;
    std::vector<std::uint8_t> in;
    std::uint8_t chunk[4096];
    while (true) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 3000) != 1) return std::nullopt;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return std::nullopt;
        in.insert(in.end(), chunk, chunk + n);
        guard::Reply reply;
        std::size_t consumed = 0;
        const auto status = guard::ParseReply(in, reply, consumed);
        if (status == guard::ParseStatus::Complete) return reply;
        if (status != guard::ParseStatus::Incomplete) return std::nullopt;
    }
}

TEST_F(SharedSetsInNamespaces, AClientOfVersionThreeIsServedAsBeforeAndCannotAskForThem) {
    Fd old;
    TestNetwork::RunIn(net.local(), [&] {
        old = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
        if (::connect(old.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) old.Reset();
    });
    ASSERT_TRUE(old.valid());
    guard::Request status;
    status.version = 3;
    const auto reply = Ask(old.get(), status);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->version, 3);
    EXPECT_TRUE(reply->state.packet_filter);
    EXPECT_FALSE(reply->state.shared_sets);
    guard::Request blocked;
    blocked.op = guard::Op::UpdateBlocked;
    blocked.version = 3;
    blocked.add = {A("10.77.0.2")};
    ASSERT_TRUE(Ask(old.get(), blocked).has_value());
    EXPECT_FALSE(RemoteReaches(""));
    // The newest client beside it has the shared sets; the old one cannot name them.
    const std::vector<SharedElement> add = {{Span("10.77.9.0", "10.77.9.255"), 0}};
    EXPECT_TRUE(link->UpdateShared(false, add, {}));
    guard::Request shared;
    shared.op = guard::Op::UpdateShared;
    shared.version = 3;
    shared.shared_add = add;
    EXPECT_FALSE(Ask(old.get(), shared).has_value()) << "a version 3 frame with the new request was served";
    EXPECT_EQ(link->Status()->shared_v4, 1u);
}

}  // namespace
}  // namespace velmor::test
