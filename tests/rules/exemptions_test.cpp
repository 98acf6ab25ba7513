// The addresses the bait never files, and the user's trusted list as written.
#include "velmor/rules/exemptions.h"

#include <gtest/gtest.h>

namespace velmor::rules {
namespace {

TEST(ExemptionsTest, LoopbackLifelinesAndTrustedRangesEachSayWhy) {
    Exemptions exemptions;
    EXPECT_EQ(exemptions.Of("127.0.0.53"), Exemption::Loopback);
    EXPECT_EQ(exemptions.Of("::1"), Exemption::Loopback);
    EXPECT_EQ(exemptions.Of("::ffff:127.1.2.3"), Exemption::Loopback);
    EXPECT_EQ(exemptions.Of("10.0.0.1"), Exemption::None);
    EXPECT_EQ(exemptions.Of("not an address"), Exemption::None);

    const auto generation = exemptions.Generation();
    exemptions.SetLifelines({{"10.0.0.5", "fd00::5"}, {"10.0.0.1", "fe80::1"}, {"10.0.0.1", "9.9.9.9"}});
    EXPECT_GT(exemptions.Generation(), generation);
    EXPECT_EQ(exemptions.Of("10.0.0.5"), Exemption::OwnAddress);
    EXPECT_EQ(exemptions.Of("FD00::5"), Exemption::OwnAddress);
    // A gateway that is also the resolver is named as the gateway.
    EXPECT_EQ(exemptions.Of("10.0.0.1"), Exemption::Gateway);
    EXPECT_EQ(exemptions.Of("fe80::1"), Exemption::Gateway);
    EXPECT_EQ(exemptions.Of("9.9.9.9"), Exemption::Resolver);
    EXPECT_EQ(exemptions.Of("10.0.0.6"), Exemption::None);

    const TrustedList trusted = ParseTrustedList("192.168.1.0/24\n2001:db8::/32\n");
    exemptions.SetTrusted(trusted.ranges);
    EXPECT_EQ(exemptions.Of("192.168.1.200"), Exemption::Trusted);
    EXPECT_EQ(exemptions.Of("2001:db8:1::9"), Exemption::Trusted);
    EXPECT_EQ(exemptions.Of("192.168.2.1"), Exemption::None);
    // Lifelines that went away are no longer exempt.
    exemptions.SetLifelines({});
    EXPECT_EQ(exemptions.Of("10.0.0.1"), Exemption::None);
}

TEST(ExemptionsTest, TheTrustedListSkipsCommentsAndBlanksAndNamesItsBadLines) {
    const TrustedList list = ParseTrustedList(
        "# my machines\r\n10.0.0.7\r\n\r\n  192.168.1.0/24  # home\r\nfd00::/8\nnonsense\n"
        "10.0.0.0/33\n10.1.2.3/8\n\t");
    EXPECT_EQ(list.bad_lines, (std::vector<int>{6, 7}));
    EXPECT_EQ(FormatTrustedList(list.ranges), "10.0.0.7\n192.168.1.0/24\nfd00::/8\n10.0.0.0/8\n");
    EXPECT_TRUE(ParseTrustedList("").ranges.empty());
    EXPECT_TRUE(ParseTrustedList("").bad_lines.empty());
    EXPECT_EQ(ParseTrustedList("x").bad_lines, std::vector<int>{1});
    // What it writes, it reads back.
    EXPECT_EQ(FormatTrustedList(ParseTrustedList(FormatTrustedList(list.ranges)).ranges),
              FormatTrustedList(list.ranges));
}

TEST(ExemptionsTest, TheQuestionAndTheNoteNameTheReason) {
    EXPECT_EQ(BlockExemptQuestion("10.0.0.1", Exemption::Gateway),
              "10.0.0.1은(는) 기본 게이트웨이입니다. 차단하면 이 컴퓨터의 연결이 끊길 수 있습니다. 그래도 "
              "차단할까요?");
    EXPECT_EQ(ExemptionNote(Exemption::Resolver), "DNS 서버, 자동 차단 제외");
}

}  // namespace
}  // namespace velmor::rules
