#include "velmor/platform/user_account.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "velmor/test/temp_dir.h"

namespace velmor::platform {
namespace {

TEST(UserAccount, RootIsNamedAndStandsInItsOwnGroup) {
    ASSERT_EQ(::getuid(), 0u) << "CANNOT RUN: needs root";
    EXPECT_EQ(CurrentUserName(), "root");
    const GroupStanding root = CurrentUserGroupStanding("root");
    EXPECT_TRUE(root.exists);
    EXPECT_TRUE(root.listed);
    EXPECT_TRUE(root.in_session);
    EXPECT_FALSE(CurrentUserGroupStanding("no-such-group-velmor-test").exists);
}

// Runs `probe` as user nobody (65534) without supplementary groups, in a mount namespace of its own
// where /etc/group is `group_file`; returns what the probe wrote.
std::string AsNobodyWithGroupFile(const std::string& group_file, std::string (*probe)()) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_ends[0]);
        const bool ready = ::unshare(CLONE_NEWNS) == 0 &&
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           ::mount(group_file.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0 &&
                           ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        const std::string answer = ready ? probe() : "cannot become nobody in a namespace";
        (void)!::write(pipe_ends[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(pipe_ends[1]);
    std::string answer;
    char chunk[256];
    for (ssize_t n; (n = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;)
        answer.append(chunk, static_cast<std::size_t>(n));
    ::close(pipe_ends[0]);
    ::waitpid(child, nullptr, 0);
    return answer;
}

std::string VelmorStanding() {
    const GroupStanding standing = CurrentUserGroupStanding("velmor");
    return CurrentUserName() + " exists " + std::to_string(standing.exists) + " listed " +
           std::to_string(standing.listed) + " in_session " + std::to_string(standing.in_session);
}

TEST(UserAccount, AMemberAddedSinceTheLoginIsListedButNotYetInTheSession) {
    ASSERT_EQ(::getuid(), 0u) << "CANNOT RUN: needs root for a mount namespace and another user";
    test::TempDir dir;
    const std::string file = (dir / "group").string();
    // nobody is a member of velmor in the database, but its process holds no supplementary group.
    std::ofstream(file) << "root:x:0:\nnogroup:x:65534:\nvelmor:x:990:daemon,nobody\n";
    EXPECT_EQ(AsNobodyWithGroupFile(file, VelmorStanding), "nobody exists 1 listed 1 in_session 0");
    // Not a member at all.
    std::ofstream(file) << "root:x:0:\nnogroup:x:65534:\nvelmor:x:990:daemon\n";
    EXPECT_EQ(AsNobodyWithGroupFile(file, VelmorStanding), "nobody exists 1 listed 0 in_session 0");
    // The group is the user's primary group: it holds it, and the database lists it.
    std::ofstream(file) << "root:x:0:\nvelmor:x:65534:\n";
    EXPECT_EQ(AsNobodyWithGroupFile(file, VelmorStanding), "nobody exists 1 listed 1 in_session 1");
}

}  // namespace
}  // namespace velmor::platform
