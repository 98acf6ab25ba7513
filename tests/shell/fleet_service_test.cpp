// Shared and imported decisions in a monitor service: a list imported through the headless
// commands blocks its addresses in the cycle and the guard's shared sets, spares what must never be
// blocked, and leaves again; the rules' backup round-trips.
#include "velmor/shell/fleet_service.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <memory>
#include <sstream>

#include "velmor/common/text_file.h"
#include "velmor/shell/headless_host.h"
#include "velmor/shell/monitor_service.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fake_guard_link.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

class FleetServiceTest : public ::testing::Test {
protected:
    FleetServiceTest() {
        MonitorParts parts;
        auto table_part = std::make_unique<test::FakeConnectionTable>();
        table = table_part.get();
        parts.table = std::move(table_part);
        parts.counters = std::make_unique<test::FakeSocketCounters>();
        auto link = std::make_unique<test::FakeGuardLink>();
        guard = link.get();
        guard->state.shared_sets = true;
        parts.guard = std::move(link);
        service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        service->CreateFolders();
        fleet = &service->EnableFleet(folder / "config");
        host = std::make_unique<HeadlessHost>(*service, HeadlessOptions{});
    }

    // What the headless monitor answers to `command`, without its closing "end".
    std::vector<std::string> Ask(const std::string& command) {
        ::testing::internal::CaptureStdout();
        host->RunCommand(command);
        std::istringstream output(::testing::internal::GetCapturedStdout());
        std::vector<std::string> lines;
        for (std::string line; std::getline(output, line);)
            if (line != "end") lines.push_back(line);
        return lines;
    }
    // Runs the event loop for a little more than the service's one-second look.
    static void Settle() {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 1200) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    void Tick() { service->Cycle().TimerGetTable_Timer(); }
    std::string Verdict(const std::string& address) {
        const int row = service->AddressList().Find(address);
        return row < 0 ? "(not listed)" : service->AddressList().Cell(row, rules::watch_ip::kVerdict);
    }
    std::string Info(const std::string& address) {
        const int row = service->AddressList().Find(address);
        return row < 0 ? "" : service->AddressList().Cell(row, rules::watch_ip::kInfo);
    }
    std::filesystem::path Write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = folder / name;
        EXPECT_TRUE(WriteFileAtomically(path, text));
        return path;
    }

    test::TempDir folder;
    test::ScriptedDialogs dialogs;
    test::FakeConnectionTable* table = nullptr;
    test::FakeGuardLink* guard = nullptr;
    std::unique_ptr<MonitorService> service;
    FleetService* fleet = nullptr;
    std::unique_ptr<HeadlessHost> host;
};

TEST_F(FleetServiceTest, AnImportedListBlocksInTheCycleAndTheGuardAndLeavesWhenRemoved) {
    // A malformed line is named and skipped; a range holding a trusted address is refused whole.
    std::string problem;
    rules::TrustedList trusted;
    ASSERT_TRUE(service->SaveTrustedList("198.51.100.7\n", trusted));
    const auto list =
        Write("drop.txt", "203.0.113.0/24 ; spam\n# comment\nnot an address\n198.51.100.0/29\n");
    EXPECT_EQ(Ask("lists import drop " + list.string()),
              (std::vector<std::string>{"imported 2", "bad_line 3"}));
    const std::vector<std::string> sources = Ask("lists");
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_TRUE(sources[0].starts_with("source\tlist:drop\t1\t1\t")) << sources[0];

    // An address of the list met on any port: listed as blocked with where the decision comes
    // from, torn down, never filed; the guard's shared sets hold the span.
    table->tcp_rows.push_back(test::MakeRow("10.0.0.1", 443, "203.0.113.9", 40000));
    table->tcp_rows.push_back(test::MakeRow("10.0.0.1", 443, "198.51.100.3", 40001));
    Tick();
    EXPECT_EQ(Verdict("203.0.113.9"), "차단");
    EXPECT_TRUE(Info("203.0.113.9").starts_with("공유 차단: 목록 drop, 203.0.113.0/24, 만료 없음"))
        << Info("203.0.113.9");
    EXPECT_EQ(Verdict("198.51.100.3"), "허용") << "the refused range blocked";
    EXPECT_FALSE(std::filesystem::exists(folder / "invader" / "203.0.113.9.x"));
    EXPECT_EQ(guard->torn_down, 1u) << "the guard tears its connection down";
    ASSERT_EQ(guard->shared.size(), 1u);
    EXPECT_EQ(guard::FormatSpan(guard->shared.begin()->first), "203.0.113.0-203.0.113.255");
    EXPECT_EQ(guard->shared.begin()->second, 0u) << "a list never expires";

    // Removed: the guard lets go, and the address is filed as any other met on that port.
    EXPECT_TRUE(Ask("lists remove drop").empty());
    Settle();
    Tick();
    EXPECT_TRUE(guard->shared.empty());
    EXPECT_EQ(Verdict("203.0.113.9"), "허용");
    EXPECT_TRUE(std::filesystem::exists(folder / "invader" / "203.0.113.9.o"));
    EXPECT_EQ(Ask("lists remove drop"), (std::vector<std::string>{"error no such list"}));
}

TEST_F(FleetServiceTest, AnAllowedRuleIsCutOutOfARangeAndAutomaticBlockingOffEmptiesTheSharedSets) {
    ASSERT_TRUE(service->Store().Write("203.0.113.77", rules::Verdict::Allowed, "443|203.0.113.77|"));
    const auto list = Write("drop.txt", "203.0.113.0/24\n");
    ASSERT_EQ(Ask("lists import drop " + list.string()), (std::vector<std::string>{"imported 1"}));
    Settle();
    Tick();
    EXPECT_FALSE(fleet->Blocks("203.0.113.77"));
    EXPECT_TRUE(fleet->Blocks("203.0.113.76"));
    EXPECT_TRUE(fleet->Blocks("203.0.113.78"));
    EXPECT_EQ(guard->shared.size(), 2u) << "the span is cut in two around the allowed address";

    ASSERT_TRUE(Ask("auto-block off").empty());
    Tick();
    EXPECT_TRUE(guard->shared.empty());
    ASSERT_TRUE(Ask("auto-block on").empty());
    Tick();
    EXPECT_EQ(guard->shared.size(), 2u) << "on again, the whole set comes back";
}

TEST_F(FleetServiceTest, TheRulesBackupRoundTripsThroughTheHeadlessCommands) {
    ASSERT_TRUE(service->Store().Write("203.0.113.5", rules::Verdict::Blocked, "1043|203.0.113.5|침입"));
    ASSERT_TRUE(service->Store().Write("198.51.100.9", rules::Verdict::Allowed, "443|198.51.100.9|"));
    const std::filesystem::path backup = folder / "rules.txt";
    EXPECT_EQ(Ask("lists export " + backup.string()), (std::vector<std::string>{"exported"}));
    const std::string blocked = *ReadWholeFile(folder / "invader" / "203.0.113.5.x");
    std::filesystem::remove(folder / "invader" / "203.0.113.5.x");
    std::filesystem::remove(folder / "invader" / "198.51.100.9.o");
    EXPECT_EQ(Ask("lists import-rules " + backup.string()), (std::vector<std::string>{"imported 2"}));
    EXPECT_EQ(ReadWholeFile(folder / "invader" / "203.0.113.5.x"), blocked);
    EXPECT_TRUE(std::filesystem::exists(folder / "invader" / "198.51.100.9.o"));
    EXPECT_EQ(Ask("lists export /nonexistent-folder/rules.txt"),
              (std::vector<std::string>{"error cannot write /nonexistent-folder/rules.txt"}));
}

}  // namespace
}  // namespace velmor::shell
