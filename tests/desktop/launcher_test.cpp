// The package's launcher copies the packaged program folder into the user's data folder and starts
// the copy. A fake installation (launcher, template with stand-in programs) in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "velmor/shell/startup.h"
#include "velmor/test/child_process.h"
#include "velmor/test/temp_dir.h"

namespace velmor::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A stand-in for velmor that says where it runs and with which arguments.
std::string StandIn(std::string_view tag) {
    return "#!/bin/sh\nprintf '%s\\n' \"" + std::string(tag) + "\" \"$0\" \"$@\"\n";
}

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "usr" / "bin");
        fs::copy_file(VELMOR_LAUNCHER, launcher());
        fs::create_directories(home());
        Package("1.0703.01", "packaged-1");
    }

    TempDir dir_;
    fs::path root_ = dir_ / "root";

    fs::path launcher() const { return root_ / "usr" / "bin" / "velmor"; }
    fs::path templ() const { return root_ / "usr" / "lib" / "velmor" / "P"; }
    fs::path home() const { return dir_ / "home"; }
    fs::path copy() const { return home() / ".local" / "share" / "velmor" / "P"; }

    // Installs a package version: its template with the stand-in programs and a help page.
    void Package(const std::string& version, std::string_view tag) {
        WriteBytes(templ() / "VERSION", version + "\n");
        WriteBytes(templ() / "velmor", StandIn(tag));
        WriteBytes(templ() / "hostlet", "#!/bin/sh\n");
        WriteBytes(templ() / "support" / "updater", "#!/bin/sh\n");
        WriteBytes(templ() / "help" / "help.htm", std::string("<html>") + std::string(tag) + "</html>");
        for (const char* program : {"velmor", "hostlet", "support/updater"})
            fs::permissions(templ() / program, fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read |
                                                   fs::perms::others_exec);
    }

    // Runs the launcher with `environment` (HOME is the test's) and returns its output lines and
    // exit status.
    std::pair<std::vector<std::string>, int> Launch(const std::vector<std::string>& arguments = {},
                                                    const std::vector<std::string>& environment = {}) {
        std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=" + home().string()};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(launcher().string());
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildProcess child(argv);
        EXPECT_TRUE(child.started());
        std::vector<std::string> lines;
        while (auto line = child.ReadLine(10s)) lines.push_back(*line);
        const auto status = child.Wait(10s);
        EXPECT_TRUE(status.has_value());
        return {lines, status.value_or(-1)};
    }
};

TEST_F(LauncherTest, FirstStartCopiesTheTemplateAndRunsTheCopyWithTheArguments) {
    const auto [lines, status] = Launch({"--headless", "two words"});
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "packaged-1");
    EXPECT_EQ(fs::path(lines[1]), copy() / "velmor");
    EXPECT_EQ(lines[2], "--headless");
    EXPECT_EQ(lines[3], "two words");
    EXPECT_EQ(ReadBytes(copy() / "VERSION"), "1.0703.01\n");
    EXPECT_EQ(ReadBytes(copy() / "help" / "help.htm"), "<html>packaged-1</html>");
    // Programs stay programs; the copy is the user's, left writable for the Updater.
    for (const char* program : {"velmor", "hostlet", "support/updater"}) {
        const auto perms = fs::status(copy() / program).permissions();
        EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none) << program;
        EXPECT_NE(perms & fs::perms::owner_write, fs::perms::none) << program;
    }
    EXPECT_EQ(fs::status(copy() / "help" / "help.htm").permissions() & fs::perms::owner_exec,
              fs::perms::none);
}

TEST_F(LauncherTest, ANewerPackageRefreshesTheProgramAndKeepsTheUsersData) {
    Launch();
    WriteBytes(copy() / "invader" / "10.1.2.3.x", "80|10.1.2.3|\r\n");
    WriteBytes(copy() / "support" / "UpdateInfo.tmp", "\"[KQ]\"\r\n");
    WriteBytes(copy() / "shared" / "notes", "mine");
    struct stat before {};
    ASSERT_EQ(::stat((copy() / "velmor").c_str(), &before), 0);

    Package("1.0704.01", "packaged-2");
    const auto [lines, status] = Launch();
    EXPECT_EQ(status, 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "packaged-2");
    EXPECT_EQ(ReadBytes(copy() / "VERSION"), "1.0704.01\n");
    EXPECT_EQ(ReadBytes(copy() / "help" / "help.htm"), "<html>packaged-2</html>");
    EXPECT_EQ(ReadBytes(copy() / "invader" / "10.1.2.3.x"), "80|10.1.2.3|\r\n");
    EXPECT_EQ(ReadBytes(copy() / "support" / "UpdateInfo.tmp"), "\"[KQ]\"\r\n");
    EXPECT_EQ(ReadBytes(copy() / "shared" / "notes"), "mine");
    // The new file was renamed over the old one: a running copy keeps its own file whole.
    struct stat after {};
    ASSERT_EQ(::stat((copy() / "velmor").c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    // No half-written files are left beside the targets.
    for (const auto& entry : fs::recursive_directory_iterator(copy()))
        EXPECT_EQ(entry.path().string().find(".new."), std::string::npos) << entry.path();
}

TEST_F(LauncherTest, ACopyAsNewOrNewerThanThePackageIsLeftAsTheUpdaterMadeIt) {
    Launch();
    // What the Updater leaves: a newer version unpacked over the copy.
    WriteBytes(copy() / "velmor", StandIn("self-updated"));
    WriteBytes(copy() / "VERSION", "1.0705.01\r\n");
    Package("1.0704.01", "packaged-2");
    auto [lines, status] = Launch();
    EXPECT_EQ(status, 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "self-updated");
    EXPECT_EQ(ReadBytes(copy() / "help" / "help.htm"), "<html>packaged-1</html>");

    // The same version as the package: nothing is copied either. Parts compare as numbers.
    WriteBytes(copy() / "VERSION", "1.704.1\n");
    std::tie(lines, status) = Launch();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "self-updated");

    // A package newer than the self-updated copy brings it up to date again.
    Package("1.0706.00", "packaged-3");
    std::tie(lines, status) = Launch();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "packaged-3");
}

TEST_F(LauncherTest, AnIncompleteCopyIsMadeAgain) {
    Launch();
    // A refresh cut short writes VERSION last, so it is missing; a lost program is missing too.
    fs::remove(copy() / "VERSION");
    WriteBytes(copy() / "velmor", StandIn("half"));
    auto [lines, status] = Launch();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "packaged-1");

    fs::remove(copy() / "velmor");
    std::tie(lines, status) = Launch();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "packaged-1");
    EXPECT_EQ(status, 0);
}

TEST_F(LauncherTest, TheDataFolderFollowsXdgDataHomeWhenItIsAnAbsolutePath) {
    const fs::path data = dir_ / "elsewhere";
    auto [lines, status] = Launch({}, {"XDG_DATA_HOME=" + data.string()});
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(fs::path(lines[1]), data / "velmor" / "P" / "velmor");
    EXPECT_FALSE(fs::exists(copy()));

    // A relative value is not a base directory (XDG): the default is used.
    std::tie(lines, status) = Launch({}, {"XDG_DATA_HOME=relative/data"});
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(fs::path(lines[1]), copy() / "velmor");
}

TEST_F(LauncherTest, TheCopyCarriesNoExtendedAttributesOfTheTemplate) {
    // File capabilities are an extended attribute; a user attribute shows the same copy rule
    // without root.
    const char value[] = "1";
    if (::setxattr((templ() / "velmor").c_str(), "user.velmor-test", value, 1, 0) != 0)
        GTEST_FAIL() << "this file system takes no user attributes";
    Launch();
    char buffer[256];
    EXPECT_EQ(::listxattr((copy() / "velmor").c_str(), buffer, sizeof buffer), 0);
}

TEST_F(LauncherTest, AMissingTemplateIsReportedAndNothingStarts) {
    fs::remove_all(templ());
    const auto [lines, status] = Launch();
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(fs::exists(copy()));
}

TEST(ProgramFolderVersion, TheBuiltVersionFileNamesTheProgramsVersion) {
    // The launcher compares this file; it must say what the program says of itself.
    EXPECT_EQ(ReadBytes(BuiltProgramFolder() / "VERSION"), std::string(shell::kVersion) + "\n");
}

}  // namespace
}  // namespace velmor::test
