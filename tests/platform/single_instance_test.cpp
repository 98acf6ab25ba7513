// The running-copy claim: one holder per program file and user, released with the holder, and not
// handed down to the programs it starts.
#include "velmor/platform/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "velmor/platform/private_folder.h"
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

// Runs `body` in a child with its own mount namespace and an empty tmpfs on /tmp (the machine's
// /tmp is never touched), without XDG_RUNTIME_DIR; returns the child's exit status, or -1.
template <typename Body>
int InPrivateTmp(Body body) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(90);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(91);
        if (::mount("velmor-test", "/tmp", "tmpfs", 0, "mode=1777,size=1m") != 0) ::_exit(92);
        ::unsetenv("XDG_RUNTIME_DIR");
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// As user "nobody": makes `folder` (mode 0777), a lock file in it, and holds that lock for good.
pid_t SquatAsNobody(const std::string& folder, const std::string& lock) {
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
        ::umask(0);
        ::mkdir(folder.c_str(), 0777);
        const int fd = ::open((folder + "/" + lock).c_str(), O_RDWR | O_CREAT, 0666);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(3);
        ::pause();
        ::_exit(0);
    }
    return squatter;
}

TEST(SingleInstanceTest, AnotherUserCannotTakeTheLockBeforeUs) {
    ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root for a mount namespace and a second user";
    const int result = InPrivateTmp([] {
        // The name our private folder would have, and the lock inside it, taken by someone else.
        const std::string ours = "/tmp/velmor-" + std::to_string(::getuid());
        const auto lock_name = SingleInstanceLockFile("/opt/velmor/velmor", "/x").filename().string();
        const pid_t squatter = SquatAsNobody(ours, lock_name);
        if (!test::WaitUntil([&] { return std::filesystem::exists(ours + "/" + lock_name); },
                             std::chrono::seconds(5)))
            return 10;
        auto claim = ClaimSingleInstance("/opt/velmor/velmor");
        const auto file = SingleInstanceLockFile("/opt/velmor/velmor");
        ::kill(squatter, SIGKILL);
        ::waitpid(squatter, nullptr, 0);
        if (claim == nullptr) return 11;  // refused to start because of the other user's lock
        if (file.parent_path() != ours + "-1") return 12;
        struct stat status {};
        if (::lstat(file.parent_path().c_str(), &status) != 0) return 13;
        if (status.st_uid != ::getuid() || (status.st_mode & 07777) != 0700) return 14;
        // A second claim in the same folder is still refused: the lock works where it now lives.
        if (ClaimSingleInstance("/opt/velmor/velmor") != nullptr) return 15;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(SingleInstanceTest, PrivateFolderIsCheckedForLinksOwnerAndMode) {
    ASSERT_EQ(::geteuid(), 0u) << "CANNOT RUN: needs root for a mount namespace";
    const int result = InPrivateTmp([] {
        const std::string ours = "/tmp/velmor-" + std::to_string(::getuid());
        // A link in our folder's place (to a folder anyone can enter) is passed over ...
        ::mkdir("/tmp/open", 0777);
        if (::symlink("/tmp/open", ours.c_str()) != 0) return 20;
        const auto first = UserPrivateFolder();
        if (!first || *first != ours + "-1") return 21;
        // ... and our own folder with a mode that is too wide is closed.
        ::chmod(first->c_str(), 0755);
        const auto again = UserPrivateFolder();
        struct stat status {};
        if (!again || *again != *first || ::lstat(first->c_str(), &status) != 0) return 22;
        if ((status.st_mode & 07777) != 0700) return 23;
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(SingleInstanceTest, RuntimeFolderGetsAPrivateVelmorFolder) {
    test::TempDir runtime;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const auto file = SingleInstanceLockFile("/opt/velmor/velmor");
    auto claim = ClaimSingleInstance("/opt/velmor/velmor");
    if (old) {
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(file.parent_path(), runtime / "velmor");
    EXPECT_NE(claim, nullptr);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::status(runtime / "velmor").permissions(), std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace velmor::platform
