#include "velmor/shell/enforcement_notice.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "velmor/platform/user_account.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

std::string Joined(const EnforcementFacts& facts) {
    std::string text;
    for (const auto& line : EnforcementNotice(facts)) text += line + "\n";
    return text;
}

TEST(EnforcementNoticeTest, SaysPlainlyWhatIsAndIsNotInForce) {
    EnforcementFacts facts;
    // A test's own table and the right to tear down: nothing to say, as before the guard.
    facts.own_teardown = true;
    EXPECT_EQ(Joined(facts), "");
    // The system's tables but no guard: teardown by our own rights only.
    facts.guard_expected = true;
    EXPECT_NE(Joined(facts).find("velmor-guard가 없어"), std::string::npos);
    EXPECT_NE(Joined(facts).find("UDP는 막히지 않습니다"), std::string::npos);
    facts.own_teardown = false;
    EXPECT_NE(Joined(facts).find("차단이 적용되지 않습니다"), std::string::npos);

    // A guard with everything: in force, and the count of a dropped address stops growing.
    facts.guard = guard::GuardState{true, true, true, false, 0, 0};
    const std::string full = Joined(facts);
    EXPECT_NE(full.find("velmor-guard가 차단을 맡고"), std::string::npos);
    EXPECT_NE(full.find("\"횟수\""), std::string::npos);
    EXPECT_EQ(full.find("⚠"), std::string::npos);
    facts.guard->packet_filter = false;
    EXPECT_NE(Joined(facts).find("패킷 차단은 적용되지 않습니다"), std::string::npos);
    facts.guard->teardown = false;
    EXPECT_NE(Joined(facts).find("차단이 적용되지 않습니다"), std::string::npos);
}

bool Says(const EnforcementFacts& facts, const std::string& part) {
    return Joined(facts).find(part) != std::string::npos;
}

TEST(EnforcementNoticeTest, AUserTheGuardRefusesIsToldTheOneStepWithItsOwnName) {
    EnforcementFacts facts;
    facts.guard_expected = true;
    facts.guard_refused = true;
    facts.user_name = "alice";
    for (const bool source_tree : {false, true}) {
        SCOPED_TRACE(source_tree);
        facts.source_tree = source_tree;
        // The guard runs: the step is joining its group, wherever the program runs from.
        EXPECT_TRUE(Says(facts, "차단이 적용되지 않습니다"));
        EXPECT_TRUE(Says(facts, "\"sudo adduser alice velmor\""));
        EXPECT_TRUE(Says(facts, "로그아웃했다가 다시 로그인하세요"));
        EXPECT_FALSE(Says(facts, "run.sh"));
    }
    // With its own rights it still tears down, and the step is the same.
    facts.own_teardown = true;
    EXPECT_TRUE(Says(facts, "연결만 끊습니다"));
    EXPECT_TRUE(Says(facts, "sudo adduser alice velmor"));
    facts.own_teardown = false;

    // Added already, but this login predates it: only the new login is missing.
    facts.user_listed_in_group = true;
    EXPECT_TRUE(Says(facts, "다시 로그인하세요"));
    EXPECT_FALSE(Says(facts, "adduser"));
    // In the group in this very login: the refusal has another cause, and no command would help.
    facts.session_has_group = true;
    EXPECT_TRUE(Says(facts, "네트워크 네임스페이스"));
    EXPECT_FALSE(Says(facts, "adduser"));
    EXPECT_FALSE(Says(facts, "로그인"));
}

TEST(EnforcementNoticeTest, WithoutAnyGuardTheInstalledProgramNamesTheServiceAndTheSourceTreeItsScript) {
    EnforcementFacts facts;
    facts.guard_expected = true;
    facts.user_name = "alice";
    EXPECT_TRUE(Says(facts, "\"sudo systemctl enable --now velmor-guard\""));
    EXPECT_TRUE(Says(facts, "\"sudo adduser alice velmor\""));
    EXPECT_FALSE(Says(facts, "run.sh"));
    facts.user_listed_in_group = true;
    EXPECT_FALSE(Says(facts, "adduser"));
    facts.source_tree = true;
    EXPECT_TRUE(Says(facts, "scripts/run.sh"));
    EXPECT_FALSE(Says(facts, "systemctl"));
}

TEST(EnforcementNoticeTest, TheUserFactsNameTheUserAndTellABuildOfTheSourceTreeFromAnInstall) {
    EnforcementFacts facts;
    AddUserFacts(facts, test::BuiltProgramFolder());
    EXPECT_EQ(facts.user_name, platform::CurrentUserName());
    EXPECT_FALSE(facts.user_name.empty());
    EXPECT_TRUE(facts.source_tree) << test::BuiltProgramFolder();
    // An installed copy lives in the user's data folder, far from any scripts/run.sh.
    test::TempDir home;
    std::filesystem::create_directories(home / "data" / "velmor" / "P");
    AddUserFacts(facts, home / "data" / "velmor" / "P");
    EXPECT_FALSE(facts.source_tree);
}

}  // namespace
}  // namespace velmor::shell
