// The running-copy claim: one holder per program file and user, released with the holder, and not
// handed down to the programs it starts.
#include "velmor/platform/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "velmor/platform/process.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

TEST(SingleInstanceTest, OneClaimPerProgramFileUntilReleased) {
    test::TempDir locks;
    auto first = ClaimSingleInstance("/opt/velmor/velmor", locks.path());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ClaimSingleInstance("/opt/velmor/velmor", locks.path()), nullptr);
    auto other = ClaimSingleInstance("/opt/other/velmor", locks.path());
    EXPECT_NE(other, nullptr);
    first.reset();
    EXPECT_NE(ClaimSingleInstance("/opt/velmor/velmor", locks.path()), nullptr);
}

TEST(SingleInstanceTest, LockFileNameIsStableAndPerUser) {
    test::TempDir locks;
    const auto a = SingleInstanceLockFile("/opt/velmor/velmor", locks.path());
    EXPECT_EQ(a, SingleInstanceLockFile("/opt/velmor/velmor", locks.path()));
    EXPECT_NE(a, SingleInstanceLockFile("/opt/velmor2/velmor", locks.path()));
    EXPECT_EQ(a.parent_path(), locks.path());
    EXPECT_NE(a.filename().string().find("-" + std::to_string(::getuid()) + "-"), std::string::npos);
}

TEST(SingleInstanceTest, ProgramsStartedMeanwhileDoNotInheritTheClaim) {
    test::TempDir locks;
    auto claim = ClaimSingleInstance("/opt/velmor/velmor", locks.path());
    ASSERT_NE(claim, nullptr);
    // A long-lived child (as the updater is) outlives the claim's holder.
    ASSERT_TRUE(StartDetached("/bin/sleep", {"5"}));
    claim.reset();
    EXPECT_NE(ClaimSingleInstance("/opt/velmor/velmor", locks.path()), nullptr)
        << "the child kept the lock: a restart after an update would be refused";
}

TEST(SingleInstanceTest, ClaimHeldByAnotherProcessRefuses) {
    test::TempDir locks;
    const auto file = SingleInstanceLockFile("/opt/velmor/velmor", locks.path());
    test::ChildProcess holder({"flock", "-x", "-o", file.string(), "sh", "-c", "echo held; sleep 5"});
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(holder.ReadLine(std::chrono::seconds(5)), "held");
    EXPECT_EQ(ClaimSingleInstance("/opt/velmor/velmor", locks.path()), nullptr);
    holder.Kill();
    holder.Wait(std::chrono::seconds(5));
    EXPECT_NE(ClaimSingleInstance("/opt/velmor/velmor", locks.path()), nullptr);
}

}  // namespace
}  // namespace velmor::platform
