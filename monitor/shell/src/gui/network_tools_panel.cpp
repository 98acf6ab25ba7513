#include "network_tools_panel.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>
#include <utility>

#include "qt_services.h"
#include "qt_text.h"

namespace velmor::shell {
namespace {

using platform::ToQString;

QString ControlName(const char* control, int index) {
    return QStringLiteral("%1_%2").arg(QLatin1String(control)).arg(index);
}

bool ResolvesFixedPitch(const QFont& font) {
    return QFontInfo(font).fixedPitch();
}

}  // namespace

QFont FixedPitchFont() {
    // Fontconfig's first match for "monospace" is not always fixed-pitch: with the Noto fonts
    // installed it is Noto Sans Mono, which has glyphs of two widths. Then the first installed
    // family that really is fixed-pitch and writes Latin (alias names such as "Monospace" resolve to
    // the same Noto font and are weeded out by the check), in the size of the system's fixed font.
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (ResolvesFixedPitch(system)) return system;
    for (const QString& family : QFontDatabase::families(QFontDatabase::Latin)) {
        if (!QFontDatabase::isFixedPitch(family)) continue;
        QFont font(system);
        font.setFamilies({family});
        font.setStyleHint(QFont::TypeWriter);
        if (ResolvesFixedPitch(font)) return font;
    }
    return system;
}

NetworkToolsPanel::NetworkToolsPanel(std::filesystem::path program_folder, QWidget* parent)
    : NetworkToolsPanel(std::move(program_folder), Services{}, parent) {}

NetworkToolsPanel::NetworkToolsPanel(std::filesystem::path program_folder, Services services, QWidget* parent)
    : QWidget(parent),
      runner_(std::move(program_folder),
              services.runner ? std::move(*services.runner) : CommandRunner::SystemServices()) {
    setObjectName(QStringLiteral("NetworkToolsPanel"));
    if (services.dialogs != nullptr) {
        dialogs_ = services.dialogs;
    } else {
        // Standing alone (without the main window's boxes) the panel shows the program's own boxes.
        auto own = std::make_unique<QtDialogs>();
        own->SetOwner(this);
        own_dialogs_ = std::move(own);
        dialogs_ = own_dialogs_.get();
    }
    if (services.host_name_to_ip || services.ip_to_host_name) {
        converter_ = new AddressConverter(std::move(services.host_name_to_ip),
                                          std::move(services.ip_to_host_name), this);
    } else {
        converter_ = new AddressConverter(this);
    }
    connect(converter_, &AddressConverter::Finished, this, &NetworkToolsPanel::OnConverted);

    // Converter: "문자" is the host name, "숫자" the dotted address.
    auto* convert_group = new QGroupBox(QStringLiteral("IP주소 변환"), this);
    auto* convert_layout = new QGridLayout(convert_group);
    const std::array<QString, 2> labels = {QStringLiteral("문자"), QStringLiteral("숫자")};
    for (int index = 0; index < 2; ++index) {
        auto* label = new QLabel(labels[static_cast<std::size_t>(index)], convert_group);
        auto* box = new QLineEdit(convert_group);
        box->setObjectName(ControlName("txtIPConvert", index));
        label->setBuddy(box);
        convert_layout->addWidget(label, index, 0);
        convert_layout->addWidget(box, index, 1);
        connect(box, &QLineEdit::returnPressed, this, [this, index] { txtIPConvert_Enter(index); });
        txtIPConvert_[static_cast<std::size_t>(index)] = box;
    }
    txtIPConvert_[0]->setPlaceholderText(QStringLiteral("호스트 이름 (예: www.example.com) 입력 후 Enter"));
    txtIPConvert_[1]->setPlaceholderText(QStringLiteral("숫자 주소 (예: 192.168.0.1) 입력 후 Enter"));
    converting_label_ = new QLabel(QStringLiteral("이름을 찾는 중입니다..."), convert_group);
    converting_label_->setObjectName(QStringLiteral("lblConverting"));
    converting_label_->setVisible(false);
    convert_layout->addWidget(converting_label_, 2, 1);

    // Command runner.
    auto* shell_group = new QGroupBox(QStringLiteral("명령 프롬프트"), this);
    auto* shell_layout = new QVBoxLayout(shell_group);
    textShell_ = new QLineEdit(ToQString(kInitialCommandLine), shell_group);
    textShell_->setObjectName(QStringLiteral("textShell"));
    connect(textShell_, &QLineEdit::returnPressed, this, &NetworkToolsPanel::textShell_Enter);
    auto* buttons = new QHBoxLayout();
    const QFont fixed = FixedPitchFont();
    for (int index : {0, 1, 2, 3, kRunButton}) {
        auto* button = new QPushButton(ToQString(ShellButtonCaption(index)), shell_group);
        button->setObjectName(ControlName("cmdShell", index));
        button->setFont(fixed);
        // Enter in textShell runs the command line; no button may take that Enter as a default.
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, index] { cmdShell_Click(index); });
        if (index == kRunButton) buttons->addStretch(1);
        buttons->addWidget(button);
    }
    shell_layout->addWidget(textShell_);
    shell_layout->addLayout(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(convert_group);
    layout->addWidget(shell_group);
    layout->addStretch(1);
}

NetworkToolsPanel::~NetworkToolsPanel() = default;

void NetworkToolsPanel::txtIPConvert_Enter(int index) {
    if (index != 0 && index != 1) return;
    // One resolution at a time: an Enter while one runs is ignored, so the boxes keep what the
    // user wrote until the running answer arrives.
    if (converter_->IsBusy()) return;
    QLineEdit* box = txtIPConvert_[static_cast<std::size_t>(index)];
    const ConversionPlan plan = PlanConversion(index, box->text().toStdString());
    box->setText(QString::fromStdString(plan.trimmed));
    if (plan.conversion == Conversion::None) {
        if (!plan.message.empty()) Tell(plan.message);
        return;
    }
    if (converter_->Start(plan)) converting_label_->setVisible(true);
}

void NetworkToolsPanel::OnConverted(int target_box, const QString& result) {
    converting_label_->setVisible(false);
    if (target_box == 0 || target_box == 1)
        txtIPConvert_[static_cast<std::size_t>(target_box)]->setText(result);
    Q_EMIT ConversionFinished(target_box, result);
}

void NetworkToolsPanel::cmdShell_Click(int index) {
    if (index >= 0 && index < kCommandButtonCount) {
        textShell_->setText(QString::fromStdString(runner_.ButtonCommand(index)));
    } else if (index == kRunButton) {
        last_outcome_ = runner_.Run(textShell_->text().toStdString());
        switch (*last_outcome_) {
            case RunOutcome::Started:
                break;
            case RunOutcome::NoTerminal:
                Tell(kMessageNoTerminal);
                break;
            case RunOutcome::NotWritten:
                Tell(std::string(kMessageBatchNotWritten) + runner_.BatchFile().string());
                break;
            case RunOutcome::TerminalFailed:
                Tell(std::string(kMessageTerminalFailed) +
                     (runner_.LastLaunch() ? runner_.LastLaunch()->program.string() : std::string()));
                break;
        }
    } else {
        return;
    }
    // The cursor goes behind the text, so an address can be typed after "ping -c 4 ".
    textShell_->end(false);
    textShell_->setFocus(Qt::OtherFocusReason);
}

void NetworkToolsPanel::Tell(std::string_view text) {
    dialogs_->Tell(text, Dialogs::Icon::Information);
}

}  // namespace velmor::shell
