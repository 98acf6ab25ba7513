#pragma once

#include <QFont>
#include <QWidget>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>

#include "velmor/common/ui_services.h"
#include "velmor/shell/address_converter.h"
#include "velmor/shell/network_tools.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace velmor::shell {

// The fixed-pitch font of the command buttons: a family that exists and really is fixed-pitch.
QFont FixedPitchFont();

// The content of the inner tab "네트웍 명령": the converter (txtIPConvert_0 host name,
// txtIPConvert_1 dotted address, Enter resolves into the other box) and the command runner
// (textShell, cmdShell_0..cmdShell_3 put a command, cmdShell_10 "< RUN >" and Enter in textShell
// open it in the desktop's terminal).
class NetworkToolsPanel final : public QWidget {
    Q_OBJECT
public:
    // What the panel calls out to; tests replace these. Empty members mean the real thing.
    struct Services {
        AddressConverter::Resolver host_name_to_ip;     // engine::HostNameToIp
        AddressConverter::Resolver ip_to_host_name;     // engine::IpToHostName
        std::optional<CommandRunner::Services> runner;  // PATH search, $TERMINAL, detached start
        Dialogs* dialogs = nullptr;                     // message boxes with an empty title
    };

    explicit NetworkToolsPanel(std::filesystem::path program_folder, QWidget* parent = nullptr);
    NetworkToolsPanel(std::filesystem::path program_folder, Services services, QWidget* parent = nullptr);
    ~NetworkToolsPanel() override;

    // The handlers, named after their controls.
    void txtIPConvert_Enter(int index);
    void cmdShell_Click(int index);
    void textShell_Enter() { cmdShell_Click(kRunButton); }

    // True while a name resolution runs; Enter in a converter box is ignored meanwhile.
    bool IsConverting() const { return converter_->IsBusy(); }
    std::optional<RunOutcome> LastRunOutcome() const { return last_outcome_; }
    const CommandRunner& Runner() const { return runner_; }

Q_SIGNALS:
    // A resolution has written `result` into converter box `target_box`.
    void ConversionFinished(int target_box, const QString& result);

private:
    void OnConverted(int target_box, const QString& result);
    void Tell(std::string_view text);

    std::unique_ptr<Dialogs> own_dialogs_;
    Dialogs* dialogs_ = nullptr;
    CommandRunner runner_;
    AddressConverter* converter_ = nullptr;
    std::optional<RunOutcome> last_outcome_;
    std::array<QLineEdit*, 2> txtIPConvert_{};
    QLabel* converting_label_ = nullptr;
    QLineEdit* textShell_ = nullptr;
};

}  // namespace velmor::shell
