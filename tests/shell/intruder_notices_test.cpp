// The rate limit of the intruder notices, on a fake clock: no window, no screen.
#include "velmor/shell/intruder_notices.h"

#include <gtest/gtest.h>

#include "velmor/test/fakes.h"

namespace velmor::shell {
namespace {

using std::chrono::seconds;

TEST(IntruderNoticesTest, OnePerIntervalAndTheRestCountedForTheNext) {
    test::FakeClock clock;
    IntruderNotices notices(clock);
    EXPECT_FALSE(notices.PendingDue());
    const auto first = notices.Filed("10.77.0.2");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->count, 1);
    EXPECT_EQ(first->text, "침입한 IP를 차단 목록에 올렸습니다: 10.77.0.2");

    clock.Advance(seconds(1));
    EXPECT_FALSE(notices.Filed("10.77.0.3"));
    clock.Advance(seconds(8));
    EXPECT_FALSE(notices.Filed("10.77.0.4"));
    ASSERT_TRUE(notices.PendingDue());
    EXPECT_EQ(*notices.PendingDue(), clock.now - seconds(9) + IntruderNotices::kInterval);
    EXPECT_FALSE(notices.Flush()) << "9 s after the last notice";
    clock.Advance(seconds(1));
    const auto counted = notices.Flush();
    ASSERT_TRUE(counted);
    EXPECT_EQ(counted->count, 2);
    EXPECT_EQ(counted->text, "침입한 IP 2개를 차단 목록에 올렸습니다 (마지막: 10.77.0.4)");
    EXPECT_FALSE(notices.PendingDue());
    EXPECT_FALSE(notices.Flush()) << "told once";

    // The flush started a new interval.
    clock.Advance(seconds(3));
    EXPECT_FALSE(notices.Filed("10.77.0.5"));
    clock.Advance(seconds(7));
    const auto single = notices.Flush();
    ASSERT_TRUE(single);
    EXPECT_EQ(single->count, 1);
    EXPECT_EQ(single->text, "침입한 IP를 차단 목록에 올렸습니다: 10.77.0.5");
}

TEST(IntruderNoticesTest, ALateIntruderTakesTheCountedOnesAlongAndShowingTheWindowDropsThem) {
    test::FakeClock clock;
    IntruderNotices notices(clock);
    ASSERT_TRUE(notices.Filed("10.77.0.2"));
    clock.Advance(seconds(4));
    EXPECT_FALSE(notices.Filed("10.77.0.3"));
    // No flush came (a busy event loop); the next intruder after the interval tells both.
    clock.Advance(seconds(20));
    const auto both = notices.Filed("10.77.0.6");
    ASSERT_TRUE(both);
    EXPECT_EQ(both->count, 2);
    EXPECT_EQ(both->text, "침입한 IP 2개를 차단 목록에 올렸습니다 (마지막: 10.77.0.6)");

    clock.Advance(seconds(1));
    EXPECT_FALSE(notices.Filed("10.77.0.7"));
    notices.WindowShown();
    EXPECT_FALSE(notices.PendingDue());
    clock.Advance(seconds(30));
    EXPECT_FALSE(notices.Flush());
}

}  // namespace
}  // namespace velmor::shell
