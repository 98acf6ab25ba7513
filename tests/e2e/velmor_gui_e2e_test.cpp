// End-to-end: the real velmor program with its window (offscreen) in a network namespace of the
// test's own. A remote host touches the bait listener on port 80; the program files it, tears the
// connection down and, with the window hidden, turns the tray icon to the alert image. The events are
// read from the program's debug log (VELMOR_DEBUG_LOG), the tray assumed (VELMOR_TEST_TRAY) because
// the offscreen platform has none, and the start pauses shortened (VELMOR_TEST_PAUSE_DIVISOR).
#include <gtest/gtest.h>

#include <filesystem>

#include "velmor/common/text_file.h"
#include "velmor/platform/mailbox.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

class VelmorDesktopEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
    }

    void Start() {
        program = std::make_unique<ChildProcess>(std::vector<std::string>{
            "ip", "netns", "exec", net.local(), "env", "QT_QPA_PLATFORM=offscreen", "VELMOR_TEST_TRAY=1",
            "VELMOR_DEBUG_LOG=1", "VELMOR_TEST_PAUSE_DIVISOR=50", (folder / "velmor").string()});
        ASSERT_TRUE(program->started());
    }

    // Reads event lines until `wanted` arrives; every line read is kept in `events`.
    bool WaitForEvent(const std::string& wanted, std::chrono::milliseconds timeout = 10s) {
        return events.WaitFor(*program, wanted, timeout);
    }
    std::string Events() const { return events.Text(); }

    TestNetwork net;
    TempDir folder;
    std::unique_ptr<ChildProcess> program;
    LineLog events;
};

TEST_F(VelmorDesktopEndToEnd, IntruderOnTheBaitIsFiledTornDownAndAlerts) {
    Start();
    ASSERT_TRUE(WaitForEvent("event tray Add_ICON image 1")) << Events();
    ASSERT_TRUE(WaitForEvent("event listener open")) << Events();
    ASSERT_TRUE(WaitForEvent("event window shown")) << Events();
    ASSERT_TRUE(WaitForEvent("event window hidden")) << Events();

    // The remote host connects to the program's own bait listener.
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 80);
    ASSERT_GE(client, 0);
    const auto rule = folder / "invader" / "10.77.0.2.x";
    EXPECT_TRUE(WaitUntil([&] { return IsRegularFile(rule); }, 10s));
    EXPECT_EQ(ReadWholeFile(rule).value_or(""), std::to_string(LocalPort(client)) + "|10.77.0.2|\r\n");
    EXPECT_TRUE(SeesReset(client, 5s)) << "automatic blocking tears the intruder's connection down";
    EXPECT_TRUE(WaitForEvent("event tray Invader_ICON image 2")) << Events();
    EXPECT_FALSE(IsRegularFile(folder / "invader" / "10.77.0.2.o"));
    CloseSocket(client);
}

// The program's own bait listens dual-stack: an IPv6 intruder meets it and is filed and torn down.
TEST_F(VelmorDesktopEndToEnd, Ipv6IntruderOnTheBaitIsFiledAndTornDown) {
    Start();
    ASSERT_TRUE(WaitForEvent("event listener open")) << Events();
    ASSERT_TRUE(WaitForEvent("event window hidden")) << Events();
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress6, 80);
    ASSERT_GE(client, 0);
    const auto rule = folder / "invader" / "fd00:77::2.x";
    EXPECT_TRUE(WaitUntil([&] { return IsRegularFile(rule); }, 10s));
    EXPECT_EQ(ReadWholeFile(rule).value_or(""), std::to_string(LocalPort(client)) + "|fd00:77::2|\r\n");
    EXPECT_TRUE(SeesReset(client, 5s)) << "automatic blocking tears the IPv6 intruder's connection down";
    EXPECT_TRUE(WaitForEvent("event tray Invader_ICON image 2")) << Events();
    CloseSocket(client);
}

TEST_F(VelmorDesktopEndToEnd, HandOverFileNamesTheWindowThatAPostedCloseEnds) {
    // With the support folder in place the first start writes the hand-over file.
    std::filesystem::create_directories(folder / "support");
    Start();
    ASSERT_TRUE(WaitForEvent("event window hidden")) << Events();
    const std::string line = ReadWholeFile(folder / "support" / "UpdateInfo.tmp").value_or("");
    const std::string prefix =
        "\"[KQ][" + folder.path().string() + "][" + folder.path().string() + "/support][";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    ASSERT_TRUE(line.ends_with("]\"\r\n")) << line;
    const auto open = line.rfind('[');
    const platform::WindowHandle handle = std::stoll(line.substr(open + 1));
    ASSERT_GT(handle, 0);

    // Mailboxes live in the network namespace, as the updater would be started in it.
    bool posted = false;
    TestNetwork::RunIn(net.local(), [&] {
        posted = platform::PostWindowMessage(handle, {platform::kWmClose, 0, 0});
    });
    ASSERT_TRUE(posted);
    EXPECT_TRUE(WaitForEvent("event program ends")) << Events();
    EXPECT_EQ(program->Wait(5s), 0);
    // The listener is gone with it: nothing accepts on port 80 any more.
    EXPECT_LT(ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 80), 0);
}

}  // namespace
}  // namespace velmor::test
