// The main window on the offscreen platform: controls found by object name, the load sequence, the
// tray, topmost, the toolbar, the close paths and the privilege notice.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTcpServer>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <filesystem>

#include "desktop_services.h"
#include "frm_start.h"
#include "lamp_widget.h"
#include "traffic_view.h"
#include "velmor/common/text_file.h"
#include "velmor/platform/mailbox.h"
#include "velmor/platform/user_account.h"
#include "velmor/shell/enforcement_notice.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/fake_guard_link.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

// The application lives in main(), so it is gone before static destructors run (a static one
// outlives Qt's own input devices and font caches at exit).
void App() {
    ASSERT_NE(QApplication::instance(), nullptr);
}

class FakeTray final : public TrayIcon {
public:
    struct Call {
        std::string kind;
        QString tip;
        qint64 image;  // cacheKey of the image, 0 for delete
    };
    bool available = true;
    std::vector<Call>* calls;
    explicit FakeTray(std::vector<Call>* log) : calls(log) {}
    bool Available() const override { return available; }
    void Add(const QIcon& image, const QString& tip) override {
        calls->push_back({"add", tip, image.cacheKey()});
    }
    void Modify(const QIcon& image, const QString& tip) override {
        calls->push_back({"modify", tip, image.cacheKey()});
    }
    void Delete() override { calls->push_back({"delete", {}, 0}); }
    void ShowMessage(const QString& title, const QString& text) override {
        calls->push_back({"message", title + QLatin1Char('|') + text, 0});
    }
};

// Records what the window manager is asked, and whether the window was mapped at that moment.
class FakeWindowManager final : public platform::WindowManager {
public:
    struct Call {
        platform::WindowRequest request;
        bool exposed = false;
    };
    std::function<bool()> exposed;
    std::vector<Call>* calls;
    explicit FakeWindowManager(std::vector<Call>* log) : calls(log) {}
    bool Request(std::uint64_t, const platform::WindowRequest& request) override {
        calls->push_back({request, exposed && exposed()});
        return true;
    }
    std::optional<platform::WindowStates> Read(std::uint64_t) override { return std::nullopt; }
};

// Dialogs whose Yes/No question can run code while it is "open", like a modal box whose event loop
// delivers tray clicks.
class ReentrantDialogs final : public Dialogs {
public:
    std::function<void()> while_open;
    std::deque<bool> answers;
    std::vector<std::string> asked;
    void Tell(std::string_view text, Icon) override { asked.emplace_back(text); }
    bool AskYesNo(std::string_view text) override {
        asked.emplace_back(text);
        if (while_open) {
            auto run = std::move(while_open);
            run();
        }
        if (answers.empty()) return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> AskText(std::string_view, std::string_view) override { return std::nullopt; }
};

class FrmStartTest : public ::testing::Test {
protected:
    void SetUp() override { App(); }

    FrmStart& Make(bool tray_available = true, quint16 port = 0,
                   std::unique_ptr<guard::GuardLink> guard = nullptr) {
        FrmStartServices services;
        MonitorParts parts;
        parts.guard = std::move(guard);
        services.dialogs = &dialogs;
        services.clipboard = &clipboard;
        services.browser = &browser;
        auto tray = std::make_unique<FakeTray>(&tray_calls);
        tray->available = tray_available;
        fake_tray = tray.get();
        services.tray = std::move(tray);
        auto table = std::make_unique<test::FakeConnectionTable>();
        fake_table = table.get();
        parts.table = std::move(table);
        auto counters = std::make_unique<test::FakeSocketCounters>();
        fake_counters = counters.get();
        parts.counters = std::move(counters);
        services.local_info = [this] { return local_info; };
        services.can_tear_down = [this] { return can_tear_down; };
        services.end_program = [this] { ++ended; };
        services.open_help = [this](QWidget*) { topmost_while_modal.push_back(window->Topmost()); };
        services.open_about = [this](QWidget*) { topmost_while_modal.push_back(window->Topmost()); };
        // Port 0: any free port, so the tests never need (or fight over) the real port 80.
        services.bait_port = port;
        services.updates_refused = updates_refused;
        auto manager = std::make_unique<FakeWindowManager>(&wm_calls);
        manager->exposed = [this] {
            return window && window->windowHandle() && window->windowHandle()->isExposed();
        };
        services.window_manager = std::move(manager);
        services.clock = &clock;
        services.mailbox = platform::OpenMailbox();
        if (real_tray) {
            services.tray = std::move(real_tray);
            fake_tray = nullptr;
        }
        window.reset();
        monitor = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        window = std::make_unique<FrmStart>(folder.path(), *monitor, std::move(services));
        return *window;
    }

    // Runs the event loop until `condition` holds (or five seconds pass).
    static bool Until(const std::function<bool()>& condition) { return test::ProcessEventsUntil(condition); }

    // The window manager was asked to bring the window to the user (a finished restore).
    int Restores() const {
        return static_cast<int>(std::count_if(wm_calls.begin(), wm_calls.end(),
                                              [](const auto& call) { return call.request.activate; }));
    }

    std::vector<FakeTray::Call> Messages() const {
        std::vector<FakeTray::Call> messages;
        for (const auto& call : tray_calls)
            if (call.kind == "message") messages.push_back(call);
        return messages;
    }

    void FileIntruder(const std::string& address, int port) {
        fake_table->tcp_rows.push_back(test::MakeRow("10.0.0.5", 80, address, port));
        ++fake_counters->value.passive_opens;  // what the kernel counts for an accepted connection
        window->Service().Cycle().TimerGetTable_Timer();
    }

    template <typename T>
    T* Find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    test::TempDir folder;
    ReentrantDialogs dialogs;
    test::FakeClipboard clipboard;
    test::FakeBrowser browser;
    std::vector<FakeTray::Call> tray_calls;
    FakeTray* fake_tray = nullptr;
    test::FakeConnectionTable* fake_table = nullptr;
    test::FakeSocketCounters* fake_counters = nullptr;
    bool can_tear_down = true;
    bool updates_refused = false;
    int ended = 0;
    std::vector<bool> topmost_while_modal;
    platform::LocalInfo local_info{"10.1.2.3", "example.lan", "desk-01"};
    std::vector<FakeWindowManager::Call> wm_calls;
    test::FakeClock clock;
    std::unique_ptr<TrayIcon> real_tray;
    std::unique_ptr<MonitorService> monitor;  // the window's, built first
    std::unique_ptr<FrmStart> window;
};

TEST_F(FrmStartTest, ControlsCarryTheirNamesCaptionsAndTooltips) {
    Make();
    EXPECT_EQ(window->objectName(), QStringLiteral("frmStart"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Torvane...1.0703.01버전"));

    auto* tabs = Find<QTabWidget>("SSTabMain");
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 5);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("IP 감시"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("IP 차단"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("PORT 정보"));
    EXPECT_EQ(tabs->tabText(3), QStringLiteral("옵션"));
    EXPECT_EQ(tabs->tabText(4), QStringLiteral("트래픽"));
    auto* inner = Find<QTabWidget>("SSTabEtc");
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(inner->count(), 3);
    EXPECT_EQ(inner->tabText(0), QStringLiteral("옵션"));
    EXPECT_EQ(inner->tabText(1), QStringLiteral("네트웍 명령"));
    EXPECT_EQ(inner->tabText(2), QStringLiteral("신뢰 목록"));

    const struct {
        const char* name;
        const char* caption;
        const char* tooltip;
    } buttons[] = {
        {"cmdClearList_0", "리셋", "감시중인 IP 리스트를 리셋"},
        {"cmdClearList_1", "정보", "'-' 정보를 ' '로 바꿔 IP 정보를 재조사하도록 요청함"},
        {"cmdClearList_2", "연결", "선택한 IP를 인터넷으로 연결"},
        {"cmdClearList_3", "@복사", "선택한 IP 정보를 복사"},
        {"cmdClearList_10", "리셋", "감시중인 IP 리스트를 리셋"},
        {"cmdInvaderOX_0", "@추가", "차단할 IP를 추가"},
        {"cmdInvaderOX_1", "@복사", "선택한 IP를 복사"},
        {"cmdInvaderOX_2", "@삭제", "선택한 IP를 삭제"},
    };
    for (const auto& b : buttons) {
        auto* button = Find<QPushButton>(b.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), QString::fromUtf8(b.caption)) << b.name;
        EXPECT_EQ(button->toolTip(), QString::fromUtf8(b.tooltip)) << b.name;
    }
    const struct {
        const char* name;
        const char* caption;
        bool checked;
    } boxes[] = {
        {"CheckStopRun_0", "침입한 IP를 자동으로 차단합니다.", true},
        {"CheckStopRun_1", "인터넷을 차단합니다.", false},
        {"CheckTopMost", "창을 최상위로 유지합니다.", true},
        {"chkInvaderOX", "차단 리스트", false},
    };
    for (const auto& b : boxes) {
        auto* box = Find<QCheckBox>(b.name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QString::fromUtf8(b.caption)) << b.name;
        EXPECT_EQ(box->isChecked(), b.checked) << b.name;
    }

    const auto headers = [&](const char* name) {
        QStringList titles;
        auto* view = Find<QTableView>(name);
        if (view == nullptr) return titles;
        for (int i = 0; i < view->model()->columnCount(); ++i) {
            titles << view->model()->headerData(i, Qt::Horizontal).toString();
        }
        return titles;
    };
    EXPECT_EQ(headers("ListViewWatchIP"),
              (QStringList{QStringLiteral("IP"), QStringLiteral("횟수"), QStringLiteral("연결"),
                           QStringLiteral("정보"), QStringLiteral("프로그램"), QStringLiteral("받음"),
                           QStringLiteral("보냄")}));
    EXPECT_EQ(headers("ListViewWatchPORT"),
              (QStringList{QStringLiteral("IP"), QStringLiteral("PORT"), QStringLiteral("프로그램")}));
    EXPECT_EQ(headers("ListViewInvaderOX"),
              (QStringList{QStringLiteral("IP"), QStringLiteral("연결"), QStringLiteral("정보")}));

    auto* toolbar = Find<QToolBar>("ToolbarMenu");
    auto* file = Find<QToolButton>("ToolbarMenu_1");
    auto* help = Find<QToolButton>("ToolbarMenu_2");
    ASSERT_TRUE(toolbar && file && help);
    EXPECT_EQ(file->text(), QStringLiteral("파일"));
    EXPECT_EQ(help->text(), QStringLiteral("도움말"));
    ASSERT_EQ(file->menu()->actions().size(), 1);
    EXPECT_EQ(file->menu()->actions()[0]->text(), QStringLiteral("끝내기(&X)"));
    ASSERT_EQ(help->menu()->actions().size(), 2);
    EXPECT_EQ(help->menu()->actions()[0]->text(), QStringLiteral("도움말 항목(&C)"));
    EXPECT_EQ(help->menu()->actions()[1]->text(), QStringLiteral("Torvane 정보(&A)"));
    EXPECT_NE(Find<QWidget>("ShapeLED_0"), nullptr);
    EXPECT_NE(Find<QWidget>("ShapeLED_1"), nullptr);
    EXPECT_NE(Find<QPlainTextEdit>("txtMyInfo"), nullptr);
}

TEST_F(FrmStartTest, NothingHappensBeforeTheHandleIsFirstUsed) {
    Make();
    EXPECT_FALSE(window->Loaded());
    EXPECT_TRUE(tray_calls.empty());
    EXPECT_FALSE(std::filesystem::exists(folder / "invader"));
    EXPECT_FALSE(window->Listener().IsListening());
    EXPECT_FALSE(window->Service().Running());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(FrmStartTest, LoadRunsItsStepsAndEndsWithTheFinalTitle) {
    Make();
    const platform::WindowHandle handle = window->Handle();
    EXPECT_GT(handle, 0);
    EXPECT_TRUE(platform::IsWindow(handle));
    for (const char* sub : {"invader", "support", "shared", "temp", "help"}) {
        EXPECT_TRUE(std::filesystem::is_directory(folder / sub)) << sub;
    }
    EXPECT_EQ(window->MyInfoText(),
              QStringLiteral(
                  "\r\n   로컬 IP: 10.1.2.3\r\n   도메인 네임: example.lan\r\n   로컬 호스트 네임: desk-01"));
    EXPECT_TRUE(
        Find<QPlainTextEdit>("txtMyInfo")->toPlainText().contains(QStringLiteral("로컬 IP: 10.1.2.3")));
    // The icon went up while the window still had its design title.
    ASSERT_EQ(tray_calls.size(), 1u);
    EXPECT_EQ(tray_calls[0].kind, "add");
    EXPECT_EQ(tray_calls[0].tip, QStringLiteral("Torvane...1.0703.01버전"));
    EXPECT_EQ(tray_calls[0].image, NormalTrayImage().cacheKey());
    EXPECT_EQ(window->TrayImage(), 1);
    EXPECT_TRUE(window->Listener().IsListening());
    EXPECT_EQ(Find<QTabWidget>("SSTabMain")->currentIndex(), 0);
    EXPECT_EQ(Find<QTabWidget>("SSTabEtc")->currentIndex(), 0);
    EXPECT_TRUE(window->Service().Running());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Torvane...1.0703.01 버전"));
    // The next icon change carries the final title.
    window->UpdateTrayIcon(engine::TrayIconChange::Invader);
    EXPECT_EQ(tray_calls.back().tip, QStringLiteral("Torvane...1.0703.01 버전"));
    EXPECT_EQ(tray_calls.back().image, AlertTrayImage().cacheKey());
    EXPECT_NE(NormalTrayImage().cacheKey(), AlertTrayImage().cacheKey());
    // A second use of the handle loads nothing again.
    EXPECT_EQ(window->Handle(), handle);
    EXPECT_EQ(tray_calls.size(), 2u);
}

TEST_F(FrmStartTest, InformationBoxShowsAGlobalIpv6AddressOnALineOfItsOwn) {
    local_info.address6 = "2001:db8::10";
    Make();
    ASSERT_GT(window->Handle(), 0);  // the first use of the handle loads the window
    EXPECT_EQ(window->MyInfoText(),
              QStringLiteral("\r\n   로컬 IP: 10.1.2.3\r\n   로컬 IPv6: 2001:db8::10\r\n   도메인 "
                             "네임: example.lan\r\n   로컬 호스트 네임: desk-01"));
    // The address column of each list is wide enough for a full IPv6 address.
    auto* list = Find<QTableView>("ListViewWatchIP");
    ASSERT_NE(list, nullptr);
    EXPECT_GE(list->columnWidth(0), list->fontMetrics().horizontalAdvance(
                                        QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")));
}

TEST_F(FrmStartTest, OnlyTheThreeIconChangesDoAnything) {
    Make();
    window->Handle();
    // Values that name none of the three, as a cast from a number might give.
    window->UpdateTrayIcon(static_cast<engine::TrayIconChange>(3));
    window->UpdateTrayIcon(static_cast<engine::TrayIconChange>(-1));
    EXPECT_EQ(tray_calls.size(), 1u);
    window->UpdateTrayIcon(engine::TrayIconChange::Reset);
    EXPECT_EQ(tray_calls.back().kind, "modify");
    EXPECT_EQ(window->TrayImage(), 1);
}

TEST_F(FrmStartTest, UserCloseHidesAndKeepsMonitoring) {
    Make();
    window->Handle();
    window->ShowWindow();
    ASSERT_TRUE(window->isVisible());
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->IsWindowVisible());
    EXPECT_EQ(window->TrayImage(), 1);
    EXPECT_TRUE(window->Listener().IsListening());
    EXPECT_TRUE(window->Service().Running());
    EXPECT_EQ(ended, 0);
}

TEST_F(FrmStartTest, WithoutATrayTheWindowIsNeverHidden) {
    Make(/*tray_available=*/false);
    window->Handle();
    window->ShowWindow();
    window->HideWindow();
    EXPECT_TRUE(window->isVisible());
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::Tool)) << "without a tray it must stay on the task list";
    EXPECT_EQ(ended, 0);
}

TEST_F(FrmStartTest, WithoutATrayTheWindowSaysHowToGetOneAndFollowsATrayThatComesAndGoes) {
    Make(/*tray_available=*/false);
    window->Handle();
    window->ShowWindow();
    EXPECT_TRUE(window->TrayNoticeText().contains(QStringLiteral("gnome-shell-extension-appindicator")));

    // A panel with a tray starts later: the icon goes up in it anew, and the notice goes.
    tray_calls.clear();
    fake_tray->available = true;
    ASSERT_TRUE(Until([&] { return window->TrayNoticeText().isEmpty(); }));
    ASSERT_GE(tray_calls.size(), 2u);
    EXPECT_EQ(tray_calls[0].kind, "delete");
    EXPECT_EQ(tray_calls[1].kind, "add");
    window->close();
    EXPECT_FALSE(window->isVisible()) << "now the close box puts it into the tray";

    // The panel ends while the window is in its tray: the window comes back by itself.
    fake_tray->available = false;
    ASSERT_TRUE(Until([&] { return window->isVisible(); })) << "hidden in a tray that is gone";
    EXPECT_FALSE(window->TrayNoticeText().isEmpty());
    EXPECT_EQ(ended, 0);
}

TEST_F(FrmStartTest, AlertWhileHiddenAndLeftReleaseRestores) {
    Make();
    window->Handle();
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::Tool)) << "off the task list";
    window->ShowWindow();
    window->HideWindow();
    // A new intruder on local port 80 while the window is hidden.
    fake_table->tcp_rows = {test::MakeRow("10.0.0.5", 80, "10.1.2.3", 1043)};
    fake_table->udp_rows = 1;
    window->Service().Cycle().TimerGetTable_Timer();
    EXPECT_EQ(window->TrayImage(), 2);
    EXPECT_EQ(tray_calls.back().kind, "message") << "a desktop notice beside the alert";
    EXPECT_EQ(tray_calls.rbegin()[1].image, AlertTrayImage().cacheKey());

    window->Form_MouseMove(TrayIcon::kLeftButtonUp);
    EXPECT_EQ(window->TrayImage(), 1);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->Topmost()) << "CheckTopMost is checked";

    // Restoring an already visible window still resets the icon.
    window->UpdateTrayIcon(engine::TrayIconChange::Invader);
    window->Form_MouseMove(TrayIcon::kLeftButtonUp);
    EXPECT_EQ(window->TrayImage(), 1);

    // Unchecked: restoring makes it explicitly not topmost.
    Find<QCheckBox>("CheckTopMost")->setChecked(false);
    window->Form_MouseMove(TrayIcon::kLeftButtonUp);
    EXPECT_FALSE(window->Topmost());
    // Other codes do nothing.
    window->HideWindow();
    window->Form_MouseMove(512);
    window->Form_MouseMove(513);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(FrmStartTest, RightReleaseOpensOneQuitPromptAtATime) {
    Make();
    window->Handle();
    // A second right click arrives while the prompt is open: ignored. Answer No.
    dialogs.while_open = [this] {
        EXPECT_TRUE(window->QuitPromptOpen());
        window->Form_MouseMove(TrayIcon::kRightButtonUp);
    };
    dialogs.answers = {false};
    window->Form_MouseMove(TrayIcon::kRightButtonUp);
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0], "Torvane 프로그램을 종료할까요?");
    EXPECT_FALSE(window->QuitPromptOpen());
    EXPECT_EQ(ended, 0);

    // After No the prompt opens again; Yes removes the icon, closes the listener and ends.
    dialogs.answers = {true};
    window->Form_MouseMove(TrayIcon::kRightButtonUp);
    EXPECT_EQ(dialogs.asked.size(), 2u);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(tray_calls.back().kind, "delete");
    EXPECT_FALSE(window->Listener().IsListening());
    EXPECT_TRUE(window->Ending());
}

TEST_F(FrmStartTest, MenuQuitAsksWithoutAGuard) {
    Make();
    window->Handle();
    dialogs.answers = {false};
    window->ToolbarMenu_ButtonMenuClick(QStringLiteral("끝내기(&X)"));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0], "프로그램을 종료할까요?");
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(window->Listener().IsListening());
    window->ToolbarMenu_ButtonMenuClick(QStringLiteral("그 밖의 항목"));
    EXPECT_EQ(dialogs.asked.size(), 1u);
    dialogs.answers = {true};
    window->ToolbarMenu_ButtonMenuClick(QStringLiteral("끝내기(&X)"));
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(tray_calls.back().kind, "delete");
    EXPECT_FALSE(window->Listener().IsListening());
}

TEST_F(FrmStartTest, HelpAndAboutDropTopmostWhileOpen) {
    Make();
    window->Handle();
    window->ShowWindow();
    window->CheckTopMost_Click();  // checked: topmost
    ASSERT_TRUE(window->Topmost());
    window->ToolbarMenu_ButtonMenuClick(QStringLiteral("도움말 항목(&C)"));
    window->ToolbarMenu_ButtonMenuClick(QStringLiteral("Torvane 정보(&A)"));
    EXPECT_EQ(topmost_while_modal, (std::vector<bool>{false, false}));
    EXPECT_TRUE(window->Topmost());

    // Unchecked: neither call changes anything (the window stays as it is).
    auto* box = Find<QCheckBox>("CheckTopMost");
    box->setChecked(false);
    window->ApplyTopMost("ON");
    EXPECT_TRUE(window->Topmost());
    window->ToolbarMenu_ButtonMenuClick(QStringLiteral("Torvane 정보(&A)"));
    EXPECT_EQ(topmost_while_modal.back(), true);
    EXPECT_TRUE(window->Topmost());
    // Clicking the box applies its new state.
    box->click();
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(window->Topmost());
    box->click();
    EXPECT_FALSE(window->Topmost());
}

TEST_F(FrmStartTest, MouseOverTheToolbarSlowsTheTableTimer) {
    Make();
    window->Handle();
    window->ShowWindow();
    ASSERT_EQ(window->Service().Cycle().TimerIntervalMs(), 1);
    auto* file = Find<QToolButton>("ToolbarMenu_1");
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), file->mapToGlobal(QPointF(5, 5)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(file, &move);
    EXPECT_EQ(window->Service().Cycle().TimerIntervalMs(), 1000);
    // Movement elsewhere does not.
    window->Service().Cycle().SetTimerIntervalMs(1);
    auto* tabs = Find<QTabWidget>("SSTabMain");
    QMouseEvent elsewhere(QEvent::MouseMove, QPointF(5, 5), tabs->mapToGlobal(QPointF(5, 5)), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tabs, &elsewhere);
    EXPECT_EQ(window->Service().Cycle().TimerIntervalMs(), 1);
}

TEST_F(FrmStartTest, TheLampsFlickerWhileTheTableTimerSleepsAndRestWhileHidden) {
    Make();
    window->Handle();
    window->ShowWindow();
    auto& service = window->Service();
    const auto ticks = [&] { return service.Cycle().GetStats().ticks; };
    service.Cycle().SetSafetyNet(std::chrono::minutes(10));
    test::SilentTableEvents source;
    service.SetTableEvents(&source);
    // The tick already due runs once more; after it the timer sleeps on the source.
    const auto before = ticks();
    ASSERT_TRUE(Until([&] { return ticks() > before; }));
    const auto asleep = ticks();

    auto* lamp = Find<LampWidget>("ShapeLED_0");
    ASSERT_NE(lamp, nullptr);
    int changes = 0;
    std::uint32_t last = lamp->Bgr();
    const auto changed = [&](int wanted) {
        return [&, wanted] {
            if (lamp->Bgr() != last) {
                ++changes;
                last = lamp->Bgr();
            }
            return changes >= wanted;
        };
    };
    const auto wait = [&](std::chrono::milliseconds time) {
        const auto end = std::chrono::steady_clock::now() + time;
        Until([&] { return std::chrono::steady_clock::now() >= end; });
    };
    ASSERT_TRUE(Until(changed(3))) << "the lamps stood still while the table timer slept";
    EXPECT_EQ(ticks(), asleep);

    // Hidden: nothing is drawn, so nothing steps.
    window->HideWindow();
    ASSERT_FALSE(window->isVisible());
    const auto hidden = service.Cycle().LampColors();
    wait(std::chrono::milliseconds(400));
    EXPECT_EQ(service.Cycle().LampColors(), hidden);
    EXPECT_EQ(ticks(), asleep);

    // Shown again, the lamps flicker again.
    window->ShowWindow();
    ASSERT_TRUE(Until(changed(changes + 2)));

    // Without a source the ticks step the lamps, and the timer that still sleeps makes none.
    service.SetTableEvents(nullptr);
    const auto without = service.Cycle().LampColors();
    wait(std::chrono::milliseconds(400));
    EXPECT_EQ(service.Cycle().LampColors(), without);
    EXPECT_EQ(ticks(), asleep);
}

TEST_F(FrmStartTest, PostedCloseEndsTheProgram) {
    Make();
    const platform::WindowHandle handle = window->Handle();
    window->ShowWindow();
    ASSERT_TRUE(platform::PostWindowMessage(handle, {platform::kWmUser, 1, 2}));
    ASSERT_TRUE(platform::PostWindowMessage(handle, {platform::kWmClose, 0, 0}));
    test::ProcessEventsUntil([&] { return ended != 0; });
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(tray_calls.back().kind, "delete");
    EXPECT_FALSE(window->Listener().IsListening());
    EXPECT_FALSE(window->isVisible());
    // A later close of the user's does not hide-and-cancel a window that is gone.
    EXPECT_TRUE(window->Ending());
}

TEST_F(FrmStartTest, TakenPortStillLoadsAndShowsTheNotice) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
    Make(true, squatter.serverPort());
    window->Handle();
    EXPECT_FALSE(window->Listener().IsListening());
    EXPECT_EQ(window->Listener().LastFailure(), BaitListener::Failure::PortInUse);
    EXPECT_TRUE(window->Service().Running());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Torvane...1.0703.01 버전"));
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("80번 포트")));
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("다른 프로그램")));
    EXPECT_FALSE(window->NoticeText().contains(QStringLiteral("CAP_NET_ADMIN")));
}

TEST_F(FrmStartTest, AProgramFolderWithABracketIsNamedInTheNotice) {
    updates_refused = true;
    Make();
    window->Handle();
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("업데이트를 확인하지 않습니다")));
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("\"[\" 또는 \"]\"")));
}

TEST_F(FrmStartTest, MissingTeardownRightIsShownOnTheOptionsTab) {
    can_tear_down = false;
    Make();
    window->Handle();
    EXPECT_TRUE(window->Listener().IsListening());
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("차단이 적용되지 않습니다")));
    auto* notice = Find<QLabel>("PrivilegeNotice");
    ASSERT_NE(notice, nullptr);
    // It sits on the inner tab "옵션", beside the blocking switches.
    EXPECT_TRUE(Find<QWidget>("SSTabEtc")->isAncestorOf(notice));
    EXPECT_TRUE(notice->parentWidget()->isAncestorOf(Find<QCheckBox>("CheckStopRun_0")));
    // The written captions are unchanged.
    EXPECT_EQ(Find<QCheckBox>("CheckStopRun_0")->text(), QStringLiteral("침입한 IP를 자동으로 차단합니다."));
}

TEST_F(FrmStartTest, ListsShowTheCoreModelsAndBindTheCommands) {
    Make();
    window->Handle();
    auto* view = Find<QTableView>("ListViewWatchIP");
    ASSERT_NE(view, nullptr);
    fake_table->tcp_rows = {test::MakeRow("10.0.0.5", 80, "10.1.2.3", 1043),
                            test::MakeRow("10.0.0.5", 5000, "10.9.9.9", 443)};
    fake_table->udp_rows = 1;
    window->Service().Cycle().TimerGetTable_Timer();
    ASSERT_EQ(view->model()->rowCount(), 2);
    EXPECT_EQ(view->model()->index(0, 0).data().toString(), QStringLiteral("10.1.2.3"));
    EXPECT_EQ(view->model()->index(0, 2).data().toString(), QStringLiteral("차단"));
    EXPECT_EQ(Find<QTableView>("ListViewWatchPORT")->model()->rowCount(), 2);

    // "리셋" empties the address list through the command.
    QTest::mouseClick(Find<QPushButton>("cmdClearList_0"), Qt::LeftButton);
    EXPECT_EQ(view->model()->rowCount(), 0);
    QTest::mouseClick(Find<QPushButton>("cmdClearList_10"), Qt::LeftButton);
    EXPECT_EQ(Find<QTableView>("ListViewWatchPORT")->model()->rowCount(), 0);

    // Opening the rule tab loads the block list from disk.
    Find<QTabWidget>("SSTabMain")->setCurrentIndex(1);
    auto* rules = Find<QTableView>("ListViewInvaderOX");
    ASSERT_EQ(rules->model()->rowCount(), 1);
    EXPECT_EQ(rules->model()->index(0, 0).data().toString(), QStringLiteral("10.1.2.3"));
    // The switch flips the view and stays checked.
    auto* box = Find<QCheckBox>("chkInvaderOX");
    box->click();
    EXPECT_EQ(box->text(), QStringLiteral("허용 리스트"));
    EXPECT_TRUE(box->isChecked());
    ASSERT_EQ(rules->model()->rowCount(), 1);
    EXPECT_EQ(rules->model()->index(0, 0).data().toString(), QStringLiteral("10.9.9.9"));
    box->click();
    EXPECT_EQ(box->text(), QStringLiteral("차단 리스트"));
    EXPECT_TRUE(box->isChecked());

    // A title click reaches the command's sort (it flips the shared direction).
    const bool before = window->Commands().SortAscending();
    view->horizontalHeader()->sectionClicked(1);
    EXPECT_NE(window->Commands().SortAscending(), before);
}

TEST_F(FrmStartTest, BlockTheInternetAnsweredNoUnchecksTheBox) {
    Make();
    window->Handle();
    window->ShowWindow();
    Find<QTabWidget>("SSTabMain")->setCurrentIndex(3);
    auto* box = Find<QCheckBox>("CheckStopRun_1");
    dialogs.answers = {false};
    box->click();
    ASSERT_FALSE(dialogs.asked.empty());
    EXPECT_EQ(dialogs.asked.back(), "인터넷을 정말 차단할까요?");
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(window->Service().Cycle().IsChecked(1));
    dialogs.answers = {true};
    box->click();
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(window->Service().Cycle().IsChecked(1));
}

// A listening socket on a free loopback port, as the guard would hand one over.
int ListeningDescriptor(quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

TEST_F(FrmStartTest, WithTheGuardTheBaitComesFromItAndTheNoticeSaysWhatIsInForce) {
    auto guard = std::make_unique<test::FakeGuardLink>();
    quint16 port = 0;
    guard->bait = ListeningDescriptor(port);
    ASSERT_GE(guard->bait, 0);
    can_tear_down = false;  // Velmor itself holds no rights.
    Make(true, 0, std::move(guard));
    window->Handle();
    EXPECT_TRUE(window->Listener().IsListening());
    EXPECT_EQ(window->Listener().Port(), port);
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("velmor-guard가 차단을 맡고")));
    EXPECT_FALSE(window->NoticeText().contains(QStringLiteral("차단이 적용되지 않습니다")));
}

TEST_F(FrmStartTest, AGuardWithoutItsTableOrNoGuardAtAllIsSaidPlainly) {
    auto partial = std::make_unique<test::FakeGuardLink>();
    partial->state.packet_filter = false;
    partial->state.bait = false;
    Make(true, 0, std::move(partial));
    window->Handle();
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("패킷 차단은 적용되지 않습니다")));
    // Its bait could not be had: Velmor opened its own (port 0 in the tests).
    EXPECT_TRUE(window->Listener().IsListening());

    auto absent = std::make_unique<test::FakeGuardLink>();
    absent->available = false;
    window.reset();
    Make(true, 0, std::move(absent));
    window->Handle();
    EXPECT_TRUE(window->NoticeText().contains(QStringLiteral("velmor-guard가 없어")));
}

TEST_F(FrmStartTest, AUserTheGuardRefusesIsToldOnceWhatToDoWithItsOwnName) {
    auto refusing = std::make_unique<test::FakeGuardLink>();
    refusing->refuses = true;
    can_tear_down = false;
    Make(true, 0, std::move(refusing));
    window->Handle();
    const QString command = QStringLiteral("sudo adduser ") +
                            QString::fromStdString(platform::CurrentUserName()) + QStringLiteral(" velmor");
    const QString notice = window->NoticeText();
    EXPECT_TRUE(notice.contains(QStringLiteral("차단이 적용되지 않습니다"))) << notice.toStdString();
    EXPECT_TRUE(notice.contains(command)) << notice.toStdString();
    EXPECT_TRUE(notice.contains(QStringLiteral("다시 로그인"))) << notice.toStdString();
    // The program runs installed (not from a build of the source tree): no word of scripts/run.sh.
    EXPECT_FALSE(notice.contains(QStringLiteral("run.sh"))) << notice.toStdString();

    // Beside the tray once, however often the notice is brought up to date.
    window->SetPortListener(false);
    window->SetPortListener(true);
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].tip.startsWith(QString::fromUtf8(kRefusalNoticeTitle) + QLatin1Char('|')));
    EXPECT_TRUE(messages[0].tip.contains(command));
}

TEST_F(FrmStartTest, EveryTrayClickBringsTheWindowBackWhateverHappenedWhileHidden) {
    Make();
    window->Handle();
    window->ShowWindow();
    ASSERT_TRUE(Until([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));
    for (int cycle = 0; cycle < 6; ++cycle) {
        SCOPED_TRACE(cycle);
        EXPECT_FALSE(window->close());
        ASSERT_FALSE(window->isVisible());
        EXPECT_FALSE(window->isMinimized()) << "hidden in its normal state";
        const int before = Restores();
        if (cycle % 3 == 1) {
            // The window manager minimised the hidden window.
            window->setWindowState(Qt::WindowMinimized);
        }
        window->Form_MouseMove(TrayIcon::kLeftButtonUp);
        if (cycle % 3 == 2) {
            // The window manager maps it as an icon again before the first expose.
            window->setWindowState(window->windowState() | Qt::WindowMinimized);
        }
        ASSERT_TRUE(Until([&] { return Restores() > before; })) << "the restore finished once mapped";
        EXPECT_TRUE(window->isVisible());
        EXPECT_FALSE(window->isMinimized());
        const auto last = *std::find_if(wm_calls.rbegin(), wm_calls.rend(),
                                        [](const auto& call) { return call.request.activate; });
        EXPECT_TRUE(last.exposed) << "asked of a mapped window";
        EXPECT_TRUE(last.request.skip_taskbar);
        EXPECT_TRUE(last.request.above) << "CheckTopMost is checked";
        EXPECT_TRUE(last.request.to_current_desktop);
    }
}

TEST_F(FrmStartTest, RestoringAMinimisedVisibleWindowUnminimisesIt) {
    Make();
    window->Handle();
    window->ShowWindow();
    ASSERT_TRUE(Until([&] { return window->windowHandle()->isExposed(); }));
    window->showMinimized();
    ASSERT_TRUE(Until([&] { return window->isMinimized(); }));
    window->Form_MouseMove(TrayIcon::kLeftButtonUp);
    ASSERT_TRUE(Until([&] { return Restores() > 0; }));
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(FrmStartTest, TopmostAndTheTaskListAreAskedOnceTheWindowIsMapped) {
    Make();
    window->Handle();
    window->ShowWindow();
    // After load and first show: off the task list, topmost as checked, but not pushed at the user.
    ASSERT_TRUE(Until([&] { return !wm_calls.empty(); }));
    EXPECT_TRUE(wm_calls.back().exposed);
    EXPECT_TRUE(wm_calls.back().request.skip_taskbar);
    EXPECT_FALSE(wm_calls.back().request.activate);
    for (const auto& call : wm_calls) EXPECT_TRUE(call.exposed);

    auto* box = Find<QCheckBox>("CheckTopMost");
    box->click();  // unchecked: explicitly not topmost
    ASSERT_TRUE(Until([&] { return !wm_calls.back().request.above; }));
    EXPECT_FALSE(window->Topmost());
    EXPECT_TRUE(window->isVisible()) << "the flag changed in place, the window stayed mapped";
    box->click();
    ASSERT_TRUE(Until([&] { return wm_calls.back().request.above; }));
    EXPECT_TRUE(window->Topmost());

    // Hidden and restored: asked again after the new map, every time.
    for (int cycle = 0; cycle < 3; ++cycle) {
        window->close();
        const std::size_t before = wm_calls.size();
        window->Form_MouseMove(TrayIcon::kLeftButtonUp);
        ASSERT_TRUE(Until([&] { return Restores() > cycle; }));
        for (std::size_t i = before; i < wm_calls.size(); ++i) EXPECT_TRUE(wm_calls[i].exposed);
        EXPECT_TRUE(wm_calls.back().request.above);
    }
    for (const auto& call : wm_calls) EXPECT_TRUE(call.exposed) << "never asked before the map";
}

TEST_F(FrmStartTest, QuitFromTheRealTrayIconEndsOutsideTheIconsOwnHandler) {
    real_tray = std::make_unique<QtTrayIcon>(/*assume_available=*/true);
    auto* tray = static_cast<QtTrayIcon*>(real_tray.get());
    Make();
    window->Handle();
    QPointer<QSystemTrayIcon> native = tray->Native();
    ASSERT_FALSE(native.isNull());
    // Connected after the window's handler: runs after it, inside the same emission, like the X11
    // tray widget's code after it emitted the click.
    bool alive_after_handler = false;
    QObject::connect(native.data(), &QSystemTrayIcon::activated, native.data(), [&] {
        alive_after_handler = !native.isNull();
        if (native) native->isVisible();
    });
    dialogs.answers = {true};
    Q_EMIT native->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(alive_after_handler);
    EXPECT_TRUE(dialogs.asked.empty()) << "the prompt opens once the click handling is over";
    ASSERT_TRUE(Until([&] { return ended == 1; }));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0], "Torvane 프로그램을 종료할까요?");
    EXPECT_TRUE(native.isNull() || !native->isVisible()) << "the icon leaves the tray at once";
    EXPECT_EQ(tray->Native(), nullptr);
    EXPECT_FALSE(window->Listener().IsListening());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(native.isNull()) << "and is destroyed from the event loop";
}

TEST_F(FrmStartTest, BothClicksOfADoubleClickOnTheTrayIconRestore) {
    real_tray = std::make_unique<QtTrayIcon>(/*assume_available=*/true);
    auto* tray = static_cast<QtTrayIcon*>(real_tray.get());
    Make();
    window->Handle();
    window->ShowWindow();
    window->HideWindow();
    // Two quick clicks arrive from Qt as Trigger and DoubleClick; the second click after a close
    // in between must bring the window back as well.
    Q_EMIT tray->Native()->activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(Until([&] { return window->isVisible(); }));
    window->close();
    ASSERT_FALSE(window->isVisible());
    Q_EMIT tray->Native()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(Until([&] { return window->isVisible(); }));
    // The middle button does nothing.
    window->close();
    Q_EMIT tray->Native()->activated(QSystemTrayIcon::MiddleClick);
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(FrmStartTest, HelpMenuIsWideEnoughForItsItems) {
    Make();
    auto* help = Find<QToolButton>("ToolbarMenu_2");
    ASSERT_NE(help, nullptr);
    QMenu* menu = help->menu();
    menu->ensurePolished();
    menu->adjustSize();
    const QFontMetrics metrics(menu->font());
    for (QAction* action : menu->actions()) {
        const QString shown = QString(action->text()).remove(QLatin1Char('&'));
        const QRect item = menu->actionGeometry(action);
        // Fusion keeps about six character widths beside the text for check marks, icons and
        // shortcuts; the items were once only 40 pixels wider than "Torvane 정보(A)" and cut it.
        EXPECT_GE(item.width(), metrics.horizontalAdvance(shown) + 8 * metrics.averageCharWidth())
            << shown.toStdString();
    }
}

TEST_F(FrmStartTest, IntrudersWhileHiddenAreNoticedAtMostOncePerInterval) {
    Make();
    window->Handle();
    window->ShowWindow();
    window->HideWindow();
    FileIntruder("10.77.0.2", 1040);
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].tip,
              QStringLiteral("Torvane 침입 감지|침입한 IP를 차단 목록에 올렸습니다: 10.77.0.2"));
    // Two more within the interval: counted, not shown.
    clock.Advance(std::chrono::seconds(2));
    FileIntruder("10.77.0.3", 1041);
    clock.Advance(std::chrono::seconds(3));
    FileIntruder("10.77.0.4", 1042);
    window->NoticeTimer_Timer();
    EXPECT_EQ(Messages().size(), 1u);
    clock.Advance(std::chrono::seconds(5));
    window->NoticeTimer_Timer();
    messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].tip,
              QStringLiteral("Torvane 침입 감지|침입한 IP 2개를 차단 목록에 올렸습니다 (마지막: 10.77.0.4)"));
    // A known address coming back, or an allowed one, is no new intruder.
    clock.Advance(std::chrono::seconds(30));
    fake_table->tcp_rows.push_back(test::MakeRow("10.0.0.5", 5000, "10.77.0.9", 443));
    ++fake_counters->value.active_opens;
    const auto passes = window->Service().Cycle().GetStats().full_passes;
    window->Service().Cycle().TimerGetTable_Timer();
    ASSERT_EQ(window->Service().Cycle().GetStats().full_passes, passes + 1);
    EXPECT_EQ(Messages().size(), 2u);
    // While the window is shown nothing is told.
    window->Form_MouseMove(TrayIcon::kLeftButtonUp);
    FileIntruder("10.77.0.5", 1043);
    EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(FrmStartTest, TheTrustedListIsSavedAppliedAndKeptAndItsBaitHitsAreToldOnce) {
    test::TempDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    Make();
    window->Handle();
    Find<QPlainTextEdit>("txtTrustedList")
        ->setPlainText(QStringLiteral("192.168.7.0/24 # home\nnot one\n10.0.0.9\n"));
    QTest::mouseClick(Find<QPushButton>("cmdTrustedSave"), Qt::LeftButton);
    EXPECT_EQ(test::ReadBytes(config / "velmor/trusted.txt"), "192.168.7.0/24 # home\nnot one\n10.0.0.9\n");
    const QString status = Find<QLabel>("lblTrustedStatus")->text();
    EXPECT_TRUE(status.contains(QStringLiteral("(2개)"))) << status.toStdString();
    EXPECT_TRUE(status.contains(QStringLiteral("2번째 줄"))) << status.toStdString();
    EXPECT_TRUE(Find<QPlainTextEdit>("txtExemptions")
                    ->toPlainText()
                    .contains(QStringLiteral("신뢰 목록의 주소\t192.168.7.0/24")));

    // A bait hit from a trusted address: allowed with a note, and told once.
    FileIntruder("192.168.7.3", 1040);
    auto& list = window->Service().AddressList();
    EXPECT_EQ(list.Cell(list.Find("192.168.7.3"), rules::watch_ip::kVerdict), "허용");
    FileIntruder("10.0.0.9", 1041);
    fake_table->tcp_rows.push_back(test::MakeRow("10.0.0.5", 80, "192.168.7.3", 1042));
    FileIntruder("10.77.0.2", 1043);
    std::vector<QString> told;
    for (const auto& message : Messages())
        if (message.tip.startsWith(QStringLiteral("Torvane 알림|"))) told.push_back(message.tip);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0],
              QStringLiteral("Torvane 알림|192.168.7.3: 80번 포트에 접속했지만 신뢰 목록의 주소이므로 "
                             "차단하지 않고 허용 목록에 올렸습니다."));
    EXPECT_EQ(list.Cell(list.Find("10.77.0.2"), rules::watch_ip::kVerdict), "차단");

    // The next start reads it again.
    window.reset();
    Make();
    EXPECT_EQ(Find<QPlainTextEdit>("txtTrustedList")->toPlainText(),
              QStringLiteral("192.168.7.0/24 # home\nnot one\n10.0.0.9\n"));
    EXPECT_EQ(window->Service().Exemptions().Of("10.0.0.9"), rules::Exemption::Trusted);
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(FrmStartTest, BlockedRowsAreDrawnInTheWarningColour) {
    Make();
    window->Handle();
    fake_table->tcp_rows = {test::MakeRow("10.0.0.5", 80, "10.1.2.3", 1043),
                            test::MakeRow("10.0.0.5", 5000, "10.9.9.9", 443)};
    fake_table->udp_rows = 1;
    window->Service().Cycle().TimerGetTable_Timer();
    const auto colour_of = [&](const char* view_name, int row, int role) {
        return Find<QTableView>(view_name)->model()->index(row, 0).data(role);
    };
    auto* watch = Find<QTableView>("ListViewWatchIP")->model();
    ASSERT_EQ(watch->rowCount(), 2);
    ASSERT_EQ(watch->index(0, 2).data().toString(), QStringLiteral("차단"));
    EXPECT_TRUE(colour_of("ListViewWatchIP", 0, Qt::ForegroundRole).isValid());
    EXPECT_TRUE(colour_of("ListViewWatchIP", 0, Qt::BackgroundRole).isValid());
    EXPECT_FALSE(colour_of("ListViewWatchIP", 1, Qt::ForegroundRole).isValid()) << "허용 stays plain";
    Find<QTabWidget>("SSTabMain")->setCurrentIndex(1);
    ASSERT_EQ(Find<QTableView>("ListViewInvaderOX")->model()->rowCount(), 1);
    EXPECT_TRUE(colour_of("ListViewInvaderOX", 0, Qt::ForegroundRole).isValid());
    // The port list has no verdict.
    EXPECT_FALSE(colour_of("ListViewWatchPORT", 0, Qt::ForegroundRole).isValid());
}

// The desktop program's composition: the window built on it loads with only the outside world
// replaced (the system's tables would bring the machine's connections and its guard, the local
// information a name lookup).
TEST(DesktopServicesTest, GiveTheWindowEverythingItNeedsToLoad) {
    App();
    test::TempDir folder;
    test::ScriptedDialogs dialogs;
    for (const bool assume_tray : {false, true}) {
        DesktopServices desktop;
        FrmStartServices services = desktop.ForMainWindow(folder.path(), dialogs, assume_tray);
        EXPECT_TRUE(services.clipboard && services.browser && services.tray && services.clock);
        EXPECT_TRUE(services.local_info && services.can_tear_down && services.end_program);
        EXPECT_TRUE(services.open_help && services.open_about);
        MonitorParts parts;
        parts.table = std::make_unique<test::FakeConnectionTable>();
        parts.counters = std::make_unique<test::FakeSocketCounters>();
        MonitorService service(folder.path(), std::move(parts), dialogs);
        services.local_info = [] { return platform::LocalInfo{"10.1.2.3", "example.lan", "desk-01"}; };
        services.bait_port = 0;
        FrmStart window(folder.path(), service, std::move(services));
        const platform::WindowHandle handle = window.Handle();
        EXPECT_GT(handle, 0) << "the window's handle is the mailbox the updater posts to";
        EXPECT_TRUE(platform::IsWindow(handle));
        EXPECT_EQ(window.TrayImage(), 1);
        // The offscreen platform has no tray: only the assumed one hides the window in it.
        EXPECT_EQ(window.TrayAvailable(), assume_tray);
        EXPECT_EQ(window.windowFlags().testFlag(Qt::Tool), assume_tray);
        window.Service().Stop();
    }
}

// "IP 감시" names each address's programs and bytes (sorting by their number) and its rows' tooltip
// lists the connections; "PORT 정보" names each port's program; "트래픽" looks at the ledger only while
// it is shown, and then at most once a second.
TEST_F(FrmStartTest, WhoIsTalkingColumnsTooltipAndTrafficTab) {
    Make();
    window->Handle();
    window->Service().Stop();
    // The fake's first row has cookie 0, which no kernel socket has: a loopback row takes it.
    fake_table->tcp_rows = {test::MakeRow("127.0.0.1", 5000, "127.0.0.1", 5001),
                            test::MakeRow("10.0.0.5", 41822, "192.0.2.80", 443),
                            test::MakeRow("10.0.0.5", 41830, "192.0.2.80", 443),
                            test::MakeRow("10.0.0.5", 52010, "198.51.100.20", 993)};
    fake_table->tcp_details = {
        {}, {101, 1000, true, 1500, 300}, {102, 1000, true, 2'000'000, 40}, {103, 1000, true, 900, 5}};
    // The guard's events named the first two sockets' programs before the read met them.
    std::vector<guard::OwnerRecord> owners(2);
    for (std::size_t i = 0; i < owners.size(); ++i) {
        owners[i].cookie = fake_table->Cookie(i + 1);
        owners[i].flags = guard::OwnerRecord::kHasOwner;
        owners[i].pid = i == 0 ? 4321 : 777;
        owners[i].name = i == 0 ? "firefox" : "curl";
    }
    window->Traffic().Ledger().TakeRecords(owners);
    const auto read = [&] {
        window->Service().Cycle().TimerGetTable_Timer();
        window->Traffic().Refresh();
    };
    read();

    auto& list = window->Service().AddressList();
    const auto row_of = [&](const std::string& address) {
        for (int row = 0; row < list.RowCount(); ++row)
            if (list.Cell(row, rules::watch_ip::kAddress) == address) return row;
        return -1;
    };
    const int busy = row_of("192.0.2.80");
    const int quiet = row_of("198.51.100.20");
    ASSERT_GE(busy, 0);
    ASSERT_GE(quiet, 0);
    EXPECT_EQ(list.Cell(busy, rules::watch_ip::kProgram), "curl, firefox");
    EXPECT_EQ(list.Cell(busy, rules::watch_ip::kReceived), "2001500");
    EXPECT_EQ(list.Cell(busy, rules::watch_ip::kSent), "340");
    EXPECT_EQ(list.Cell(quiet, rules::watch_ip::kProgram), "-");
    auto* view = Find<QTableView>("ListViewWatchIP");
    QAbstractItemModel* model = view->model();
    const auto display = [&](int row, int column) { return model->index(row, column).data().toString(); };
    EXPECT_EQ(display(busy, rules::watch_ip::kReceived), QStringLiteral("1.91 MB"));
    EXPECT_EQ(display(quiet, rules::watch_ip::kSent), QStringLiteral("5 B"));
    const QString tip = model->index(busy, rules::watch_ip::kVerdict).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QStringLiteral("firefox (pid 4321)  로컬 41822 → 원격 443  ESTABLISHED")))
        << tip.toStdString();
    EXPECT_TRUE(tip.contains(QStringLiteral("curl (pid 777)"))) << tip.toStdString();
    // Bytes sort by number: 900 before 2001500, which text would put the other way round.
    window->Commands().ListViewWatchIP_ColumnClick(rules::watch_ip::kReceived + 1);
    EXPECT_EQ(list.Cell(0, rules::watch_ip::kAddress), "198.51.100.20");
    auto& ports = window->Service().PortList();
    for (int row = 0; row < ports.RowCount(); ++row) {
        const std::string& port = ports.Cell(row, rules::watch_port::kPort);
        EXPECT_EQ(ports.Cell(row, rules::watch_port::kProgram), port == "443" ? "curl" : "-") << port;
    }

    auto* traffic = window->findChild<TrafficView*>(QStringLiteral("TrafficView"));
    ASSERT_NE(traffic, nullptr);
    EXPECT_FALSE(traffic->Watching());
    EXPECT_EQ(traffic->Refreshes(), 0u);
    window->ShowWindow();
    Find<QTabWidget>("SSTabMain")->setCurrentIndex(4);
    ASSERT_TRUE(Until([&] { return traffic->Watching() && traffic->Refreshes() > 0; }));
    auto* top_programs = Find<QTableWidget>("ListTopPrograms");
    ASSERT_GE(top_programs->rowCount(), 2);
    EXPECT_EQ(top_programs->item(0, 0)->text(), QStringLiteral("curl"));
    EXPECT_EQ(top_programs->item(1, 0)->text(), QStringLiteral("firefox"));
    // New traffic in every read: the picture follows once a second, not once a read.
    const std::uint64_t before = traffic->Refreshes();
    for (int i = 1; i <= 5; ++i) {
        clock.Advance(std::chrono::milliseconds(100));
        fake_table->tcp_details[1].bytes_received += 100'000;
        ++fake_counters->value.active_opens;  // a read now, not at the safety net
        read();
        QCoreApplication::processEvents();
    }
    EXPECT_LE(traffic->Refreshes(), before + 1);
    ASSERT_TRUE(Until([&] { return traffic->Refreshes() > before; }));
    // The five reads' 500,000 bytes fell into one second of the picture, whose scale tops at 500 KB/s.
    EXPECT_TRUE(Until([&] { return traffic->Chart()->ScaleTop() == 500u * 1024; }))
        << traffic->Chart()->ScaleTop();
    Find<QTabWidget>("SSTabMain")->setCurrentIndex(0);
    EXPECT_FALSE(traffic->Watching());
}

}  // namespace
}  // namespace velmor::shell
