#include "frm_start.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <iostream>

#include "lamp_widget.h"
#include "mailbox_notifier.h"
#include "network_tools_panel.h"
#include "qt_text.h"
#include "traffic_view.h"
#include "velmor/rules/list_sort.h"
#include "velmor/shell/enforcement_notice.h"
#include "velmor/shell/tray_icon_names.h"
#include "window_placement.h"

namespace velmor::shell {
namespace {

using platform::ToQString;

struct ButtonText {
    int index;
    const char* caption;
    const char* tooltip;
};

constexpr const char* kResetTip = "감시중인 IP 리스트를 리셋";

// The caption of the switch chkInvaderOX names the view of the rule list that it shows.
QString RuleListCaption(rules::Verdict view) {
    return view == rules::Verdict::Allowed ? QStringLiteral("허용 리스트") : QStringLiteral("차단 리스트");
}
// Room beside a menu item's text, in average character widths.
constexpr int kMenuTextRoom = 12;

QPushButton* MakeButton(QWidget* parent, const QString& name, const QString& caption,
                        const QString& tooltip) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setToolTip(tooltip);
    button->setAutoDefault(false);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

const char* kStyleSheet = R"(
QMainWindow { background: #f4f6f9; }
QToolBar#ToolbarMenu { background: #ffffff; border: none; border-bottom: 1px solid #dde2ea; spacing: 2px; padding: 2px 6px; }
QToolBar#ToolbarMenu QToolButton { padding: 4px 12px; border-radius: 4px; }
QToolBar#ToolbarMenu QToolButton:hover { background: #e8eef7; }
QToolBar#ToolbarMenu QToolButton::menu-indicator { image: none; width: 0; }
QTabWidget::pane { border: 1px solid #d5dbe5; border-radius: 6px; background: #ffffff; top: -1px; }
QTabBar::tab { padding: 6px 16px; margin-right: 2px; border: 1px solid #d5dbe5; border-bottom: none;
               border-top-left-radius: 6px; border-top-right-radius: 6px; background: #eef1f6; color: #44506a; }
QTabBar::tab:selected { background: #ffffff; color: #1a5ca8; font-weight: bold; }
QTableView { border: 1px solid #d5dbe5; border-radius: 4px; gridline-color: #edf0f4;
             selection-background-color: #2f7fd8; selection-color: #ffffff; alternate-background-color: #f7f9fc; }
QHeaderView::section { background: #eef1f6; color: #33405a; padding: 4px 6px; border: none;
                       border-right: 1px solid #dde2ea; border-bottom: 1px solid #d5dbe5; }
QPushButton { padding: 5px 14px; border: 1px solid #c3cbd8; border-radius: 4px; background: #ffffff; min-width: 56px; }
QPushButton:hover { background: #e8eef7; border-color: #8fb1de; }
QPushButton:pressed { background: #d6e3f5; }
QLabel#PrivilegeNotice, QLabel#TrayNotice { background: #fff4e5; color: #8a4b00; border: 1px solid #f2c98a; border-radius: 4px; padding: 6px 8px; }
QPlainTextEdit#txtMyInfo { background: #f7f9fc; border: 1px solid #d5dbe5; border-radius: 4px; }
QLabel#lblMyInfo { color: #1a5ca8; font-weight: bold; }
QLabel#lblLamps { color: #6b7688; }
)";

// Wide enough for a full IPv6 address ("ffff:...:ffff", 39 characters) in the view's own font.
int AddressColumnWidth(const QTableView& view) {
    return view.fontMetrics().horizontalAdvance(QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")) +
           16;
}

}  // namespace

FrmStart::FrmStart(std::filesystem::path program_folder, MonitorService& service, FrmStartServices services,
                   QWidget* parent)
    : QMainWindow(parent),
      program_folder_(std::move(program_folder)),
      services_(std::move(services)),
      service_(service) {
    setObjectName(QStringLiteral("frmStart"));
    setWindowTitle(ToQString(kDesignTitle));
    setWindowIcon(NormalTrayImage());
    setStyleSheet(QString::fromLatin1(kStyleSheet));
    resize(760, 480);

    services_.tray->on_notification = [this](int code) { Form_MouseMove(code); };
    notices_ = std::make_unique<IntruderNotices>(*services_.clock);
    notice_timer_.setSingleShot(true);
    connect(&notice_timer_, &QTimer::timeout, this, &FrmStart::NoticeTimer_Timer);

    service_.SetHost(this);
    traffic_ = std::make_unique<TrafficService>(service_, nullptr, services_.clock);
    traffic_->SetBaitPort(services_.bait_port);
    // The notice follows the guard as it comes and goes.
    connect(&service_, &MonitorService::GuardChanged, this, [this] { UpdateNotice(); });
    commands_ = std::make_unique<rules::ListCommands>(
        service_.Store(), service_.RuleList(), service_.AddressList(), service_.PortList(),
        *services_.dialogs, *services_.clipboard, *services_.browser, this);
    commands_->SetExemptions(&service_.Exemptions());
    // The window's handle: a mailbox that other programs (the updater) post messages to.
    mailbox_ = std::make_unique<platform::MailboxNotifier>(std::move(services_.mailbox), this);
    connect(mailbox_.get(), &platform::MailboxNotifier::messageReceived, this,
            [this](qint32 message, qint64, qint64) {
                if (message == platform::kWmClose) CloseFromSystem();
            });
    // The end of the desktop session closes the program like a posted WM_CLOSE.
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this] { CloseFromSystem(); });
    }

    // The lamps step on every table tick; showing them ten times a second is as much as an eye
    // follows, and nothing is drawn while the window is hidden.
    lamp_timer_.setInterval(100);
    connect(&lamp_timer_, &QTimer::timeout, this, &FrmStart::RefreshLamps);
    // A tray may come after the program (a panel started later at login) or go (a panel that
    // ended): the icon follows, and a window hidden in a tray that went away comes back.
    tray_watch_timer_.setInterval(kTrayWatchIntervalMs);
    connect(&tray_watch_timer_, &QTimer::timeout, this, &FrmStart::WatchTray);

    BuildControls();
}

FrmStart::~FrmStart() {
    lamp_timer_.stop();
    service_.Stop();
    service_.SetHost(nullptr);
    // The models observe the core lists that the service owns: they go first.
    delete list_watch_ip_;
    delete list_watch_port_;
    delete list_invader_;
    delete traffic_view_;
    delete watch_ip_model_;
    delete watch_port_model_;
    delete invader_model_;
}

// --- Controls -------------------------------------------------------------------------------------

void FrmStart::BuildControls() {
    toolbar_ = new QToolBar(this);
    toolbar_->setObjectName(QStringLiteral("ToolbarMenu"));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setContextMenuPolicy(Qt::PreventContextMenu);
    toolbar_->setMouseTracking(true);
    toolbar_->installEventFilter(this);
    addToolBar(Qt::TopToolBarArea, toolbar_);

    const auto add_menu_button = [this](const char* name, const QString& caption,
                                        std::initializer_list<std::string_view> items) {
        auto* button = new QToolButton(toolbar_);
        button->setObjectName(QString::fromLatin1(name));
        button->setText(caption);
        button->setPopupMode(QToolButton::InstantPopup);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setMouseTracking(true);
        button->installEventFilter(this);
        auto* menu = new QMenu(button);
        for (const auto item : items) menu->addAction(ToQString(item));
        // The style reserves room for check marks, icons and shortcuts beside the text, and with
        // the window's style sheet it sized the items too small for their text ("Torva…보(A)").
        const QFontMetrics metrics(menu->font());
        int widest = 0;
        for (const QAction* action : menu->actions()) {
            widest =
                std::max(widest, metrics.horizontalAdvance(QString(action->text()).remove(QLatin1Char('&'))));
        }
        menu->setMinimumWidth(widest + kMenuTextRoom * metrics.averageCharWidth());
        connect(menu, &QMenu::triggered, this,
                [this](QAction* action) { ToolbarMenu_ButtonMenuClick(action->text()); });
        button->setMenu(menu);
        toolbar_->addWidget(button);
    };
    add_menu_button("ToolbarMenu_1", QStringLiteral("파일"), {kMenuQuit});
    add_menu_button("ToolbarMenu_2", QStringLiteral("도움말"), {kMenuHelp, kMenuAbout});

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->setSpacing(6);

    // Above the tabs, while the desktop has no tray: why the window stays, and how to get a tray.
    tray_notice_ = new QLabel(ToQString(kNoTrayNotice), central);
    tray_notice_->setObjectName(QStringLiteral("TrayNotice"));
    tray_notice_->setWordWrap(true);
    tray_notice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    tray_notice_->hide();
    layout->addWidget(tray_notice_);

    tab_main_ = new QTabWidget(central);
    tab_main_->setObjectName(QStringLiteral("SSTabMain"));
    tab_main_->setDocumentMode(false);
    tab_main_->addTab(BuildWatchIpTab(), QStringLiteral("IP 감시"));
    tab_main_->addTab(BuildInvaderTab(), QStringLiteral("IP 차단"));
    tab_main_->addTab(BuildWatchPortTab(), QStringLiteral("PORT 정보"));
    tab_main_->addTab(BuildOptionsTab(), QStringLiteral("옵션"));
    traffic_view_ = new TrafficView(traffic_->Ledger());
    tab_main_->addTab(traffic_view_, QStringLiteral("트래픽"));
    connect(tab_main_, &QTabWidget::currentChanged, this,
            [this](int tab) { commands_->SSTabMain_Click(tab); });
    layout->addWidget(tab_main_, 1);

    // The activity lamps sit outside the tabs, bottom right.
    auto* lamp_row = new QHBoxLayout();
    lamp_row->addStretch(1);
    auto* lamp_label = new QLabel(QStringLiteral("활동"), central);
    lamp_label->setObjectName(QStringLiteral("lblLamps"));
    lamp_row->addWidget(lamp_label);
    const auto colours = service_.Cycle().LampColors();
    for (int i = 0; i < 2; ++i) {
        lamps_[static_cast<std::size_t>(i)] = new LampWidget(central);
        lamps_[static_cast<std::size_t>(i)]->setObjectName(QStringLiteral("ShapeLED_%1").arg(i));
        lamps_[static_cast<std::size_t>(i)]->SetBgr(colours[static_cast<std::size_t>(i)]);
        lamp_row->addWidget(lamps_[static_cast<std::size_t>(i)]);
    }
    layout->addLayout(lamp_row);
    setCentralWidget(central);
}

QTableView* FrmStart::MakeListView(const char* name, ListTableModel* model) {
    auto* view = new QTableView();
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(model);
    model->BindSelection(view->selectionModel());
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->setShowGrid(false);
    view->setWordWrap(false);
    view->verticalHeader()->setVisible(false);
    view->verticalHeader()->setDefaultSectionSize(24);
    view->horizontalHeader()->setStretchLastSection(true);
    view->horizontalHeader()->setSectionsClickable(true);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Sorting belongs to the list commands: a click on a title goes to them, not to Qt's sort.
    view->setSortingEnabled(false);
    return view;
}

QWidget* FrmStart::BuildWatchIpTab() {
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 8);
    watch_ip_model_ = new ListTableModel(
        service_.AddressList(),
        {QStringLiteral("IP"), QStringLiteral("횟수"), QStringLiteral("연결"), QStringLiteral("정보"),
         QStringLiteral("프로그램"), QStringLiteral("받음"), QStringLiteral("보냄")});
    watch_ip_model_->SetVerdictColumn(rules::watch_ip::kVerdict);
    for (const int column : {rules::watch_ip::kReceived, rules::watch_ip::kSent}) {
        watch_ip_model_->SetColumnDisplay(column, [](const std::string& cell) {
            const std::int64_t bytes = rules::CountValueOfText(cell);
            return bytes < 0 ? ToQString(cell)
                             : ToQString(engine::BytesText(static_cast<std::uint64_t>(bytes)));
        });
    }
    watch_ip_model_->SetRowToolTip([this](int core_row) { return ConnectionsTip(core_row); });
    list_watch_ip_ = MakeListView("ListViewWatchIP", watch_ip_model_);
    list_watch_ip_->setParent(page);
    list_watch_ip_->setColumnWidth(0, AddressColumnWidth(*list_watch_ip_));
    list_watch_ip_->setColumnWidth(1, 90);
    list_watch_ip_->setColumnWidth(2, 60);
    list_watch_ip_->setColumnWidth(rules::watch_ip::kInfo, 140);
    list_watch_ip_->setColumnWidth(rules::watch_ip::kProgram, 130);
    list_watch_ip_->setColumnWidth(rules::watch_ip::kReceived, 80);
    connect(list_watch_ip_, &QTableView::doubleClicked, this,
            [this](const QModelIndex& index) { commands_->ListViewWatchIP_DblClick(index.row()); });
    connect(list_watch_ip_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int section) { commands_->ListViewWatchIP_ColumnClick(section + 1); });
    layout->addWidget(list_watch_ip_, 1);

    auto* buttons = new QHBoxLayout();
    const ButtonText texts[] = {{0, "리셋", kResetTip},
                                {1, "정보", "'-' 정보를 ' '로 바꿔 IP 정보를 재조사하도록 요청함"},
                                {2, "연결", "선택한 IP를 인터넷으로 연결"},
                                {3, "@복사", "선택한 IP 정보를 복사"}};
    buttons->addStretch(1);
    for (const auto& text : texts) {
        auto* button = MakeButton(page, QStringLiteral("cmdClearList_%1").arg(text.index),
                                  QString::fromUtf8(text.caption), QString::fromUtf8(text.tooltip));
        connect(button, &QPushButton::clicked, this,
                [this, index = text.index] { commands_->cmdClearList_Click(index); });
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
    return page;
}

QString FrmStart::ConnectionsTip(int core_row) const {
    const std::string& address = service_.AddressList().Cell(core_row, rules::watch_ip::kAddress);
    const auto connections = traffic_->Ledger().ConnectionsOf(address);
    if (connections.empty()) return {};
    QStringList lines;
    lines << ToQString(address);
    constexpr std::size_t kMostLines = 20;
    for (std::size_t i = 0; i < connections.size() && i < kMostLines; ++i) {
        const engine::ConnectionLedger::Connection& connection = *connections[i];
        const QString program = connection.owner ? QStringLiteral("%1 (pid %2)")
                                                       .arg(ToQString(connection.owner->name))
                                                       .arg(connection.owner->pid)
                                                 : ToQString(engine::kUnknownCell);
        lines << QStringLiteral("%1  로컬 %2 → 원격 %3  %4")
                     .arg(program)
                     .arg(engine::PortOf(connection.row.dwLocalPort))
                     .arg(engine::PortOf(connection.row.dwRemotePort))
                     .arg(ToQString(engine::StateName(connection.row.dwState)));
    }
    if (connections.size() > kMostLines)
        lines << QStringLiteral("… 외 %1개").arg(connections.size() - kMostLines);
    return lines.join(QLatin1Char('\n'));
}

QWidget* FrmStart::BuildInvaderTab() {
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 8);
    invader_model_ = new ListTableModel(
        service_.RuleList(), {QStringLiteral("IP"), QStringLiteral("연결"), QStringLiteral("정보")});
    invader_model_->SetVerdictColumn(rules::invader_column::kVerdict);
    list_invader_ = MakeListView("ListViewInvaderOX", invader_model_);
    list_invader_->setParent(page);
    list_invader_->setColumnWidth(0, AddressColumnWidth(*list_invader_));
    list_invader_->setColumnWidth(1, 60);
    connect(list_invader_, &QTableView::doubleClicked, this,
            [this](const QModelIndex& index) { commands_->ListViewInvaderOX_DblClick(index.row()); });
    connect(list_invader_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int section) { commands_->ListViewInvaderOX_ColumnClick(section + 1); });
    layout->addWidget(list_invader_, 1);

    auto* row = new QHBoxLayout();
    chk_invader_ = new QCheckBox(page);
    chk_invader_->setObjectName(QStringLiteral("chkInvaderOX"));
    chk_invader_->setCursor(Qt::PointingHandCursor);
    connect(chk_invader_, &QCheckBox::clicked, this, [this] { commands_->ClickInvaderOX(); });
    row->addWidget(chk_invader_);
    row->addStretch(1);
    const ButtonText texts[] = {
        {0, "@추가", "차단할 IP를 추가"}, {1, "@복사", "선택한 IP를 복사"}, {2, "@삭제", "선택한 IP를 삭제"}};
    for (const auto& text : texts) {
        auto* button = MakeButton(page, QStringLiteral("cmdInvaderOX_%1").arg(text.index),
                                  QString::fromUtf8(text.caption), QString::fromUtf8(text.tooltip));
        connect(button, &QPushButton::clicked, this,
                [this, index = text.index] { commands_->cmdInvaderOX_Click(index); });
        row->addWidget(button);
    }
    layout->addLayout(row);
    InvaderOXChanged();
    return page;
}

QWidget* FrmStart::BuildWatchPortTab() {
    auto* page = new QWidget();
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 8);
    watch_port_model_ = new ListTableModel(
        service_.PortList(), {QStringLiteral("IP"), QStringLiteral("PORT"), QStringLiteral("프로그램")});
    list_watch_port_ = MakeListView("ListViewWatchPORT", watch_port_model_);
    list_watch_port_->setParent(page);
    list_watch_port_->setColumnWidth(0, AddressColumnWidth(*list_watch_port_));
    list_watch_port_->setColumnWidth(1, 70);
    connect(list_watch_port_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int section) { commands_->ListViewWatchPORT_ColumnClick(section + 1); });
    layout->addWidget(list_watch_port_, 1);
    auto* row = new QHBoxLayout();
    row->addStretch(1);
    auto* reset = MakeButton(page, QStringLiteral("cmdClearList_10"), QStringLiteral("리셋"),
                             QString::fromUtf8(kResetTip));
    connect(reset, &QPushButton::clicked, this,
            [this] { commands_->cmdClearList_Click(rules::clear_button::kResetPorts); });
    row->addWidget(reset);
    layout->addLayout(row);
    return page;
}

QWidget* FrmStart::BuildOptionsTab() {
    auto* page = new QWidget();
    auto* outer = new QVBoxLayout(page);
    outer->setContentsMargins(8, 8, 8, 8);
    tab_etc_ = new QTabWidget(page);
    tab_etc_->setObjectName(QStringLiteral("SSTabEtc"));
    outer->addWidget(tab_etc_);

    auto* options = new QWidget();
    auto* layout = new QVBoxLayout(options);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(6);
    auto* info_label = new QLabel(QStringLiteral("내 정보"), options);
    info_label->setObjectName(QStringLiteral("lblMyInfo"));
    layout->addWidget(info_label);
    txt_my_info_ = new QPlainTextEdit(options);
    txt_my_info_->setObjectName(QStringLiteral("txtMyInfo"));
    txt_my_info_->setReadOnly(true);
    txt_my_info_->setFixedHeight(88);
    txt_my_info_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(txt_my_info_);
    layout->addSpacing(6);

    for (const int i : {engine::kAutoBlockBox, engine::kBlockInternetBox}) {
        const char* caption =
            i == engine::kAutoBlockBox ? "침입한 IP를 자동으로 차단합니다." : "인터넷을 차단합니다.";
        auto* box = new QCheckBox(QString::fromUtf8(caption), options);
        box->setObjectName(QStringLiteral("CheckStopRun_%1").arg(i));
        box->setChecked(service_.Cycle().IsChecked(i));
        box->setCursor(Qt::PointingHandCursor);
        connect(box, &QCheckBox::clicked, this, [this, i, box](bool checked) {
            // The handler may have unchecked the box again (a No to the question).
            box->setChecked(service_.SetMode(i, checked));
        });
        check_stop_run_[static_cast<std::size_t>(i)] = box;
        layout->addWidget(box);
    }
    check_top_most_ = new QCheckBox(QStringLiteral("창을 최상위로 유지합니다."), options);
    check_top_most_->setObjectName(QStringLiteral("CheckTopMost"));
    check_top_most_->setChecked(true);
    check_top_most_->setCursor(Qt::PointingHandCursor);
    connect(check_top_most_, &QCheckBox::clicked, this, [this] { CheckTopMost_Click(); });
    layout->addWidget(check_top_most_);
    layout->addSpacing(6);

    notice_ = new QLabel(options);
    notice_->setObjectName(QStringLiteral("PrivilegeNotice"));
    notice_->setWordWrap(true);
    notice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    notice_->hide();
    layout->addWidget(notice_);
    layout->addStretch(1);
    tab_etc_->addTab(options, QStringLiteral("옵션"));

    NetworkToolsPanel::Services tools;
    tools.dialogs = services_.dialogs;
    auto* network = new NetworkToolsPanel(program_folder_, std::move(tools));
    tab_etc_->addTab(network, QStringLiteral("네트웍 명령"));
    tab_etc_->addTab(BuildTrustedTab(), QStringLiteral("신뢰 목록"));
    return page;
}

QWidget* FrmStart::BuildTrustedTab() {
    auto* page = new QWidget();
    page->setObjectName(QStringLiteral("TrustedListPage"));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(6);
    auto* about =
        new QLabel(QStringLiteral("80번 포트에 접속해도 자동으로 차단하지 않을 주소나 범위를 한 줄에 "
                                  "하나씩 적습니다 (예: 192.168.0.10, 192.168.0.0/24, fd00::/8). "
                                  "'#' 뒤는 설명입니다."),
                   page);
    about->setObjectName(QStringLiteral("lblTrustedList"));
    about->setWordWrap(true);
    layout->addWidget(about);
    txt_trusted_ = new QPlainTextEdit(page);
    txt_trusted_->setObjectName(QStringLiteral("txtTrustedList"));
    txt_trusted_->setPlainText(ToQString(service_.TrustedListText()));
    layout->addWidget(txt_trusted_, 1);
    auto* row = new QHBoxLayout();
    trusted_status_ = new QLabel(page);
    trusted_status_->setObjectName(QStringLiteral("lblTrustedStatus"));
    trusted_status_->setWordWrap(true);
    row->addWidget(trusted_status_, 1);
    auto* save = MakeButton(page, QStringLiteral("cmdTrustedSave"), QStringLiteral("저장"),
                            QStringLiteral("신뢰 목록을 저장하고 바로 적용함"));
    connect(save, &QPushButton::clicked, this, [this] { cmdTrustedSave_Click(); });
    row->addWidget(save);
    layout->addLayout(row);
    auto* lifelines =
        new QLabel(QStringLiteral("자동으로 차단하지 않는 주소 (이 컴퓨터의 연결에 꼭 필요한 주소와 "
                                  "신뢰 목록)"),
                   page);
    lifelines->setObjectName(QStringLiteral("lblExemptions"));
    lifelines->setWordWrap(true);
    layout->addWidget(lifelines);
    txt_exemptions_ = new QPlainTextEdit(page);
    txt_exemptions_->setObjectName(QStringLiteral("txtExemptions"));
    txt_exemptions_->setReadOnly(true);
    layout->addWidget(txt_exemptions_, 1);
    // The lifelines change with the network: shown afresh whenever the page is opened.
    connect(tab_etc_, &QTabWidget::currentChanged, this, [this, page](int index) {
        if (tab_etc_->widget(index) == page) ShowExemptions();
    });
    ShowExemptions();
    return page;
}

void FrmStart::ShowExemptions() {
    QString text;
    for (const std::string& line : ExemptionLines(service_.Exemptions())) text += ToQString(line) + u'\n';
    txt_exemptions_->setPlainText(text);
}

void FrmStart::cmdTrustedSave_Click() {
    rules::TrustedList parsed;
    const bool saved = service_.SaveTrustedList(txt_trusted_->toPlainText().toStdString(), parsed);
    QString status = saved ? QStringLiteral("저장했습니다 (%1개).").arg(parsed.ranges.ranges().size())
                           : QStringLiteral("파일에 저장하지 못했습니다. 이번 실행에만 적용됩니다.");
    if (!parsed.bad_lines.empty()) {
        QStringList numbers;
        for (const int line : parsed.bad_lines) numbers << QString::number(line);
        status += QStringLiteral(" 주소나 범위가 아닌 줄은 건너뛰었습니다: %1번째 줄")
                      .arg(numbers.join(QStringLiteral(", ")));
    }
    trusted_status_->setText(status);
    ShowExemptions();
    Log("trusted " + std::to_string(parsed.ranges.ranges().size()) + " bad " +
        std::to_string(parsed.bad_lines.size()));
}

// --- Load -----------------------------------------------------------------------------------------

platform::WindowHandle FrmStart::Handle() {
    if (!loaded_) Form_Load();
    return mailbox_->handle();
}

void FrmStart::Form_Load() {
    loaded_ = true;
    // 1. Reached through the tray icon, not the task list; without a tray it must stay reachable.
    if (TrayAvailable()) setWindowFlag(Qt::Tool, true);
    // 2. Centred on the screen.
    if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
        move(platform::CentredIn(screen->geometry(), size()).topLeft());
    }
    // 3. The five folders.
    service_.CreateFolders();
    // 4. The information box.
    const platform::LocalInfo info = services_.local_info();
    // A global IPv6 address, when the machine has one, goes on a line of its own below the IPv4 one.
    const QString address6_line =
        info.address6.empty() ? QString() : QStringLiteral("\r\n   로컬 IPv6: ") + ToQString(info.address6);
    my_info_text_ = QStringLiteral("\r\n   로컬 IP: ") + ToQString(info.address) + address6_line +
                    QStringLiteral("\r\n   도메인 네임: ") + ToQString(info.domain) +
                    QStringLiteral("\r\n   로컬 호스트 네임: ") + ToQString(info.host_name);
    txt_my_info_->setPlainText(QString(my_info_text_).remove(QLatin1Char('\r')));
    // 5. The tray icon, with the design title as its tip.
    UpdateTrayIcon(engine::TrayIconChange::Add);
    tray_was_available_ = TrayAvailable();
    tray_notice_->setVisible(!tray_was_available_);
    if (!tray_was_available_) Log("tray none");
    tray_watch_timer_.start();
    // 6. The bait listener.
    SetPortListener(true);
    // 7. First tabs.
    tab_main_->setCurrentIndex(0);
    tab_etc_->setCurrentIndex(0);
    // 8. Both timers.
    service_.Start();
    // 9. The final title.
    setWindowTitle(ToQString(kFinalTitle));
    UpdateNotice();
}

void FrmStart::ExpireInvaderFiles() {
    service_.Store().ExpireInvaderFiles(service_.GetClock());
}

void FrmStart::ShowWindow() {
    show();
    Log("window shown");
}

void FrmStart::HideWindow() {
    // With no tray to bring it back, the window is never hidden.
    if (!TrayAvailable()) return;
    hide();
    Log("window hidden");
}

bool FrmStart::IsWindowVisible() const {
    return isVisible();
}

bool FrmStart::TrayAvailable() const {
    return services_.tray->Available();
}

void FrmStart::WatchTray() {
    if (ending_ || closing_from_system_) return;
    const bool available = TrayAvailable();
    if (available == tray_was_available_) return;
    tray_was_available_ = available;
    tray_notice_->setVisible(!available);
    if (available) {
        // An icon shown while there was no tray is known to no tray: it goes up anew.
        services_.tray->Delete();
        UpdateTrayIcon(engine::TrayIconChange::Add);
        Log("tray came");
        return;
    }
    Log("tray none");
    // Hidden in a tray that is gone, the window could not be brought back: it comes back now.
    if (!isVisible()) RestoreFromTray();
}

// --- Tray -----------------------------------------------------------------------------------------

void FrmStart::UpdateTrayIcon(engine::TrayIconChange change) {
    using engine::TrayIconChange;
    // The tip is the title of this moment, cut like the classic 64-character tip buffer.
    const QString tip = windowTitle().left(63);
    if (change == TrayIconChange::Add) {
        services_.tray->Add(NormalTrayImage(), tip);
        tray_image_ = 1;
    } else if (change == TrayIconChange::Reset) {
        if (tray_image_ != 0) services_.tray->Modify(NormalTrayImage(), tip);
        if (tray_image_ != 0) tray_image_ = 1;
    } else if (change == TrayIconChange::Invader) {
        if (tray_image_ != 0) services_.tray->Modify(AlertTrayImage(), tip);
        if (tray_image_ != 0) tray_image_ = 2;
    } else {
        return;
    }
    tray_tip_ = tip;
    Log("tray " + std::string(TrayIconName(change)) + " image " + std::to_string(tray_image_));
}

void FrmStart::IntruderFiled(std::string_view address) {
    if (IsWindowVisible() || !TrayAvailable()) return;
    if (const auto notice = notices_->Filed(address)) ShowNotice(*notice);
    ScheduleNoticeTimer();
}

void FrmStart::ExemptAddressMet(std::string_view address, rules::Exemption why) {
    if (!exempt_noticed_.emplace(address).second) return;
    const std::string text = ExemptHitText(address, why);
    if (TrayAvailable()) services_.tray->ShowMessage(QStringLiteral("Torvane 알림"), ToQString(text));
    Log("exempt " + text);
}

void FrmStart::NoticeTimer_Timer() {
    if (IsWindowVisible()) {
        notices_->WindowShown();
        return;
    }
    if (const auto notice = notices_->Flush()) ShowNotice(*notice);
    ScheduleNoticeTimer();
}

void FrmStart::ShowNotice(const IntruderNotices::Notice& notice) {
    services_.tray->ShowMessage(ToQString(kIntruderNoticeTitle), ToQString(notice.text));
    Log("notice " + std::to_string(notice.count) + " " + notice.text);
}

void FrmStart::ScheduleNoticeTimer() {
    const auto due = notices_->PendingDue();
    if (!due) return;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*due - services_.clock->Now());
    notice_timer_.start(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
}

void FrmStart::Form_MouseMove(int code) {
    if (code == TrayIcon::kLeftButtonUp) {
        RestoreFromTray();
    } else if (code == TrayIcon::kRightButtonUp) {
        // One prompt at a time: tray clicks still arrive while it is open.
        if (quit_prompt_open_) return;
        quit_prompt_open_ = true;
        if (services_.dialogs->AskYesNo(kTrayQuitQuestion)) {
            EndProgram();
            return;
        }
        quit_prompt_open_ = false;
    }
}

void FrmStart::RestoreFromTray() {
    UpdateTrayIcon(engine::TrayIconChange::Reset);
    // The user sees the lists now; intruders still counted need no notice.
    notices_->WindowShown();
    notice_timer_.stop();
    restore_requested_ = true;
    // Whatever the window manager made of the window while it was hidden (minimised, on another
    // desktop, below other windows), it comes back in its normal state; what only holds on a mapped
    // window is done again once it is mapped.
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    SetWindowPosTopmost(check_top_most_->isChecked());
    raise();
    activateWindow();
    ScheduleAfterMapped();
    Log("window shown");
}

void FrmStart::WatchNativeWindow() {
    // Changing some window flags gives the widget a new native window.
    QWindow* native = windowHandle();
    if (native == watched_window_.data()) return;
    if (watched_window_) watched_window_->removeEventFilter(this);
    watched_window_ = native;
    if (native) native->installEventFilter(this);
}

void FrmStart::ScheduleAfterMapped() {
    WatchNativeWindow();
    if (windowHandle() && windowHandle()->isExposed() && !isMinimized()) {
        if (std::exchange(after_mapped_queued_, true)) return;
        QMetaObject::invokeMethod(this, &FrmStart::AfterMapped, Qt::QueuedConnection);
    } else {
        // The next expose of the native window does it.
        after_mapped_pending_ = true;
    }
}

void FrmStart::AfterMapped() {
    after_mapped_queued_ = false;
    after_mapped_pending_ = false;
    // Hidden again meanwhile (the close box): nothing to bring back.
    if (!isVisible() || ending_) {
        restore_requested_ = false;
        return;
    }
    const bool bring_to_user = std::exchange(restore_requested_, false);
    // A window manager may map a window that was minimised as an icon again.
    // A few times only: a window manager that insists on the icon is not fought forever.
    if (isMinimized() && unminimise_tries_ < 3) {
        ++unminimise_tries_;
        restore_requested_ = bring_to_user;
        setWindowState(windowState() & ~Qt::WindowMinimized);
        ScheduleAfterMapped();
        return;
    }
    unminimise_tries_ = 0;
    if (bring_to_user) {
        raise();
        activateWindow();
    }
    RequestWindowStates(bring_to_user);
    Log("window mapped");
}

void FrmStart::RequestWindowStates(bool bring_to_user) {
    if (!services_.window_manager || !windowHandle()) return;
    platform::WindowRequest request;
    // Without a tray the task list is the only way back to the window.
    request.skip_taskbar = TrayAvailable();
    request.above = Topmost();
    request.to_current_desktop = bring_to_user;
    request.activate = bring_to_user;
    services_.window_manager->Request(windowHandle()->winId(), request);
}

// --- Topmost --------------------------------------------------------------------------------------

bool FrmStart::Topmost() const {
    return windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

void FrmStart::SetWindowPosTopmost(bool topmost) {
    // Like SetWindowPos with SWP_SHOWWINDOW: the window ends up shown either way.
    if (Topmost() != topmost) {
        const Qt::WindowFlags flags =
            topmost ? windowFlags() | Qt::WindowStaysOnTopHint : windowFlags() & ~Qt::WindowStaysOnTopHint;
        if (QWindow* native = windowHandle()) {
            // Changed on the native window in place: QWidget::setWindowFlag would make a new one,
            // unmapping the window and leaving the stacking to the next map.
            overrideWindowFlags(flags);
            native->setFlags(flags);
        } else {
            setWindowFlags(flags);
        }
    }
    if (!isVisible()) {
        show();
    } else {
        // The window manager holds the stacking of a mapped window: ask it (now, or once mapped).
        ScheduleAfterMapped();
    }
}

void FrmStart::ApplyTopMost(std::string_view on_off) {
    if (!check_top_most_->isChecked()) return;
    SetWindowPosTopmost(on_off == "ON");
}

void FrmStart::CheckTopMost_Click() {
    SetWindowPosTopmost(check_top_most_->isChecked());
}

// --- Toolbar --------------------------------------------------------------------------------------

void FrmStart::ToolbarMenu_ButtonMenuClick(const QString& item_text) {
    if (item_text == ToQString(kMenuQuit)) {
        if (services_.dialogs->AskYesNo(kMenuQuitQuestion)) EndProgram();
    } else if (item_text == ToQString(kMenuHelp)) {
        ApplyTopMost("OFF");
        services_.open_help(this);
        ApplyTopMost("ON");
    } else if (item_text == ToQString(kMenuAbout)) {
        ApplyTopMost("OFF");
        services_.open_about(this);
        ApplyTopMost("ON");
    }
}

void FrmStart::ToolbarMenu_MouseMove() {
    service_.Cycle().SetTimerIntervalMs(1000);
}

bool FrmStart::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watched_window_.data() && event->type() == QEvent::Expose && after_mapped_pending_ &&
        watched_window_->isExposed()) {
        after_mapped_pending_ = false;
        if (!std::exchange(after_mapped_queued_, true)) {
            QMetaObject::invokeMethod(this, &FrmStart::AfterMapped, Qt::QueuedConnection);
        }
    }
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::HoverMove) {
        if (watched == toolbar_ || (watched->parent() == toolbar_)) ToolbarMenu_MouseMove();
    }
    return QMainWindow::eventFilter(watched, event);
}

// --- Listener and notice --------------------------------------------------------------------------

void FrmStart::SetPortListener(bool start) {
    if (start) {
        const bool open = service_.OpenBait(listener_, services_.bait_port);
        Log(open ? "listener open" : "listener failed");
    } else {
        listener_.Close();
        Log("listener closed");
    }
    UpdateNotice();
}

void FrmStart::UpdateNotice() {
    QStringList lines;
    EnforcementFacts facts;
    facts.own_teardown = services_.can_tear_down();
    if (engine::GuardEnforcement* guard = service_.Guard()) {
        facts.guard_expected = true;
        facts.guard = guard->GuardState();
        facts.refused = RefusedTexts(guard->RefusedLifelines());
        facts.guard_refused = guard->Refused();
    }
    AddUserFacts(facts, program_folder_);
    const std::vector<std::string> enforcement = EnforcementNotice(facts);
    for (const std::string& line : enforcement) lines << ToQString(line);
    // A user the guard refuses is told once beside the tray as well: the one step it takes is theirs.
    if (facts.guard_refused && !refusal_told_ && loaded_ && !enforcement.empty()) {
        refusal_told_ = true;
        services_.tray->ShowMessage(ToQString(kRefusalNoticeTitle), ToQString(enforcement.front()));
        Log("notice guard refused");
    }
    // Without a guard that names them, only this user's programs can be shown: said once here.
    if (facts.guard_expected && !traffic_->SeesEveryUser()) lines << ToQString(ProgramsNotice(false));
    if (services_.updates_refused) {
        lines << QStringLiteral(
            "⚠ 업데이트를 확인하지 않습니다: 프로그램 폴더의 경로에 \"[\" 또는 \"]\"가 있어 업데이트 정보를 "
            "안전하게 넘길 수 없습니다. 괄호가 없는 폴더로 옮겨 주세요.");
    }
    if (loaded_ && !listener_.IsListening() && !closing_from_system_ && !ending_) {
        switch (listener_.LastFailure()) {
            case BaitListener::Failure::PortInUse:
                lines << QStringLiteral(
                    "⚠ 80번 포트 감시 리스너를 열지 못했습니다: 다른 프로그램이 이미 이 포트를 쓰고 "
                    "있습니다.");
                break;
            case BaitListener::Failure::NoPermission:
                lines << QStringLiteral(
                    "⚠ 80번 포트 감시 리스너를 열지 못했습니다: 권한(CAP_NET_BIND_SERVICE)이 없습니다. 80번 "
                    "포트로 들어오는 침입을 잡아낼 미끼가 없습니다.");
                break;
            case BaitListener::Failure::Other:
            case BaitListener::Failure::None:
                lines << QStringLiteral("⚠ 80번 포트 감시 리스너를 열지 못했습니다.");
                break;
        }
    }
    notice_->setText(lines.join(QLatin1Char('\n')));
    notice_->setVisible(!lines.isEmpty());
}

QString FrmStart::NoticeText() const {
    return notice_->isVisibleTo(notice_->parentWidget()) ? notice_->text() : QString();
}

QString FrmStart::TrayNoticeText() const {
    return tray_notice_->isVisibleTo(tray_notice_->parentWidget()) ? tray_notice_->text() : QString();
}

// --- Close and quit -------------------------------------------------------------------------------

void FrmStart::closeEvent(QCloseEvent* event) {
    if (closing_from_system_) {
        event->accept();
        return;
    }
    // The user's close only puts the window away; the program goes on in the tray. It is hidden in
    // its normal state: a window minimised before it is unmapped is mapped as an icon again by some
    // window managers, and the tray click would then leave only a task-list entry.
    event->ignore();
    if (TrayAvailable()) {
        hide();
        Log("window hidden");
    } else {
        showMinimized();
    }
}

void FrmStart::CloseFromSystem() {
    if (closing_from_system_) return;
    closing_from_system_ = true;
    services_.tray->Delete();
    tray_image_ = 0;
    SetPortListener(false);
    close();
    ending_ = true;
    Log("program ends");
    services_.end_program();
}

void FrmStart::EndProgram() {
    services_.tray->Delete();
    tray_image_ = 0;
    SetPortListener(false);
    ending_ = true;
    Log("program ends");
    services_.end_program();
}

// --- Commands host --------------------------------------------------------------------------------

void FrmStart::InvaderOXChanged() {
    const QSignalBlocker block(chk_invader_);
    chk_invader_->setText(RuleListCaption(commands_->InvaderOXView()));
    chk_invader_->setChecked(commands_->InvaderOXValue() == 1);
}

void FrmStart::FocusInvaderList() {
    list_invader_->setFocus();
}

void FrmStart::SetWaitCursor(bool waiting) {
    if (waiting) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

// --- Lamps and log --------------------------------------------------------------------------------

void FrmStart::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    RefreshLamps();
    lamp_timer_.start();
    // Every map loses the window manager's states (a withdrawn window keeps none): set them again.
    ScheduleAfterMapped();
}

void FrmStart::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // A new native window (some flag changes make one) must be watched for its map as well.
    if (event->type() == QEvent::WindowStateChange && restore_requested_ && isVisible())
        ScheduleAfterMapped();
}

void FrmStart::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    lamp_timer_.stop();
}

void FrmStart::RefreshLamps() {
    // While kernel events let the table timer sleep, the quiet ticks it skipped step them first.
    service_.ShowQuietLamps();
    const auto colours = service_.Cycle().LampColors();
    lamps_[0]->SetBgr(colours[0]);
    lamps_[1]->SetBgr(colours[1]);
}

void FrmStart::Log(const std::string& line) const {
    if (services_.debug_log) std::cout << "event " << line << std::endl;
}

}  // namespace velmor::shell
