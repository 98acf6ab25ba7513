#pragma once

#include <string_view>

#include "velmor/engine/monitoring_cycle.h"

namespace velmor::shell {

// The tray icon's changes by the names the window's tray procedure knows them by, as the event
// lines of the main window and of the headless monitor print them.
constexpr std::string_view TrayIconName(engine::TrayIconChange change) {
    switch (change) {
        case engine::TrayIconChange::Add:
            return "Add_ICON";
        case engine::TrayIconChange::Reset:
            return "Reset_ICON";
        case engine::TrayIconChange::Invader:
            return "Invader_ICON";
    }
    return {};
}

}  // namespace velmor::shell
