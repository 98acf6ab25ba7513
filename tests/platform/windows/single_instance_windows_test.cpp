// The single-instance claim as a named mutex, and the private folder under %LOCALAPPDATA%.
#include <gtest/gtest.h>

#include "velmor/platform/private_folder.h"
#include "velmor/platform/program_folder.h"
#include "velmor/platform/single_instance.h"
#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

TEST(WindowsSingleInstance, OneClaimPerProgramFileInAnyLetterCaseUntilItEnds) {
    test::TempDir folder;
    const auto program = folder / "Velmor.exe";
    auto first = ClaimSingleInstance(program, folder.path());
    ASSERT_TRUE(first);
    EXPECT_FALSE(ClaimSingleInstance(program, folder.path()));
    EXPECT_FALSE(ClaimSingleInstance(folder / "VELMOR.EXE", folder.path())) << "Windows paths ignore case";
    EXPECT_TRUE(ClaimSingleInstance(folder / "Updater.exe", folder.path())) << "another program";
    first.reset();
    EXPECT_TRUE(ClaimSingleInstance(program, folder.path()));
    EXPECT_TRUE(SingleInstanceLockFile(program, folder.path()).empty()) << "a mutex, no file";
}

TEST(WindowsPrivateFolder, IsVelmorInTheLocalApplicationData) {
    const auto folder = UserPrivateFolder();
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->filename(), "velmor");
    EXPECT_TRUE(std::filesystem::is_directory(*folder));
    const char* local = std::getenv("LOCALAPPDATA");
    ASSERT_NE(local, nullptr);
    EXPECT_TRUE(std::filesystem::equivalent(folder->parent_path(), local));
    EXPECT_EQ(ProgramFile().extension(), ".exe");
}

}  // namespace
}  // namespace velmor::platform
