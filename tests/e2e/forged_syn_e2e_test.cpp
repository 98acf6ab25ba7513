// The forged-SYN test bed: SYNs from chosen sources, the monitored host's own gateway and DNS
// server among them, sit in its table as request sockets that never complete, while the gateway
// keeps answering and a real handshake from the same address completes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "velmor/platform/connection_table.h"
#include "velmor/platform/lifelines.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/syn_test_bed.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

constexpr int kPort = 80;
constexpr std::uint32_t kSynReceived = 4;  // MIB_TCP_STATE_SYN_RCVD

// Rows of the monitored namespace's table on local port 80 in `state`, as velmor reads them.
int Rows(const SynTestBed& bed, std::uint32_t state) {
    int count = 0;
    TestNetwork::RunIn(bed.monitored(), [&] {
        platform::TcpTable table;
        if (!platform::MakeSystemConnectionTable()->ReadTcp(table)) return;
        for (const platform::TcpRow& row : table.rows) {
            count +=
                row.dwState == state && ntohs(static_cast<std::uint16_t>(row.dwLocalPort)) == kPort ? 1 : 0;
        }
    });
    return count;
}

TEST(ForgedSynTestBed, ForgedSynsStayHalfOpenTheGatewayAnswersAndAControlHandshakeCompletes) {
    SynTestBed bed;
    ASSERT_TRUE(bed.ok());
    // The monitored host sees the bed's gateway and resolver as its lifelines.
    platform::Lifelines lifelines;
    TestNetwork::RunIn(bed.monitored(), [&] { lifelines = platform::ReadLifelines({{bed.ResolverFile()}}); });
    EXPECT_EQ(lifelines.gateways,
              (std::vector<std::string>{SynTestBed::kGatewayAddress, SynTestBed::kGatewayLinkLocal6}));
    EXPECT_EQ(lifelines.resolvers, std::vector<std::string>{SynTestBed::kResolverAddress});

    const int listener = ListenIn(bed.monitored(), "::", kPort);
    ASSERT_GE(listener, 0);
    std::vector<std::string> sources = {SynTestBed::kGatewayAddress, SynTestBed::kResolverAddress,
                                        SynTestBed::kGatewayAddress6, SynTestBed::ClientAddress6(0)};
    for (int i = 0; i < 18; ++i) sources.push_back(SynTestBed::ClientAddress(i * 300));
    ASSERT_TRUE(bed.ForgeSyns(sources, kPort));
    const int forged = static_cast<int>(sources.size());
    EXPECT_TRUE(WaitUntil([&] { return Rows(bed, kSynReceived) == forged; }, 3s)) << Rows(bed, kSynReceived);
    // Past the first retransmissions of SYN and SYN-ACK: still half-open, nothing to accept.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Rows(bed, kSynReceived), forged);
    EXPECT_EQ(bed.CountOnPort("syn-recv", kPort), forged);
    EXPECT_EQ(bed.CountOnPort("established", kPort), 0);
    EXPECT_LT(AcceptOne(listener, 0ms), 0) << "a forged handshake completed";

    EXPECT_TRUE(bed.Ping(SynTestBed::kGatewayAddress));
    EXPECT_TRUE(bed.Ping(SynTestBed::kResolverAddress));
    EXPECT_TRUE(bed.Ping(SynTestBed::ClientAddress(0)));
    EXPECT_TRUE(bed.Ping(SynTestBed::ClientAddress6(0)));

    // The control: the same addresses complete a real handshake from another port.
    for (const std::string& source :
         {SynTestBed::ClientAddress(0), std::string(SynTestBed::kGatewayAddress)}) {
        const int client = bed.Handshake(source, kPort);
        ASSERT_GE(client, 0) << source;
        const int accepted = AcceptOne(listener, 2s);
        EXPECT_GE(accepted, 0) << source;
        CloseSocket(accepted);
        CloseSocket(client);
    }
    EXPECT_EQ(Rows(bed, kSynReceived), forged);
    CloseSocket(listener);
}

}  // namespace
}  // namespace velmor::test
