#include "fleet_pages.h"

#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <filesystem>

#include "qt_text.h"
#include "velmor/common/text_file.h"
#include "velmor/lists/rule_transfer.h"

namespace velmor::shell {
namespace {

using platform::ToQString;

QLineEdit* AddField(QFormLayout* form, QWidget* parent, const char* name, const QString& label) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QString::fromLatin1(name));
    form->addRow(label, field);
    return field;
}

std::vector<std::string> SplitWords(const QString& text) {
    std::vector<std::string> words;
    for (const QString& word : text.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts))
        words.push_back(word.toStdString());
    return words;
}

QString JoinWords(const std::vector<std::string>& words) {
    QStringList list;
    for (const std::string& word : words) list << ToQString(word);
    return list.join(QStringLiteral(", "));
}

QString TimeText(const std::optional<std::chrono::system_clock::time_point>& when) {
    if (!when) return QStringLiteral("-");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when->time_since_epoch()).count();
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

}  // namespace

QString BadLinesText(const std::vector<int>& bad_lines) {
    if (bad_lines.empty()) return {};
    QStringList numbers;
    constexpr std::size_t kMostNamed = 20;
    for (std::size_t i = 0; i < bad_lines.size() && i < kMostNamed; ++i)
        numbers << QString::number(bad_lines[i]);
    QString text = QStringLiteral("주소나 범위가 아닌 줄은 건너뛰었습니다: %1번째 줄")
                       .arg(numbers.join(QStringLiteral(", ")));
    if (bad_lines.size() > kMostNamed) text += QStringLiteral(" 외 %1줄").arg(bad_lines.size() - kMostNamed);
    return text;
}

FleetSettingsPage::FleetSettingsPage(FleetService& fleet, QWidget* parent) : QWidget(parent), fleet_(fleet) {
    setObjectName(QStringLiteral("FleetPage"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    auto* about = new QLabel(QStringLiteral("CrowdSec Local API로 여러 컴퓨터가 침입자를 함께 차단합니다. "
                                            "80번 포트의 침입자를 알리고(보내기), 다른 컴퓨터와 목록의 "
                                            "결정을 받아 차단합니다(받기)."),
                             this);
    about->setObjectName(QStringLiteral("lblFleet"));
    about->setWordWrap(true);
    layout->addWidget(about);
    auto* form = new QFormLayout();
    api_ = AddField(form, this, "txtFleetApi", QStringLiteral("API 주소"));
    api_->setPlaceholderText(QStringLiteral("http://127.0.0.1:8080"));
    ca_ = AddField(form, this, "txtFleetCa", QStringLiteral("CA 파일 (https)"));
    machine_ = AddField(form, this, "txtFleetMachine", QStringLiteral("머신 이름"));
    password_ = AddField(form, this, "txtFleetPassword", QStringLiteral("머신 비밀번호"));
    password_->setEchoMode(QLineEdit::Password);
    bouncer_key_ = AddField(form, this, "txtFleetBouncerKey", QStringLiteral("바운서 API 키"));
    bouncer_key_->setEchoMode(QLineEdit::Password);
    origins_ = AddField(form, this, "txtFleetOrigins", QStringLiteral("받을 출처"));
    origins_->setPlaceholderText(QStringLiteral("비우면 모두 (예: velmor, cscli, CAPI)"));
    scenarios_ = AddField(form, this, "txtFleetScenarios", QStringLiteral("받을 시나리오"));
    scenarios_->setPlaceholderText(QStringLiteral("비우면 모두 (앞부분, 예: velmor/, crowdsecurity/)"));
    layout->addLayout(form);
    push_ = new QCheckBox(QStringLiteral("침입자를 보내기 (watcher)"), this);
    push_->setObjectName(QStringLiteral("chkFleetPush"));
    pull_ = new QCheckBox(QStringLiteral("결정을 받아 차단하기 (bouncer)"), this);
    pull_->setObjectName(QStringLiteral("chkFleetPull"));
    layout->addWidget(push_);
    layout->addWidget(pull_);
    auto* row = new QHBoxLayout();
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("lblFleetStatus"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(status_, 1);
    auto* save = new QPushButton(QStringLiteral("저장"), this);
    save->setObjectName(QStringLiteral("cmdFleetSave"));
    connect(save, &QPushButton::clicked, this, &FleetSettingsPage::Save);
    row->addWidget(save, 0, Qt::AlignTop);
    layout->addLayout(row);
    layout->addStretch(1);
    ShowSettings();
    ShowStatus();
    connect(&fleet_, &FleetService::Changed, this, &FleetSettingsPage::ShowStatus);
    // The client's state changes on its own thread: looked at while the page is shown.
    refresh_.setInterval(2000);
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (isVisible()) ShowStatus();
    });
    refresh_.start();
}

void FleetSettingsPage::ShowSettings() {
    const fleet::FleetSettings& settings = fleet_.Settings();
    api_->setText(ToQString(settings.api_url));
    ca_->setText(ToQString(settings.ca_file));
    machine_->setText(ToQString(settings.machine_id));
    password_->setText(ToQString(settings.machine_password));
    bouncer_key_->setText(ToQString(settings.bouncer_key));
    origins_->setText(JoinWords(settings.origins));
    scenarios_->setText(JoinWords(settings.scenarios));
    push_->setChecked(settings.push);
    pull_->setChecked(settings.pull);
}

void FleetSettingsPage::Save() {
    fleet::FleetSettings settings = fleet_.Settings();
    settings.api_url = api_->text().trimmed().toStdString();
    settings.ca_file = ca_->text().trimmed().toStdString();
    settings.machine_id = machine_->text().trimmed().toStdString();
    settings.machine_password = password_->text().toStdString();
    settings.bouncer_key = bouncer_key_->text().trimmed().toStdString();
    settings.origins = SplitWords(origins_->text());
    settings.scenarios = SplitWords(scenarios_->text());
    settings.push = push_->isChecked();
    settings.pull = pull_->isChecked();
    std::string problem;
    if (!fleet_.SaveSettings(settings, problem)) {
        status_->setText(QStringLiteral("저장하지 못했습니다: %1").arg(ToQString(problem)));
        return;
    }
    ShowStatus();
}

void FleetSettingsPage::ShowStatus() {
    QStringList lines;
    if (!fleet_.SettingsProblem().empty())
        lines << QStringLiteral("설정 문제: %1").arg(ToQString(fleet_.SettingsProblem()));
    if (const std::optional<fleet::FleetStatus> status = fleet_.Status()) {
        if (status->push_auth_failed)
            lines << QStringLiteral(
                "머신 이름이나 비밀번호가 맞지 않습니다 (보내기 중단, 잠시 후 다시 시도).");
        if (status->pull_auth_failed)
            lines << QStringLiteral("바운서 API 키가 맞지 않습니다 (받기 중단, 잠시 후 다시 시도).");
        if (!status->last_error.empty())
            lines << QStringLiteral("마지막 오류: %1").arg(ToQString(status->last_error));
        if (status->push_on)
            lines << QStringLiteral("보낸 침입자 %1, 대기 %2, 넘쳐 버림 %3, 마지막 %4")
                         .arg(status->sent_alerts)
                         .arg(status->queued_alerts)
                         .arg(status->dropped_alerts)
                         .arg(TimeText(status->last_push));
        if (status->pull_on)
            lines << QStringLiteral("마지막으로 받은 때 %1").arg(TimeText(status->last_pull));
    } else if (fleet_.SettingsProblem().empty()) {
        lines << QStringLiteral("꺼져 있습니다.");
    }
    for (const FleetService::SourceLine& line : fleet_.Sources()) {
        if (line.source != FleetService::kFleetSource) continue;
        lines << QStringLiteral("받은 결정 %1개, 거부 %2개").arg(line.entries).arg(line.refused);
    }
    status_->setText(lines.join(QLatin1Char('\n')));
}

SharedSourcesPanel::SharedSourcesPanel(MonitorService& service, FleetService& fleet, Dialogs& dialogs,
                                       QWidget* parent)
    : QWidget(parent), service_(service), fleet_(fleet), dialogs_(dialogs) {
    setObjectName(QStringLiteral("SharedSources"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(QStringLiteral("공유·가져온 차단 목록"), this);
    title->setObjectName(QStringLiteral("lblSharedSources"));
    layout->addWidget(title);
    sources_ = new QListWidget(this);
    sources_->setObjectName(QStringLiteral("lstSharedSources"));
    layout->addWidget(sources_, 1);
    auto* row = new QHBoxLayout();
    const struct {
        const char* name;
        QString caption;
        void (SharedSourcesPanel::*command)();
    } buttons[] = {{"cmdListImport", QStringLiteral("목록 가져오기"), &SharedSourcesPanel::ImportList},
                   {"cmdListRemove", QStringLiteral("목록 삭제"), &SharedSourcesPanel::RemoveList},
                   {"cmdRulesExport", QStringLiteral("규칙 내보내기"), &SharedSourcesPanel::ExportRules},
                   {"cmdRulesImport", QStringLiteral("규칙 가져오기"), &SharedSourcesPanel::ImportRules}};
    for (const auto& button : buttons) {
        auto* push = new QPushButton(button.caption, this);
        push->setObjectName(QString::fromLatin1(button.name));
        connect(push, &QPushButton::clicked, this, button.command);
        row->addWidget(push);
    }
    layout->addLayout(row);
    connect(&fleet_, &FleetService::Changed, this, &SharedSourcesPanel::ShowSources);
    ShowSources();
}

void SharedSourcesPanel::ShowSources() {
    sources_->clear();
    for (const FleetService::SourceLine& line : fleet_.Sources()) {
        QString text = QStringLiteral("%1: %2개")
                           .arg(ToQString(FleetService::SourceText(line.source)))
                           .arg(line.entries);
        if (line.refused > 0) text += QStringLiteral(" (거부 %1개)").arg(line.refused);
        text += QStringLiteral(", 갱신 %1").arg(TimeText(line.updated));
        auto* item = new QListWidgetItem(text, sources_);
        item->setData(Qt::UserRole, ToQString(line.source));
    }
}

void SharedSourcesPanel::ImportList() {
    const std::optional<std::string> path =
        dialogs_.AskText("가져올 목록 파일 (한 줄에 주소나 범위 하나, 또는 cscli CSV)", "");
    if (!path || path->empty()) return;
    const std::optional<std::string> text = ReadWholeFile(*path);
    if (!text) {
        dialogs_.Tell("파일을 읽지 못했습니다: " + *path, Dialogs::Icon::Exclamation);
        return;
    }
    const std::string stem = std::filesystem::path(*path).stem().string();
    const std::optional<std::string> name = dialogs_.AskText("목록 이름", stem);
    if (!name || name->empty()) return;
    const lists::ListStore::Imported imported = fleet_.ImportList(*name, *text);
    QString told = imported.saved ? QStringLiteral("%1개를 가져왔습니다.").arg(imported.entries)
                                  : QStringLiteral("가져오지 못했습니다: %1").arg(ToQString(imported.error));
    if (!imported.bad_lines.empty()) told += QLatin1Char(' ') + BadLinesText(imported.bad_lines);
    dialogs_.Tell(told.toStdString());
}

void SharedSourcesPanel::RemoveList() {
    QListWidgetItem* item = sources_->currentItem();
    const std::string source = item != nullptr ? item->data(Qt::UserRole).toString().toStdString() : "";
    if (!source.starts_with("list:")) {
        dialogs_.Tell("삭제할 목록을 선택하세요.");
        return;
    }
    const std::string name = source.substr(5);
    if (!dialogs_.AskYesNo("목록 '" + name + "'을(를) 삭제할까요?")) return;
    if (!fleet_.RemoveList(name)) dialogs_.Tell("목록을 삭제하지 못했습니다.", Dialogs::Icon::Exclamation);
}

void SharedSourcesPanel::ExportRules() {
    const std::optional<std::string> path = dialogs_.AskText("규칙을 내보낼 파일", "velmor-rules.txt");
    if (!path || path->empty()) return;
    if (!WriteFileAtomically(*path, lists::ExportRules(service_.Store())))
        dialogs_.Tell("파일에 쓰지 못했습니다: " + *path, Dialogs::Icon::Exclamation);
    else
        dialogs_.Tell("규칙을 내보냈습니다: " + *path);
}

void SharedSourcesPanel::ImportRules() {
    const std::optional<std::string> path =
        dialogs_.AskText("가져올 규칙 파일 (내보낸 파일이나 차단 목록)", "");
    if (!path || path->empty()) return;
    const std::optional<std::string> text = ReadWholeFile(*path);
    if (!text) {
        dialogs_.Tell("파일을 읽지 못했습니다: " + *path, Dialogs::Icon::Exclamation);
        return;
    }
    const lists::ImportResult result = lists::ImportRules(*text, service_.Store());
    QString told = QStringLiteral("규칙 %1개를 가져왔습니다.").arg(result.imported);
    if (!result.bad_lines.empty()) told += QLatin1Char(' ') + BadLinesText(result.bad_lines);
    dialogs_.Tell(told.toStdString());
}

}  // namespace velmor::shell
