#include "velmor/shell/enforcement_notice.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmor::shell
