#include "velmor/platform/diag.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace velmor::platform {
namespace {

TEST(DiagTest, TheSettingChoosesTheSink) {
    EXPECT_EQ(DiagSinkOf(nullptr), DiagSink::Off);
    EXPECT_EQ(DiagSinkOf(""), DiagSink::Off);
    EXPECT_EQ(DiagSinkOf("0"), DiagSink::Off);
    EXPECT_EQ(DiagSinkOf("syslog"), DiagSink::SystemLog);
    EXPECT_EQ(DiagSinkOf("SysLog"), DiagSink::SystemLog);
    EXPECT_EQ(DiagSinkOf("journal"), DiagSink::SystemLog);
    EXPECT_EQ(DiagSinkOf("1"), DiagSink::StandardError);
    EXPECT_EQ(DiagSinkOf("stderr"), DiagSink::StandardError);
    // Only the exact words pick the system log; anything near them is still "on".
    EXPECT_EQ(DiagSinkOf("syslogd"), DiagSink::StandardError);
    EXPECT_EQ(DiagSinkOf("00"), DiagSink::StandardError);
}

TEST(DiagTest, ACaptureReceivesEachLineWithItsAreaAndTheSystemsReason) {
    std::vector<std::string> lines;
    {
        DiagCapture capture([&](std::string_view line) { lines.emplace_back(line); });
        EXPECT_TRUE(DiagEnabled());
        Diag("rules", "no rule file for 10.77.0.2");
        DiagError("fetchel", "cannot write the output", ENOSPC);
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "rules: no rule file for 10.77.0.2");
    EXPECT_EQ(lines[1], "fetchel: cannot write the output: No space left on device");

    // Once the capture is gone, nothing more reaches it.
    Diag("rules", "after the capture");
    EXPECT_EQ(lines.size(), 2u);
}

}  // namespace
}  // namespace velmor::platform
