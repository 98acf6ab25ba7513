// The kernel event source against the real kernel, in network namespaces made by the test. The BPF
// program only reads the tracepoint and only reports the namespace it was given.

#include "velmor/guard/socket_event_source.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "velmor/guard/guard_events.h"
#include "velmor/platform/socket_lookup.h"
#include "velmor/test/socket_checks.h"
#include "velmor/test/test_network.h"

// libbpf keeps the kernel's BTF it parsed while looking for a tracepoint that does not exist.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libbpf.so\n";
}

namespace velmor::guard {
namespace {

using test::Fd;
using test::TestNetwork;

constexpr const char* kLocal = TestNetwork::kLocalAddress;
constexpr const char* kRemote = TestNetwork::kRemoteAddress;
constexpr const char* kLocal6 = "fd00:77::1";
constexpr std::uint8_t kEstablished = 1;
constexpr std::uint8_t kSynSent = 2;
constexpr std::uint8_t kListen = 10;

std::uint64_t NamespaceInode(const std::string& name) {
    struct stat status {};
    EXPECT_EQ(::stat(("/run/netns/" + name).c_str(), &status), 0) << name;
    return status.st_ino;
}

std::uint64_t Cookie(const Fd& fd) {
    std::uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_COOKIE, &cookie, &size), 0) << std::strerror(errno);
    return cookie;
}

std::uint16_t PortOf(const Fd& fd) {
    sockaddr_storage where{};
    socklen_t size = sizeof where;
    EXPECT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&where), &size), 0);
    if (where.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&where)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&where)->sin6_port);
}

std::array<std::uint8_t, 16> Address(int family, const char* text) {
    std::array<std::uint8_t, 16> bytes{};
    EXPECT_EQ(::inet_pton(family, text, bytes.data()), 1) << text;
    return bytes;
}

// Drains the source until `done` holds or five seconds have passed; the machine may be busy.
bool CollectUntil(SocketEventSource& source, std::vector<EventRecord>& events,
                  const std::function<bool(const std::vector<EventRecord>&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done(events)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd entry{source.fd(), POLLIN, 0};
        ::poll(&entry, 1, 50);
        const auto result = source.Drain([&](const EventRecord& event) { events.push_back(event); });
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.malformed, 0u);
        EXPECT_EQ(result.lost, 0u);
    }
    return true;
}

enum class Step { kEnters, kConnects, kLeaves };

const EventRecord* Find(const std::vector<EventRecord>& events, std::uint64_t cookie, Step step) {
    const auto found = std::find_if(events.begin(), events.end(), [&](const EventRecord& event) {
        if (event.cookie != cookie) return false;
        switch (step) {
            case Step::kEnters:
                return EntersTable(event);
            case Step::kConnects:
                return Connects(event);
            case Step::kLeaves:
                return LeavesTable(event);
        }
        return false;
    });
    return found == events.end() ? nullptr : &*found;
}

class SocketEventSourceTest : public ::testing::Test {
protected:
    TestNetwork network;
};

TEST_F(SocketEventSourceTest, ReportsIpv4DualStackAndIpv6SocketsOfItsNamespaceOnly) {
    ASSERT_TRUE(network.ok());
    ASSERT_EQ(
        TestNetwork::Exec(network.local(), std::string("ip -6 addr add ") + kLocal6 + "/128 dev lo nodad"),
        0);

    SocketEventSource source;
    SocketEventSource::Options options;
    options.netns_inode = NamespaceInode(network.local());
    ASSERT_TRUE(source.Open(options)) << FailureName(source.failure()) << ": " << source.failure_reason();
    EXPECT_GE(source.fd(), 0);
    EXPECT_EQ(source.netns_inode(), options.netns_inode);

    // A whole connection's life in the other namespace: none of it may be reported.
    TestNetwork::RunIn(network.remote(), [&] {
        Fd listener = test::Listen4(kRemote, 47001);
        Fd client = test::Connect4(kRemote, 47001);
        Fd accepted = test::Accept(listener);
    });

    std::vector<EventRecord> events;
    std::vector<std::uint64_t> ours;
    TestNetwork::RunIn(network.local(), [&] {
        Fd listener4 = test::Listen4(kLocal, 47010);
        Fd client4 = test::Connect4(kLocal, 47010);
        Fd accepted4 = test::Accept(listener4);
        Fd listener_dual = test::Listen6("::", 47020, false);
        Fd client_dual = test::Connect4(kLocal, 47020);
        Fd accepted_dual = test::Accept(listener_dual);
        Fd listener6 = test::Listen6(kLocal6, 47030, true);
        Fd client6 = test::Connect6(kLocal6, 47030);
        Fd accepted6 = test::Accept(listener6);
        const std::vector<std::uint64_t> cookies = {
            Cookie(listener4),     Cookie(client4),     Cookie(accepted4),
            Cookie(listener_dual), Cookie(client_dual), Cookie(accepted_dual),
            Cookie(listener6),     Cookie(client6),     Cookie(accepted6)};
        const std::vector<std::uint64_t> connections = {Cookie(client4),     Cookie(accepted4),
                                                        Cookie(client_dual), Cookie(accepted_dual),
                                                        Cookie(client6),     Cookie(accepted6)};
        const auto all_entered = [&](const std::vector<EventRecord>& seen) {
            return std::all_of(
                       cookies.begin(), cookies.end(),
                       [&](std::uint64_t cookie) { return Find(seen, cookie, Step::kEnters) != nullptr; }) &&
                   std::all_of(connections.begin(), connections.end(), [&](std::uint64_t cookie) {
                       return Find(seen, cookie, Step::kConnects) != nullptr;
                   });
        };
        ASSERT_TRUE(CollectUntil(source, events, all_entered)) << events.size() << " events";

        // IPv4: the listener, the connecting side and the accepted side, each with its own cookie.
        const EventRecord* listen = Find(events, Cookie(listener4), Step::kEnters);
        EXPECT_EQ(listen->family, EventRecord::kInet);
        EXPECT_EQ(listen->new_state, kListen);
        EXPECT_EQ(listen->local_port, 47010);
        const EventRecord* connect = Find(events, Cookie(client4), Step::kEnters);
        EXPECT_EQ(connect->new_state, kSynSent);
        EXPECT_EQ(connect->remote, Address(AF_INET, kLocal));
        EXPECT_EQ(connect->remote_port, 47010);
        const EventRecord* connected = Find(events, Cookie(client4), Step::kConnects);
        EXPECT_EQ(connected->local_port, PortOf(client4));
        EXPECT_EQ(connected->local, Address(AF_INET, kLocal));
        const EventRecord* accept = Find(events, Cookie(accepted4), Step::kEnters);
        EXPECT_EQ(accept, Find(events, Cookie(accepted4), Step::kConnects));  // one event, both
        EXPECT_EQ(accept->family, EventRecord::kInet);
        EXPECT_EQ(accept->new_state, kEstablished);
        EXPECT_EQ(accept->local, Address(AF_INET, kLocal));
        EXPECT_EQ(accept->local_port, 47010);
        EXPECT_EQ(accept->remote, Address(AF_INET, kLocal));
        EXPECT_EQ(accept->remote_port, PortOf(client4));

        // A dual-stack listener's connection is an IPv6 socket with IPv4-mapped addresses.
        const EventRecord* dual = Find(events, Cookie(accepted_dual), Step::kEnters);
        EXPECT_EQ(dual->family, EventRecord::kInet6);
        EXPECT_TRUE(IsIpv4Mapped(*dual));
        EXPECT_EQ(dual->remote, Address(AF_INET6, "::ffff:10.77.0.1"));
        EXPECT_EQ(dual->local_port, 47020);
        EXPECT_EQ(dual->remote_port, PortOf(client_dual));

        const EventRecord* pure = Find(events, Cookie(accepted6), Step::kEnters);
        EXPECT_EQ(pure->family, EventRecord::kInet6);
        EXPECT_FALSE(IsIpv4Mapped(*pure));
        EXPECT_EQ(pure->local, Address(AF_INET6, kLocal6));
        EXPECT_EQ(pure->remote, Address(AF_INET6, kLocal6));
        EXPECT_EQ(pure->remote_port, PortOf(client6));

        // The event names the socket exactly: one lookup by its id finds it.
        platform::SocketLookup lookup;
        for (const EventRecord* event : {accept, connected, dual, pure}) {
            platform::SocketRow row;
            ASSERT_EQ(lookup.Find(SocketIdOf(*event), row), platform::SocketLookupStatus::kFound);
            EXPECT_EQ(row.linux_state, kEstablished);
            EXPECT_EQ(row.id.cookie[0], static_cast<std::uint32_t>(event->cookie));
        }
        // The sockets close here; each one's leaving is reported below.
        events.erase(std::remove_if(events.begin(), events.end(),
                                    [](const EventRecord& event) { return LeavesTable(event); }),
                     events.end());
        const std::vector<std::uint64_t> closing = cookies;
        ours = cookies;
        listener4.Reset(), client4.Reset(), accepted4.Reset(), listener_dual.Reset(), client_dual.Reset();
        accepted_dual.Reset(), listener6.Reset(), client6.Reset(), accepted6.Reset();
        const auto all_left = [&](const std::vector<EventRecord>& seen) {
            return std::all_of(closing.begin(), closing.end(), [&](std::uint64_t cookie) {
                return Find(seen, cookie, Step::kLeaves) != nullptr;
            });
        };
        EXPECT_TRUE(CollectUntil(source, events, all_left)) << events.size() << " events";
    });

    // The local namespace had nothing but these sockets, so every event must be one of them; the
    // other namespace's port never shows up.
    for (const EventRecord& event : events) {
        EXPECT_NE(std::find(ours.begin(), ours.end(), event.cookie), ours.end())
            << "port " << event.local_port << " -> " << event.remote_port;
        EXPECT_NE(event.local_port, 47001);
        EXPECT_NE(event.remote_port, 47001);
    }
}

TEST_F(SocketEventSourceTest, OtherNamespacesTrafficWakesNothing) {
    ASSERT_TRUE(network.ok());
    SocketEventSource source;
    SocketEventSource::Options options;
    options.netns_inode = NamespaceInode(network.local());
    ASSERT_TRUE(source.Open(options)) << source.failure_reason();
    TestNetwork::RunIn(network.remote(), [&] {
        Fd listener = test::Listen4(kRemote, 47002);
        for (int i = 0; i < 20; ++i) {
            Fd client = test::Connect4(kRemote, 47002);
            Fd accepted = test::Accept(listener);
        }
    });
    // The remote namespace's sockets have all changed state by now; give the kernel a moment more.
    pollfd entry{source.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 300), 0) << "the source woke for another namespace";
    std::size_t delivered = 0;
    source.Drain([&](const EventRecord&) { ++delivered; });
    EXPECT_EQ(delivered, 0u);
}

// The outcome of Open() in a child process, written to a pipe: ok flag, failure, reason.
struct ChildOutcome {
    bool opened = true;
    SocketEventSource::Failure failure = SocketEventSource::Failure::kNone;
    std::string reason;
};

ChildOutcome OpenInChild(const std::function<void()>& prepare) {
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        prepare();
        SocketEventSource source;
        const bool opened = source.Open();
        const int failure = static_cast<int>(source.failure());
        std::string message =
            std::string(opened ? "1" : "0") + static_cast<char>('0' + failure) + source.failure_reason();
        [[maybe_unused]] const ssize_t written = ::write(channel[1], message.data(), message.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string message;
    char buffer[512];
    ssize_t got = 0;
    while ((got = ::read(channel[0], buffer, sizeof buffer)) > 0)
        message.append(buffer, static_cast<std::size_t>(got));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ChildOutcome outcome;
    if (message.size() < 2) {
        ADD_FAILURE() << "the child reported nothing";
        return outcome;
    }
    outcome.opened = message[0] == '1';
    outcome.failure = static_cast<SocketEventSource::Failure>(message[1] - '0');
    outcome.reason = message.substr(2);
    return outcome;
}

TEST(SocketEventSourceFallback, AnUnprivilegedProcessIsToldItLacksTheRights) {
    const ChildOutcome outcome = OpenInChild([] {
        // As the user nobody, with every capability gone (the kernel drops them with the uid).
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(3);
        }
    });
    EXPECT_FALSE(outcome.opened);
    EXPECT_EQ(outcome.failure, SocketEventSource::Failure::kNoRights);
    EXPECT_NE(outcome.reason.find("CAP_BPF"), std::string::npos) << outcome.reason;
}

TEST(SocketEventSourceFallback, AProgramThatCannotBeLoadedLeavesTheSourceClosedWithTheReason) {
    SocketEventSource source;
    SocketEventSource::Options options;
    options.tracepoint = "velmor_no_such_tracepoint";  // what a kernel without the tracepoint sees
    EXPECT_FALSE(source.Open(options));
    EXPECT_EQ(source.failure(), SocketEventSource::Failure::kNotSupported) << source.failure_reason();
    EXPECT_NE(source.failure_reason().find("cannot be loaded"), std::string::npos) << source.failure_reason();
    EXPECT_FALSE(source.is_open());
    EXPECT_EQ(source.fd(), -1);
    EXPECT_FALSE(source.Drain([](const EventRecord&) {}).ok);

    // Nothing of the failed attempt stays behind: the next Open works.
    ASSERT_TRUE(source.Open()) << source.failure_reason();
    EXPECT_EQ(source.failure(), SocketEventSource::Failure::kNone);
    EXPECT_TRUE(source.failure_reason().empty());
    EXPECT_EQ(source.netns_inode(), SocketEventSource::CurrentNetnsInode());
}

}  // namespace
}  // namespace velmor::guard
