// The table timer driven by an event source: the monitor service on the event loop with a pipe
// standing in for the kernel's events.

#include "velmor/shell/table_waker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "velmor/shell/monitor_service.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

using namespace std::chrono_literals;

// A pipe as the event source: a byte written is one piece of news.
class PipeSource final : public test::WakeOnlyEvents {
public:
    PipeSource() { EXPECT_EQ(::pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0); }
    ~PipeSource() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    platform::NativeHandle Fd() const override { return fds_[0]; }
    bool TakePending() override {
        char buffer[64];
        bool any = false;
        while (::read(fds_[0], buffer, sizeof buffer) > 0) any = true;
        if (any) ++takes;
        return any;
    }
    void Post() { EXPECT_EQ(::write(fds_[1], "x", 1), 1); }
    bool Empty() const {
        char byte;
        return ::read(fds_[0], &byte, 1) < 0;
    }

    int takes = 0;

private:
    int fds_[2] = {-1, -1};
};

class TableWakerTest : public ::testing::Test {
protected:
    TableWakerTest() {
        auto fake_table = std::make_unique<test::FakeConnectionTable>();
        auto fake_counters = std::make_unique<test::FakeSocketCounters>();
        table = fake_table.get();
        counters = fake_counters.get();
        MonitorParts parts;
        parts.table = std::move(fake_table);
        parts.counters = std::move(fake_counters);
        service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        service->SetHost(&host);
        service->CreateFolders();
    }

    std::uint64_t Ticks() { return service->Cycle().GetStats().ticks; }

    // Runs the event loop until `done` holds or five seconds have passed.
    static bool RunUntil(const std::function<bool()>& done) { return test::ProcessEventsUntil(done); }
    static void RunFor(std::chrono::milliseconds time) { test::ProcessEventsFor(time); }

    test::TempDir folder;
    test::FakeMonitorHost host;
    test::ScriptedDialogs dialogs;
    test::FakeConnectionTable* table = nullptr;
    test::FakeSocketCounters* counters = nullptr;
    std::unique_ptr<MonitorService> service;
    PipeSource source;
};

TEST_F(TableWakerTest, WithASourceTheTimerSleepsUntilNewsAndThenTicksAndReadsTheTable) {
    service->SetTableEvents(&source);
    service->Cycle().SetSafetyNet(std::chrono::minutes(10));  // no safety-net tick during the test
    service->Start();
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= 1; }));  // the first tick reads the table

    const auto quiet = Ticks();
    RunFor(300ms);
    EXPECT_EQ(Ticks(), quiet) << "the timer woke without news";
    EXPECT_TRUE(service->Running());

    // A connection arrives: the kernel's counters move and the source has news.
    const int reads = table->tcp_reads;
    table->tcp_rows.push_back(test::MakeRow("10.77.0.1", 80, "10.77.0.2", 40000));
    counters->value.tcp_in_use += 1;
    source.Post();
    ASSERT_TRUE(RunUntil([&] { return Ticks() > quiet; }));
    EXPECT_GT(table->tcp_reads, reads);
    EXPECT_EQ(service->Cycle().LastTcpCount(), 1);
    EXPECT_EQ(source.takes, 1);
    EXPECT_TRUE(source.Empty());

    // Several pieces of news at once make one tick, not one each.
    const auto before_burst = Ticks();
    for (int i = 0; i < 50; ++i) source.Post();
    ASSERT_TRUE(RunUntil([&] { return Ticks() > before_burst; }));
    RunFor(100ms);
    EXPECT_LE(Ticks(), before_burst + 2);
    service->Stop();
}

TEST_F(TableWakerTest, AModeChangeBringsTheTickForwardAndTellsWhetherTheBoxStaysChecked) {
    service->SetTableEvents(&source);
    service->Cycle().SetSafetyNet(std::chrono::minutes(10));
    service->Start();
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= 1; }));
    const auto quiet = Ticks();
    RunFor(100ms);
    ASSERT_EQ(Ticks(), quiet);
    EXPECT_FALSE(service->SetMode(engine::kAutoBlockBox, false));
    ASSERT_TRUE(RunUntil([&] { return Ticks() > quiet; }));
    EXPECT_EQ(source.takes, 0);
    // Blocking the Internet asks first: a No leaves the box unchecked, a Yes checks it.
    EXPECT_FALSE(service->SetMode(engine::kBlockInternetBox, true));
    EXPECT_FALSE(service->Cycle().IsChecked(engine::kBlockInternetBox));
    dialogs.yes_no_answers.push_back(true);
    EXPECT_TRUE(service->SetMode(engine::kBlockInternetBox, true));
    EXPECT_TRUE(service->Cycle().IsChecked(engine::kBlockInternetBox));
    service->Stop();
}

TEST_F(TableWakerTest, AListChangedOutsideTheTickBringsItForwardWithoutNews) {
    service->SetTableEvents(&source);
    service->Cycle().SetSafetyNet(std::chrono::minutes(10));
    service->Start();
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= 1; }));
    const auto quiet = Ticks();
    RunFor(100ms);
    ASSERT_EQ(Ticks(), quiet);
    // A rule added by hand: the next tick applies it at once.
    service->RuleList().AddRow({"10.77.0.9", "", ""});
    ASSERT_TRUE(RunUntil([&] { return Ticks() > quiet; }));
    EXPECT_EQ(source.takes, 0);
    // A tick's own list changes do not wake it again and again.
    const auto after = Ticks();
    RunFor(200ms);
    EXPECT_LE(Ticks(), after + 1);
    service->Stop();
}

TEST_F(TableWakerTest, TheSafetyNetStillReadsTheTableWithoutNews) {
    service->SetTableEvents(&source);
    service->Cycle().SetSafetyNet(30ms);
    service->Start();
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= 4; }));
    // Every tick without news was a safety-net tick, so every one read the table.
    EXPECT_EQ(service->Cycle().GetStats().dumps, Ticks());
    EXPECT_EQ(source.takes, 0);
    service->Stop();
}

TEST_F(TableWakerTest, WithoutASourceTheCounterGateTicksAsBefore) {
    // A source that was set and taken away again (the kernel's events stopped) leaves no trace.
    service->SetTableEvents(&source);
    service->SetTableEvents(nullptr);
    EXPECT_EQ(service->Waker(), nullptr);
    service->Cycle().SetSafetyNet(std::chrono::minutes(10));
    service->Start();
    // The 1 ms timer keeps ticking though nothing happens; the counters keep the ticks quiet.
    ASSERT_TRUE(RunUntil([&] { return Ticks() >= 20; }));
    EXPECT_EQ(service->Cycle().GetStats().dumps, 1u);
    counters->value.tcp_in_use += 1;
    ASSERT_TRUE(RunUntil([&] { return service->Cycle().GetStats().dumps >= 2; }));
    service->Stop();
}

}  // namespace
}  // namespace velmor::shell
