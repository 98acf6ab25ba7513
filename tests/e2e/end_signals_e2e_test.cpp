// End-to-end: SIGTERM, SIGINT and SIGHUP end the real programs the ordinary way (exit status 0,
// the same end as "quit" or a posted close), not by the signal's default action. Run in a network
// namespace of the test's own, as the monitor may tear connections down.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "velmor/platform/mailbox.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

class EndSignals : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
    }

    bool WaitForLine(ChildProcess& program, const std::string& wanted,
                     std::chrono::milliseconds timeout = 10s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            const auto line = program.ReadLine(200ms);
            if (!line) continue;
            lines += *line + "\n";
            if (*line == wanted) return true;
        }
        return false;
    }

    TestNetwork net;
    TempDir folder;
    std::string lines;
};

TEST_F(EndSignals, EndTheHeadlessMonitorLikeQuit) {
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(number);
        ChildProcess program(
            {"ip", "netns", "exec", net.local(), (folder / "velmor").string(), "--headless", "--quiet"});
        ASSERT_TRUE(program.started());
        // The monitor answers, so its event loop runs and the signals are taken over.
        const auto answer = program.Ask("stats", 10s);
        ASSERT_TRUE(answer) << "no answer from the headless monitor";
        ASSERT_EQ(::kill(program.pid(), number), 0);
        EXPECT_EQ(program.Wait(10s), 0) << "ended by the signal itself, not by the event loop";
    }
}

#ifdef VELMOR_TEST_WITH_GUI
TEST_F(EndSignals, CloseTheDesktopProgramLikeAPostedClose) {
    std::filesystem::create_directories(folder / "support");
    ChildProcess program({"ip", "netns", "exec", net.local(), "env", "QT_QPA_PLATFORM=offscreen",
                          "VELMOR_TEST_TRAY=1", "VELMOR_DEBUG_LOG=1", "VELMOR_TEST_PAUSE_DIVISOR=50",
                          (folder / "velmor").string()});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(WaitForLine(program, "event window hidden")) << lines;
    // The window's handle is the hand-over's last field; its mailbox file exists while it runs.
    const std::string line = test::ReadBytes(folder / "support" / "UpdateInfo.tmp");
    const platform::WindowHandle handle = std::stoll(line.substr(line.rfind('[') + 1));
    const auto mailbox = platform::MailboxSocketFile(handle);
    ASSERT_TRUE(std::filesystem::exists(mailbox)) << mailbox;

    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    EXPECT_TRUE(WaitForLine(program, "event program ends")) << lines;
    EXPECT_EQ(program.Wait(10s), 0);
    EXPECT_FALSE(std::filesystem::exists(mailbox)) << "the mailbox went with the window";
}

TEST_F(EndSignals, DuringTheFirstPauseEndTheStartThere) {
    std::filesystem::create_directories(folder / "support");
    ChildProcess program({"ip", "netns", "exec", net.local(), "env", "QT_QPA_PLATFORM=offscreen",
                          "VELMOR_TEST_TRAY=1", "VELMOR_DEBUG_LOG=1", (folder / "velmor").string()});
    ASSERT_TRUE(program.started());
    // The plugin-paths line comes right after the application object exists, in the 10 s pause.
    ASSERT_TRUE(program.ReadLine(10s).value_or("").starts_with("event plugin-paths ")) << "no start line";
    ASSERT_EQ(::kill(program.pid(), SIGINT), 0);
    EXPECT_EQ(program.Wait(10s), 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "support" / "UpdateInfo.tmp"))
        << "the start went on after the signal";
    EXPECT_FALSE(std::filesystem::exists(folder / "invader")) << "the window was loaded after the signal";
}
#endif

}  // namespace
}  // namespace velmor::test
