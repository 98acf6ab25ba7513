// The monitor service's own choice for whichever host sits on top of it: where the bait comes from.

#include "velmor/shell/monitor_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "velmor/shell/bait_listener.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fake_guard_link.h"
#include "velmor/test/fakes.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

class MonitorServiceBaitTest : public ::testing::Test {
protected:
    std::unique_ptr<MonitorService> Make(std::unique_ptr<guard::GuardLink> guard) {
        MonitorParts parts;
        parts.table = std::make_unique<test::FakeConnectionTable>();
        parts.counters = std::make_unique<test::FakeSocketCounters>();
        parts.guard = std::move(guard);
        auto service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        service->CreateFolders();
        return service;
    }

    test::TempDir folder;
    test::ScriptedDialogs dialogs;
};

TEST_F(MonitorServiceBaitTest, TheGuardsBaitGoesFirstElseVelmorsOwnWhereTheHostOpensOne) {
    // No guard: a host that opens none of its own (the headless one) has no bait; the window's own
    // listener takes the port it is given (any free one here).
    const auto alone = Make(nullptr);
    BaitListener none;
    EXPECT_FALSE(alone->OpenBait(none, std::nullopt));
    EXPECT_FALSE(none.IsListening());
    BaitListener own;
    EXPECT_TRUE(alone->OpenBait(own, 0));
    EXPECT_TRUE(own.IsListening());

    // A guard that offers its bait socket: that one, whatever the host would open itself.
    auto link = std::make_unique<test::FakeGuardLink>();
    test::FakeGuardLink* guard = link.get();
    guard->state.bait = true;
    const int guard_bait = test::OpenListener("127.0.0.1", 0);
    ASSERT_GE(guard_bait, 0);
    guard->bait = guard_bait;
    const auto guarded = Make(std::move(link));
    BaitListener adopted;
    EXPECT_TRUE(guarded->OpenBait(adopted, 0));
    EXPECT_EQ(guard->bait, platform::kNoNativeSocket) << "taken from the guard";
    EXPECT_EQ(adopted.Port(), test::LocalPort(guard_bait));

    // A guard without one: nothing for the headless host, the window's own for the window.
    auto bare = std::make_unique<test::FakeGuardLink>();
    bare->state.bait = false;
    const auto without = Make(std::move(bare));
    BaitListener headless;
    EXPECT_FALSE(without->OpenBait(headless, std::nullopt));
    BaitListener window;
    EXPECT_TRUE(without->OpenBait(window, 0));
    EXPECT_NE(window.Port(), 0);
}

}  // namespace
}  // namespace velmor::shell
