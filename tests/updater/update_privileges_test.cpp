// An update rewrites P/velmor, and a rewritten file loses its file capabilities. Until the rights
// live in a helper outside P, the started program must then say that blocking is not in force
// rather than say nothing. Run for real: a copy of the built program with the two capabilities,
// started as an unprivileged user in a network namespace of the test's own, before and after an
// update through Unpack.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"
#include "velmor/updater/package.h"
#include "velmor/updater/package_writer.h"

namespace velmor::updater {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

constexpr std::string_view kNotInForce = "차단이 적용되지 않습니다";

class NoWait final : public Sleeper {
public:
    void Sleep(std::chrono::milliseconds) override {}
};

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

class UpdatePrivileges : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root to grant file capabilities";
        // The unprivileged user must reach the program and create the data folders beside it.
        ::chmod(dir_.path().c_str(), 0755);
        fs::create_directory(product());
        ::chmod(product().c_str(), 0777);
        fs::copy_file(test::BuiltProgramFolder() / "velmor", program());
    }

    fs::path product() const { return dir_ / "product"; }
    fs::path program() const { return product() / "velmor"; }

    std::string Capabilities() {
        const fs::path out = dir_ / "getcap.txt";
        EXPECT_EQ(Shell("getcap '" + program().string() + "' > '" + out.string() + "' 2>&1"), 0);
        return ReadBytes(out);
    }

    // Starts the headless monitor as uid 65534 in a new network namespace, quits it at once, and
    // returns what it told on standard error (the text form of the notice on the "옵션" tab).
    std::string StartAsUser() {
        const fs::path err = dir_ / "stderr.txt";
        const std::string command =
            "printf 'quit\\n' | timeout 60 unshare --net setpriv --reuid=65534 "
            "--regid=65534 --clear-groups -- '" +
            program().string() + "' --headless --auto-block=off --quiet > /dev/null 2> '" + err.string() +
            "'";
        EXPECT_EQ(Shell(command), 0) << ReadBytes(err);
        return ReadBytes(err);
    }

    TempDir dir_;
};

TEST_F(UpdatePrivileges, AnUpdatedProgramHasLostItsRightsAndSaysBlockingIsNotInForce) {
    ASSERT_EQ(Shell("setcap cap_net_admin,cap_net_bind_service+ep '" + program().string() + "'"), 0);
    ASSERT_NE(Capabilities().find("cap_net_admin"), std::string::npos) << Capabilities();
    // With its rights the program says nothing about blocking: the notice below is not a constant.
    const std::string before = StartAsUser();
    EXPECT_EQ(before.find(kNotInForce), std::string::npos) << before;

    // The update rewrites the program file with the new release's bytes.
    const std::string release = ReadBytes(program()) + "\nnew release";
    const auto package = BuildPackage("velmor", {{"", "velmor", release}});
    ASSERT_TRUE(package);
    WriteBytes(dir_ / "TmpNewVer.jar", *package);
    NoWait sleeper;
    test::RecordingLauncher starter;
    const fs::path saved = fs::current_path();
    const auto report = UnpackWithReport(dir_ / "TmpNewVer.jar", product(), sleeper, starter);
    fs::current_path(saved);
    ASSERT_EQ(report.written, 1);
    ASSERT_EQ(ReadBytes(program()), release);

    EXPECT_EQ(Capabilities().find("cap_net_admin"), std::string::npos) << Capabilities();
    const std::string after = StartAsUser();
    EXPECT_NE(after.find(kNotInForce), std::string::npos) << after;
}

}  // namespace
}  // namespace velmor::updater
