#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <QWidget>

#include "velmor/common/ui_services.h"
#include "velmor/shell/fleet_service.h"
#include "velmor/shell/monitor_service.h"

namespace velmor::shell {

// "공유 차단" under "옵션": the CrowdSec Local API, the credentials of each direction, and what the
// client last met (a refused password or key shows here, with the counts).
class FleetSettingsPage final : public QWidget {
    Q_OBJECT
public:
    FleetSettingsPage(FleetService& fleet, QWidget* parent = nullptr);
    // Writes the fields' settings; the status line says what came of it.
    void Save();
    void ShowStatus();

private:
    void ShowSettings();

    FleetService& fleet_;
    QLineEdit* api_ = nullptr;
    QLineEdit* ca_ = nullptr;
    QLineEdit* machine_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* bouncer_key_ = nullptr;
    QCheckBox* push_ = nullptr;
    QCheckBox* pull_ = nullptr;
    QLineEdit* origins_ = nullptr;
    QLineEdit* scenarios_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer refresh_;
};

// Beside the rule list of "IP 차단": one line per source of shared decisions (the fleet and each
// imported list) with its entries, refusals and last update, and the commands on lists and on the
// rules' backup. Paths and names are asked through the dialogs, so tests drive it without a screen.
class SharedSourcesPanel final : public QWidget {
    Q_OBJECT
public:
    SharedSourcesPanel(MonitorService& service, FleetService& fleet, Dialogs& dialogs,
                       QWidget* parent = nullptr);
    void ShowSources();
    void ImportList();
    void RemoveList();
    void ExportRules();
    void ImportRules();

private:
    MonitorService& service_;
    FleetService& fleet_;
    Dialogs& dialogs_;
    QListWidget* sources_ = nullptr;
};

// "N번째 줄" for the lines a parser skipped, or "" when none.
QString BadLinesText(const std::vector<int>& bad_lines);

}  // namespace velmor::shell
