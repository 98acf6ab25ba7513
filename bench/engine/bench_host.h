#pragma once

// What the monitoring cycle needs of its window in a benchmark: a window always on screen that
// ignores the tray, and boxes that tell nobody and answer every question with yes.

#include <optional>
#include <string>
#include <string_view>

#include "velmor/common/ui_services.h"
#include "velmor/engine/monitoring_cycle.h"

namespace velmor::bench {

class QuietHost final : public engine::MonitorHost {
public:
    bool IsWindowVisible() const override { return true; }
    void UpdateTrayIcon(engine::TrayIconChange) override {}
};

class YesDialogs final : public Dialogs {
public:
    void Tell(std::string_view, Icon) override {}
    bool AskYesNo(std::string_view) override { return true; }
    std::optional<std::string> AskText(std::string_view, std::string_view) override { return std::nullopt; }
};

}  // namespace velmor::bench
