// Rule files on a disk that is full: every write is reported as failed, the line already on disk
// stays whole, and no empty rule or stray temporary is left behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "velmor/common/text_file.h"
#include "velmor/platform/diag.h"
#include "velmor/rules/rule_store.h"
#include "velmor/test/full_tmpfs.h"
#include "velmor/test/temp_dir.h"

namespace velmor::rules {
namespace {

namespace fs = std::filesystem;

// The names in `folder` other than the filler of the full file system, sorted.
std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != ".filler") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool AnyLineHas(const std::vector<std::string>& lines, std::string_view text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

class RuleStoreFullDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(disk_.error().empty()) << disk_.error();
        ASSERT_TRUE(store_.Write("10.77.0.5", Verdict::Allowed, "1043|10.77.0.5|"));
        ASSERT_TRUE(disk_.Fill()) << "the tmpfs did not fill up";
    }

    test::TempDir program_;
    test::FullTmpfs disk_{program_ / "invader"};
    RuleStore store_{program_.path()};
    std::vector<std::string> trail_;
    platform::DiagCapture capture_{[this](std::string_view line) { trail_.emplace_back(line); }};
};

TEST_F(RuleStoreFullDiskTest, ARewriteFailsAndKeepsTheOldLine) {
    EXPECT_FALSE(store_.Write("10.77.0.5", Verdict::Allowed, "1043|10.77.0.5|host-5.test"));
    EXPECT_EQ(store_.ReadLine("10.77.0.5", Verdict::Allowed), "1043|10.77.0.5|");
    EXPECT_EQ(Names(disk_.path()), (std::vector<std::string>{"10.77.0.5.o"}));
    EXPECT_TRUE(AnyLineHas(trail_, "No space left on device")) << "the failure leaves no trail";
}

TEST_F(RuleStoreFullDiskTest, ANewRuleThatCannotBeWrittenLeavesNoEmptyFile) {
    EXPECT_FALSE(store_.Write("10.77.0.6", Verdict::Blocked, "80|10.77.0.6|"));
    EXPECT_EQ(store_.AddBlocked("10.77.0.7", "by hand"), RuleStore::AddResult::Failed);
    // An empty file would count as a rule (blocked, with no line) at the next look.
    EXPECT_FALSE(store_.Exists("10.77.0.6", Verdict::Blocked));
    EXPECT_FALSE(store_.Exists("10.77.0.7", Verdict::Blocked));
    EXPECT_EQ(Names(disk_.path()), (std::vector<std::string>{"10.77.0.5.o"}));
    store_.RefreshBlockedIndex();
    EXPECT_FALSE(store_.IsIndexedBlocked("10.77.0.6"));
}

TEST_F(RuleStoreFullDiskTest, AOneLineFileOnAFullDiskIsAFailure) {
    // The data only reaches the disk when the file is closed; that failure counts as well.
    EXPECT_FALSE(WriteLineFile(disk_.path() / "line.tmp", "port|10.77.0.8|"));
    EXPECT_FALSE(WriteFileAtomically(disk_.path() / "whole.tmp", std::string(10, 'x')));
    EXPECT_FALSE(fs::exists(disk_.path() / "whole.tmp"));
    EXPECT_TRUE(AnyLineHas(trail_, "cannot write")) << "the failure leaves no trail";
}

}  // namespace
}  // namespace velmor::rules
