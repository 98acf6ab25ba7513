// The bait listener: it holds connections open so the monitor can see them, and says why it could
// not open.
#include "velmor/shell/bait_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>

#include "velmor/platform/listen_backlog.h"
#include "velmor/test/event_loop.h"

namespace velmor::shell {
namespace {

using namespace std::chrono_literals;

bool PumpUntil(const std::function<bool()>& condition) {
    return test::ProcessEventsUntil(condition, 3s);
}

TEST(BaitListenerTest, HoldsConnectionsOpenUntilThePeerGoes) {
    BaitListener bait;
    ASSERT_TRUE(bait.Open(0));
    EXPECT_TRUE(bait.IsListening());
    EXPECT_EQ(bait.LastFailure(), BaitListener::Failure::None);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, bait.Port());
    ASSERT_TRUE(PumpUntil([&] { return bait.HeldConnections() == 1; }));
    // Data is swallowed; nothing comes back and the connection stays.
    client.write("GET / HTTP/1.0\r\n\r\n");
    test::ProcessEventsFor(100ms);
    EXPECT_EQ(client.bytesAvailable(), 0);
    EXPECT_EQ(client.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(bait.HeldConnections(), 1u);

    client.abort();
    EXPECT_TRUE(PumpUntil([&] { return bait.HeldConnections() == 0; }));
}

TEST(BaitListenerTest, TakesIpv4AndIpv6Connections) {
    BaitListener bait;
    ASSERT_TRUE(bait.Open(0));
    QTcpSocket client4;
    QTcpSocket client6;
    client4.connectToHost(QHostAddress::LocalHost, bait.Port());
    client6.connectToHost(QHostAddress::LocalHostIPv6, bait.Port());
    EXPECT_TRUE(PumpUntil([&] { return bait.HeldConnections() == 2; }));
    EXPECT_EQ(client6.state(), QAbstractSocket::ConnectedState);
}

TEST(BaitListenerTest, PastTheCapNewcomersWaitUntilTheOldestHasBeenHeldLongEnough) {
    // Closing a connection the monitor has not filed yet would hide its intruder: newcomers wait in
    // the kernel's accept queue (still in the table) until the oldest may go.
    BaitListener bait;
    bait.SetLimits(2, 400ms);
    ASSERT_TRUE(bait.Open(0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(bait.Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int clients[3];
    for (std::size_t i = 0; i < 3; ++i) {
        clients[i] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(clients[i], reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        // One at a time, so the first connected is the first held.
        ASSERT_TRUE(PumpUntil([&] {
            return bait.HeldConnections() == std::min<std::size_t>(i + 1, 2) && (i < 2 || !bait.Accepting());
        }));
    }
    ASSERT_TRUE(PumpUntil([&] { return !bait.Accepting(); }));
    EXPECT_EQ(bait.HeldConnections(), 2u);
    char byte = 0;
    EXPECT_LT(::recv(clients[0], &byte, 1, MSG_DONTWAIT), 0) << "the oldest is still held";
    // Held long enough: the oldest is closed in order and the newcomer taken.
    ssize_t got = -1;
    ASSERT_TRUE(PumpUntil([&] {
        got = ::recv(clients[0], &byte, 1, MSG_DONTWAIT);
        return got >= 0 || errno != EAGAIN;
    }));
    EXPECT_EQ(got, 0);
    EXPECT_TRUE(PumpUntil([&] { return bait.Accepting() && bait.HeldConnections() == 2; }));
    EXPECT_LT(::recv(clients[2], &byte, 1, MSG_DONTWAIT), 0);
    for (const int fd : clients) ::close(fd);
}

TEST(BaitListenerTest, CloseDropsTheListenerAndEveryHeldConnection) {
    BaitListener bait;
    ASSERT_TRUE(bait.Open(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, bait.Port());
    ASSERT_TRUE(PumpUntil([&] { return bait.HeldConnections() == 1; }));
    bait.Close();
    EXPECT_FALSE(bait.IsListening());
    EXPECT_TRUE(PumpUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
}

TEST(BaitListenerTest, TakenPortIsReportedAsSuch) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
    BaitListener bait;
    EXPECT_FALSE(bait.Open(squatter.serverPort()));
    EXPECT_FALSE(bait.IsListening());
    EXPECT_EQ(bait.LastFailure(), BaitListener::Failure::PortInUse);
}

TEST(BaitListenerTest, AdoptsAListeningSocketHandedOver) {
    // A socket that is already listening, as velmor-guard hands one over.
    QTcpServer owner;
    ASSERT_TRUE(owner.listen(QHostAddress::LocalHost, 0));
    const quint16 port = owner.serverPort();
    const int descriptor = ::dup(static_cast<int>(owner.socketDescriptor()));
    owner.close();
    ASSERT_GE(descriptor, 0);
    BaitListener bait;
    ASSERT_TRUE(bait.Adopt(descriptor));
    EXPECT_EQ(bait.Port(), port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(PumpUntil([&] { return bait.HeldConnections() == 1; }));
    // Nothing to adopt: no listener, and a failure to show.
    BaitListener none;
    EXPECT_FALSE(none.Adopt(-1));
    EXPECT_FALSE(none.IsListening());
    EXPECT_EQ(none.LastFailure(), BaitListener::Failure::Other);
}

// The accept queue is as long as the system allows: a flood of intruders waits in it instead of
// being turned away before the cycle files them. `ss` shows a listener's queue limit as Send-Q.
TEST(BaitListenerTest, ListensWithTheLongestAcceptQueueTheSystemAllows) {
    BaitListener bait;
    ASSERT_TRUE(bait.Open(0));
    const std::string command = "ss -Hltn sport = :" + std::to_string(bait.Port());
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[512];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
        ::pclose(pipe);
    }
    std::istringstream fields(out);
    std::string state, received, limit;
    fields >> state >> received >> limit;
    EXPECT_EQ(state, "LISTEN") << out;
    EXPECT_EQ(limit, std::to_string(platform::MaxListenBacklog())) << out;
}

}  // namespace
}  // namespace velmor::shell
