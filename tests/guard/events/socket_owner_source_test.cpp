// The owner program against the real kernel, in network namespaces made by the test: who connected,
// listened and accepted each socket, and the last counts of those that close.

#include "velmor/guard/socket_owner_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "velmor/platform/socket_owners.h"
#include "velmor/test/socket_checks.h"
#include "velmor/test/test_network.h"

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libbpf.so\n";
}

namespace velmor::guard {
namespace {

using test::Fd;
using test::TestNetwork;

constexpr const char* kLocal = TestNetwork::kLocalAddress;
constexpr const char* kRemote = TestNetwork::kRemoteAddress;

std::uint64_t NamespaceInode(const std::string& name) {
    struct stat status {};
    EXPECT_EQ(::stat(("/run/netns/" + name).c_str(), &status), 0) << name;
    return status.st_ino;
}

std::uint64_t Cookie(int fd) {
    std::uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size), 0) << std::strerror(errno);
    return cookie;
}

std::string OwnName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool CollectUntil(SocketOwnerSource& source, std::vector<SocketOwnerEvent>& events,
                  const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd entry{source.fd(), POLLIN, 0};
        ::poll(&entry, 1, 50);
        const auto result = source.Drain([&](const SocketOwnerEvent& event) { events.push_back(event); });
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.malformed, 0u);
    }
    return true;
}

const SocketOwnerEvent* Find(const std::vector<SocketOwnerEvent>& events, std::uint64_t cookie,
                             SocketOwnerEvent::Kind kind) {
    for (const SocketOwnerEvent& event : events)
        if (event.cookie == cookie && event.kind == kind) return &event;
    return nullptr;
}

class SocketOwnerSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        SocketOwnerSource::Options options;
        options.netns_inode = NamespaceInode(net.local());
        ASSERT_TRUE(source.Open(options)) << source.failure_reason();
    }
    TestNetwork net;
    SocketOwnerSource source;
    std::vector<SocketOwnerEvent> events;
};

// Listen, connect and accept each name this process, by its thread group's name even from a thread
// with a name of its own; the map keeps the owners of live sockets.
TEST_F(SocketOwnerSourceTest, NamesTheProcessThatListensConnectsAndAccepts) {
    Fd listener, accepted, outgoing, remote_listener, remote_client;
    TestNetwork::RunIn(net.remote(), [&] { remote_listener = test::Listen4(kRemote, 7300); });
    TestNetwork::RunIn(net.local(), [&] {
        listener = test::Listen4(kLocal, 7301);
        // A thread of its own name connects: the record names the process.
        std::thread worker([&] {
            ::prctl(PR_SET_NAME, "worker-thread");
            outgoing = test::Connect4(kRemote, 7300);
        });
        worker.join();
    });
    TestNetwork::RunIn(net.remote(), [&] { remote_client = test::Connect4(kLocal, 7301); });
    accepted = test::Accept(listener);
    ASSERT_TRUE(accepted.valid() && outgoing.valid());

    const std::uint64_t listening = Cookie(listener.get());
    const std::uint64_t connected = Cookie(outgoing.get());
    const std::uint64_t taken = Cookie(accepted.get());
    ASSERT_TRUE(CollectUntil(source, events, [&] {
        return Find(events, listening, SocketOwnerEvent::Kind::kListen) &&
               Find(events, connected, SocketOwnerEvent::Kind::kConnect) &&
               Find(events, taken, SocketOwnerEvent::Kind::kAccept);
    }));
    platform::ProcessIdentity self;
    ASSERT_TRUE(platform::ReadProcessIdentity(static_cast<std::uint32_t>(::getpid()), self));
    for (const std::uint64_t cookie : {listening, connected, taken}) {
        const auto owner = source.Lookup(cookie);
        ASSERT_TRUE(owner) << cookie;
        EXPECT_EQ(owner->tgid, static_cast<std::uint32_t>(::getpid()));
        EXPECT_EQ(owner->uid, ::getuid());
        EXPECT_EQ(owner->name, OwnName());
        // The start the kernel took is the one /proc counts in ticks.
        EXPECT_EQ(platform::BootNanosecondsToTicks(owner->start_ns), self.start_ticks);
    }
    const SocketOwnerEvent* accept = Find(events, taken, SocketOwnerEvent::Kind::kAccept);
    ASSERT_NE(accept, nullptr);
    EXPECT_EQ(accept->local_port, 7301);
    EXPECT_EQ(accept->remote[0], 10);
    EXPECT_EQ(accept->remote[3], 2);
    // The remote namespace's sockets are not this program's business.
    EXPECT_FALSE(source.Lookup(Cookie(remote_client.get())));
    EXPECT_FALSE(source.Lookup(Cookie(remote_listener.get())));
}

// A socket that closes having moved bytes tells its last counts; its owner entry goes with it. A
// child process that connects is named by its own pid and name.
TEST_F(SocketOwnerSourceTest, AClosingSocketTellsItsLastCountsAndOwner) {
    Fd listener;
    TestNetwork::RunIn(net.remote(), [&] { listener = test::Listen4(kRemote, 7310); });
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_t child = -1;
    TestNetwork::RunIn(net.local(), [&] {
        child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_NAME, "owner-child");
            Fd fd = test::Connect4(kRemote, 7310);
            std::uint64_t cookie = Cookie(fd.get());
            const std::vector<char> bytes(5000, 'x');
            if (::send(fd.get(), bytes.data(), bytes.size(), 0) != 5000) ::_exit(2);
            // Waits until the other side has everything, so the count acknowledged is all of it.
            char ack = 0;
            if (::recv(fd.get(), &ack, 1, 0) != 1) ::_exit(3);
            if (::write(pipe_fds[1], &cookie, sizeof cookie) != sizeof cookie) ::_exit(4);
            ::_exit(0);
        }
    });
    ASSERT_GT(child, 0);
    Fd accepted = test::Accept(listener);
    ASSERT_TRUE(accepted.valid());
    std::vector<char> got(5000);
    std::size_t have = 0;
    while (have < got.size()) {
        const ssize_t n = ::recv(accepted.get(), got.data() + have, got.size() - have, 0);
        ASSERT_GT(n, 0);
        have += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(::send(accepted.get(), "k", 1, 0), 1);
    std::uint64_t cookie = 0;
    ASSERT_EQ(::read(pipe_fds[0], &cookie, sizeof cookie), static_cast<ssize_t>(sizeof cookie));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    accepted.Reset();  // both ends closed: the child's socket reaches CLOSE

    ASSERT_TRUE(
        CollectUntil(source, events, [&] { return Find(events, cookie, SocketOwnerEvent::Kind::kClose); }));
    const SocketOwnerEvent* connect = Find(events, cookie, SocketOwnerEvent::Kind::kConnect);
    ASSERT_NE(connect, nullptr);
    ASSERT_TRUE(connect->owner);
    EXPECT_EQ(connect->owner->tgid, static_cast<std::uint32_t>(child));
    EXPECT_EQ(connect->owner->name, "owner-child");
    ASSERT_TRUE(connect->owner);
    const SocketOwnerEvent* close = Find(events, cookie, SocketOwnerEvent::Kind::kClose);
    ASSERT_NE(close, nullptr);
    ASSERT_TRUE(close->owner);
    EXPECT_EQ(close->owner->tgid, static_cast<std::uint32_t>(child));
    // The kernel counts in sequence space: a SYN and a FIN take one each and may be in them.
    EXPECT_GE(close->bytes_acked, 5000u);
    EXPECT_LE(close->bytes_acked, 5002u);
    EXPECT_GE(close->bytes_received, 1u);
    EXPECT_LE(close->bytes_received, 3u);
    EXPECT_EQ(close->remote_port, 7310);
    EXPECT_FALSE(source.Lookup(cookie));
}

}  // namespace
}  // namespace velmor::guard
