// The lamps while an event source lets the table timer sleep: the monitor service steps them by the
// quiet ticks that the 1 ms timer would have run, and only then.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <functional>

#include "velmor/shell/monitor_service.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

using namespace std::chrono_literals;

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "quiet_lamps_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class QuietLampsServiceTest : public ::testing::Test {
protected:
    QuietLampsServiceTest() {
        App();
        MonitorParts parts;
        parts.table = std::make_unique<test::FakeConnectionTable>();
        parts.counters = std::make_unique<test::FakeSocketCounters>();
        service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        service->SetHost(&host);
        service->CreateFolders();
        service->Cycle().SetSafetyNet(std::chrono::minutes(10));  // no safety-net tick during a test
    }
    ~QuietLampsServiceTest() override { service->Stop(); }

    std::uint64_t Ticks() { return service->Cycle().GetStats().ticks; }

    // Starts with the silent source and waits for the first tick, after which the timer sleeps.
    void StartSleeping() {
        service->SetTableEvents(&source);
        service->Start();
        ASSERT_TRUE(RunUntil([&] { return Ticks() >= 1; }));
    }

    // Repaints as the window does (every 20 ms here) until `done` holds or five seconds have passed.
    bool RepaintUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            Repaint();
        }
        return done();
    }
    void Repaint() {
        stepped += service->ShowQuietLamps();
        const auto colours = service->Cycle().LampColors();
        if (colours != last) ++changes;
        last = colours;
    }
    static bool RunUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        return done();
    }

    test::TempDir folder;
    test::FakeMonitorHost host;
    test::ScriptedDialogs dialogs;
    std::unique_ptr<MonitorService> service;
    test::SilentTableEvents source;
    std::uint64_t stepped = 0;
    int changes = 0;
    std::array<std::uint32_t, 2> last{engine::kLampRed, engine::kLampBlue};
};

TEST_F(QuietLampsServiceTest, TheLampsFlickerWhileTheTableTimerSleeps) {
    StartSleeping();
    const auto ticks = Ticks();
    last = service->Cycle().LampColors();
    // About one lamp change in two repaints 100 quiet ticks apart; a few are sure to come.
    ASSERT_TRUE(RepaintUntil([&] { return changes >= 4; }));
    EXPECT_EQ(Ticks(), ticks) << "the lamps must flicker without waking the table timer";
    EXPECT_GT(stepped, 4u);
    const auto colours = service->Cycle().LampColors();
    EXPECT_TRUE((colours == std::array<std::uint32_t, 2>{engine::kLampRed, engine::kLampBlue}) ||
                (colours == std::array<std::uint32_t, 2>{engine::kLampBlue, engine::kLampRed}));
}

TEST_F(QuietLampsServiceTest, NothingIsSteppedWithoutASourceOrWithTheTimerStopped) {
    StartSleeping();
    // The source goes (the guard ended its events) while the timer still sleeps on it.
    service->SetTableEvents(nullptr);
    last = service->Cycle().LampColors();
    const auto start = std::chrono::steady_clock::now();
    RepaintUntil([&] { return std::chrono::steady_clock::now() - start > 300ms; });
    EXPECT_EQ(stepped, 0u);
    EXPECT_EQ(changes, 0);

    // Stopped: no tick would have run, so there is nothing to flicker for.
    service->SetTableEvents(&source);
    service->Stop();
    const auto stopped = std::chrono::steady_clock::now();
    RepaintUntil([&] { return std::chrono::steady_clock::now() - stopped > 300ms; });
    EXPECT_EQ(stepped, 0u);
    EXPECT_EQ(changes, 0);
}

}  // namespace
}  // namespace velmor::shell
