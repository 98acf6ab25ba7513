#include "velmor/common/text_rules.h"

#include <gtest/gtest.h>

#include <limits>

namespace velmor {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(LeadingNumberTest, ReadsTheLeadingWholeNumberLikeVal) {
    EXPECT_EQ(LeadingNumber("42"), 42);
    EXPECT_EQ(LeadingNumber("  \t17 apples"), 17);
    EXPECT_EQ(LeadingNumber("-8"), -8);
    EXPECT_EQ(LeadingNumber("+3x"), 3);
    EXPECT_EQ(LeadingNumber("12.9"), 12);
    EXPECT_EQ(LeadingNumber(""), 0);
    EXPECT_EQ(LeadingNumber("abc"), 0);
    EXPECT_EQ(LeadingNumber("-"), 0);
    EXPECT_EQ(LeadingNumber(" - 5"), 0);
}

TEST(LeadingNumberTest, SaturatesAtTheLimitInsteadOfDroppingDigits) {
    EXPECT_EQ(LeadingNumber("9223372036854775807"), kMax);
    EXPECT_EQ(LeadingNumber("9223372036854775806"), kMax - 1);
    // One past the largest value and anything longer stay at the largest value.
    EXPECT_EQ(LeadingNumber("9223372036854775808"), kMax);
    EXPECT_EQ(LeadingNumber("99999999999999999999999999"), kMax);
    EXPECT_EQ(LeadingNumber("-99999999999999999999999999"), -kMax);
    // A huge count still compares above every real one.
    EXPECT_GT(LeadingNumber("10000000000000000000"), LeadingNumber("999999999999999999"));
}

TEST(TextRulesTest, TrimsOnlySpacesAndLowersOnlyAscii) {
    EXPECT_EQ(TrimSpaces("  a b  "), "a b");
    EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
    EXPECT_EQ(TrimSpaces("    "), "");
    EXPECT_EQ(LowerAscii("ABC.X 차단"), "abc.x 차단");
}

TEST(TextRulesTest, PlainFileNameIsOneSafeComponent) {
    EXPECT_TRUE(IsPlainFileName("10.0.0.1"));
    EXPECT_TRUE(IsPlainFileName("fd00:77::2"));
    EXPECT_TRUE(IsPlainFileName("..."));
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "/etc", "a\nb", "a\x7f"}) {
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
    }
    EXPECT_TRUE(IsPlainFileName(std::string(250, 'a')));
    EXPECT_FALSE(IsPlainFileName(std::string(251, 'a')));
    EXPECT_TRUE(IsPlainFileName("abc", 3));
    EXPECT_FALSE(IsPlainFileName("abcd", 3));
}

}  // namespace
}  // namespace velmor
