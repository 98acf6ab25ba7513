#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/engine/monitoring_cycle.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

// What the monitoring cycle needs of its window and of chance, for the tests of the cycle and of
// what is built on it. Header only: the tests that include it link the engine themselves.
namespace velmor::test {

// A window that is on screen unless told otherwise; records every tray icon it is given.
class FakeMonitorHost final : public engine::MonitorHost {
public:
    bool visible = true;
    std::vector<engine::TrayIconChange> icons;
    std::vector<std::string> exempt_met;  // "address why"
    bool IsWindowVisible() const override { return visible; }
    void UpdateTrayIcon(engine::TrayIconChange change) override { icons.push_back(change); }
    void ExemptAddressMet(std::string_view address, rules::Exemption why) override {
        exempt_met.push_back(std::string(address) + ' ' + std::string(rules::ExemptionText(why)));
    }
};

// Answers `values` in turn, round and round; `otherwise` while there are none.
class ScriptedRandom final : public engine::RandomSource {
public:
    explicit ScriptedRandom(double otherwise = 0.99) : otherwise_(otherwise) {}
    std::vector<double> values;
    double Next() override { return values.empty() ? otherwise_ : values[next_++ % values.size()]; }

private:
    double otherwise_;
    std::size_t next_ = 0;
};

// What a monitoring cycle works on, all fakes, with a program folder of its own. A test fixture
// derives from it and adds its source of chance and the cycle itself.
struct CycleParts {
    TempDir folder;
    FakeConnectionTable table;
    FakeSocketCounters counters;
    rules::RuleStore store{folder.path()};
    rules::ListModel address_list{engine::watch_ip::kColumns, engine::watch_ip::kAddress};
    rules::ListModel port_list{engine::watch_port::kColumns, engine::watch_port::kPort};
    FakeMonitorHost host;
    ScriptedDialogs dialogs;
    FakeClock clock;
};

// Events that only wake the table timer (TakePending, left to the test) and bring the cycle no news:
// it reads the table as without events.
class WakeOnlyEvents : public engine::TableEvents {
public:
    bool Live() const override { return false; }
    bool TakeNews(std::vector<guard::EventRecord>& events) override {
        events.clear();
        return false;
    }
    void ExpectClose(std::uint64_t) override {}
};

// Wakes nothing: the table timer sleeps until its safety net.
class SilentTableEvents final : public WakeOnlyEvents {
public:
    platform::NativeHandle Fd() const override { return platform::kNoNativeHandle; }
    bool TakePending() override { return false; }
};

}  // namespace velmor::test
