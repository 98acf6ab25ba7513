// Renders every tab of the main window with a sample connection table into PNG files, for the
// documentation: velmor_screenshots OUTPUT_FOLDER. Run under Xvfb (scripts/screenshots.sh).
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>

#include "desktop_services.h"
#include "frm_start.h"
#include "qt_services.h"
#include "qt_translations.h"
#include "updater_app.h"
#include "velmor/common/text_file.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

using namespace velmor;

namespace {

class NoTray final : public shell::TrayIcon {
public:
    bool Available() const override { return true; }
    void Add(const QIcon&, const QString&) override {}
    void Modify(const QIcon&, const QString&) override {}
    void Delete() override {}
    void ShowMessage(const QString&, const QString&) override {}
};

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

// Runs `ask`, which opens a modal box, saves the box into `path` while it is open and answers it
// with its reject button. False when no box showed or the file could not be written.
bool ShootModalBox(const std::function<void()>& ask, const QString& path) {
    bool saved = false;
    QTimer poll;
    poll.setInterval(50);
    int waits = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr || !box->isVisible()) return;
        // A few rounds for the box to lay itself out and paint.
        if (++waits < 5) return;
        poll.stop();
        saved = box->grab().save(path);
        QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection);
    });
    poll.start();
    ask();
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: velmor_screenshots OUTPUT_FOLDER\n";
        return 2;
    }
    QApplication::setStyle(QStringLiteral("Fusion"));
    for (const char* family : {"NanumBarunGothic", "NanumGothic"}) {
        if (QFontDatabase::families().contains(QString::fromLatin1(family))) {
            QFont font(QString::fromLatin1(family));
            font.setPointSizeF(10);
            QApplication::setFont(font);
            break;
        }
    }
    // Qt's own Korean texts on the standard buttons, as the programs install them.
    platform::InstallQtTranslations(
        std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / ".." / "P" /
        "translations");
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);

    test::TempDir folder;
    // Rules from earlier runs: a blocked intruder with its host name, allowed sites.
    std::filesystem::create_directories(folder / "invader");
    if (!WriteLineFile(folder / "invader" / "203.0.113.45.x", "1043|203.0.113.45|scan-45.example.net"))
        return 1;
    if (!WriteLineFile(folder / "invader" / "198.51.100.7.x", "-|198.51.100.7|수동 차단")) return 1;
    if (!WriteLineFile(folder / "invader" / "192.0.2.80.o", "443|192.0.2.80|www.example.org")) return 1;
    if (!WriteLineFile(folder / "invader" / "192.0.2.81.o", "443|192.0.2.81|cdn.example.org")) return 1;
    if (!WriteLineFile(folder / "invader" / "198.51.100.20.o", "993|198.51.100.20|mail.example.com"))
        return 1;

    test::ScriptedDialogs dialogs;
    test::FakeClipboard clipboard;
    test::FakeBrowser browser;
    // The desktop program's own services, with the data and the outside world made up.
    shell::DesktopServices desktop;
    shell::FrmStartServices services = desktop.ForMainWindow(folder.path(), dialogs, false);
    services.clipboard = &clipboard;
    services.browser = &browser;
    // On a desktop with a tray (scripts/screenshots.sh starts a panel) the real icon, so that the
    // intruder notice is the one the desktop shows.
    const bool real_tray = QSystemTrayIcon::isSystemTrayAvailable();
    if (!real_tray) services.tray = std::make_unique<NoTray>();
    auto table = std::make_unique<test::FakeConnectionTable>();
    table->tcp_rows = {
        test::MakeRow("192.168.10.23", 80, "203.0.113.45", 1043),
        test::MakeRow("192.168.10.23", 41822, "192.0.2.80", 443),
        test::MakeRow("192.168.10.23", 41830, "192.0.2.80", 443),
        test::MakeRow("192.168.10.23", 41902, "192.0.2.81", 443),
        test::MakeRow("192.168.10.23", 52010, "198.51.100.20", 993),
        test::MakeRow("192.168.10.23", 52044, "198.51.100.33", 22),
        test::MakeRow("192.168.10.23", 53111, "192.0.2.150", 8080),
    };
    table->udp_rows = 4;
    test::FakeConnectionTable* fake_table = table.get();
    shell::MonitorParts parts;
    parts.table = std::move(table);
    parts.counters = std::make_unique<test::FakeSocketCounters>();
    services.local_info = [] { return platform::LocalInfo{"192.168.10.23", "home.example", "desk-01"}; };
    services.can_tear_down = [] { return true; };
    services.end_program = [] {};
    services.bait_port = 0;
    // The traffic picture runs on a clock of the screenshots' own, fed ten minutes below.
    test::FakeClock clock;
    clock.now += std::chrono::hours(1);
    services.clock = &clock;
    shell::MonitorService service(folder.path(), std::move(parts), dialogs);
    shell::FrmStart window(folder.path(), service, std::move(services));
    window.Handle();
    window.Service().Stop();
    window.Service().Cycle().TimerGetTable_Timer();
    auto& list = window.Service().AddressList();
    for (int row = 0; row < list.RowCount(); ++row) {
        if (list.Cell(row, 0) == "198.51.100.33") list.SetCell(row, 3, "ssh.example.com");
        if (list.Cell(row, 0) == "192.0.2.150") list.SetCell(row, 3, "-");
    }
    // Who is talking: the programs the guard would name (the first row, the intruder on the bait,
    // has none), then ten minutes of made-up traffic read once a second.
    const char* programs[] = {"",    "firefox-esr", "firefox-esr", "firefox-esr", "thunderbird",
                              "ssh", "python3"};
    std::vector<guard::OwnerRecord> owners;
    for (std::size_t i = 1; i < std::size(programs); ++i) {
        guard::OwnerRecord owner;
        owner.cookie = fake_table->Cookie(i);
        owner.flags = guard::OwnerRecord::kHasOwner;
        owner.pid = static_cast<std::uint32_t>(2100 + 37 * i);
        owner.name = programs[i];
        owners.push_back(owner);
    }
    window.Traffic().Ledger().TakeRecords(owners);
    fake_table->tcp_details.assign(fake_table->tcp_rows.size(), platform::SocketDetail{});
    for (std::size_t i = 0; i < fake_table->tcp_details.size(); ++i) {
        fake_table->tcp_details[i].inode = 40000 + i;
        fake_table->tcp_details[i].has_counts = true;
    }
    for (int second = 0; second < 600; ++second) {
        clock.Advance(std::chrono::seconds(1));
        const double wave = 0.5 + 0.5 * std::sin(second / 37.0);
        auto& d = fake_table->tcp_details;
        d[1].bytes_received += static_cast<std::uint64_t>(180'000 * wave) + (second % 90 < 12 ? 900'000 : 0);
        d[1].bytes_sent += static_cast<std::uint64_t>(9'000 * wave);
        d[2].bytes_received += second > 200 && second < 320 ? 1'400'000 : 2'000;
        d[2].bytes_sent += 1'500;
        d[3].bytes_received += 40'000 + static_cast<std::uint64_t>(30'000 * wave);
        d[3].bytes_sent += 3'000;
        d[4].bytes_received += second % 120 < 5 ? 250'000 : 200;
        d[4].bytes_sent += second % 120 < 5 ? 60'000 : 100;
        d[5].bytes_received += 1'200;
        d[5].bytes_sent += 800;
        d[6].bytes_received += second > 450 ? 320'000 : 0;
        d[6].bytes_sent += second > 450 ? 2'400'000 : 0;
        platform::TcpTable read;
        fake_table->ReadTcp(read);
        window.Traffic().Ledger().TakeTable(read);
    }
    window.Traffic().Refresh();
    window.show();
    Settle();

    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("SSTabMain"));
    auto* inner = window.findChild<QTabWidget*>(QStringLiteral("SSTabEtc"));
    const struct {
        int tab;
        int inner_tab;
        const char* file;
    } shots[] = {{0, 0, "main-ip-watch.png"}, {1, 0, "ip-block.png"},      {2, 0, "port-info.png"},
                 {3, 0, "options.png"},       {3, 1, "network-tools.png"}, {4, 0, "traffic.png"}};
    for (const auto& shot : shots) {
        tabs->setCurrentIndex(shot.tab);
        inner->setCurrentIndex(shot.inner_tab);
        Settle();
        const QString path = out + QLatin1Char('/') + QString::fromLatin1(shot.file);
        if (!window.grab().save(path)) {
            std::cerr << "could not write " << path.toStdString() << '\n';
            return 1;
        }
        std::cout << path.toStdString() << '\n';
    }

    // A question of the main window (a double-click on a blocked rule) and the updater's question.
    shell::QtDialogs boxes;
    boxes.SetOwner(&window);
    const struct {
        std::function<void()> ask;
        const char* file;
    } questions[] = {{[&] { boxes.AskYesNo("허용으로 바꿀까요?"); }, "question.png"},
                     {[] { updater::QtUpdaterDialogs().AskUpdate(); }, "update-question.png"}};
    for (const auto& question : questions) {
        const QString path = out + QLatin1Char('/') + QString::fromLatin1(question.file);
        if (!ShootModalBox(question.ask, path)) {
            std::cerr << "could not write " << path.toStdString() << '\n';
            return 1;
        }
        std::cout << path.toStdString() << '\n';
    }

    // The menu "도움말", open: every item shown whole.
    if (auto* help = window.findChild<QToolButton*>(QStringLiteral("ToolbarMenu_2")); help && help->menu()) {
        QMenu* menu = help->menu();
        menu->popup(help->mapToGlobal(QPoint(0, help->height())));
        Settle();
        const QString path = out + QStringLiteral("/help-menu.png");
        const QPixmap shot = menu->grab();
        menu->hide();
        if (!shot.save(path)) {
            std::cerr << "could not write " << path.toStdString() << '\n';
            return 1;
        }
        std::cout << path.toStdString() << '\n';
    }

    // A new intruder while the window is hidden: the desktop notice.
    if (real_tray) {
        tabs->setCurrentIndex(0);
        window.HideWindow();
        Settle();
        fake_table->tcp_rows.push_back(test::MakeRow("192.168.10.23", 80, "203.0.113.99", 51515));
        fake_table->udp_rows = 5;
        window.Service().Cycle().TimerGetTable_Timer();
        for (int i = 0; i < 10; ++i) Settle();
        const QString path = out + QStringLiteral("/intruder-notice.png");
        // The corner with the tray, where the notice appears.
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QPixmap corner = QGuiApplication::primaryScreen()->grabWindow(0, screen.width() - 640,
                                                                            screen.height() - 220, 640, 220);
        if (!corner.save(path)) {
            std::cerr << "could not write " << path.toStdString() << '\n';
            return 1;
        }
        std::cout << path.toStdString() << '\n';
    }
    return 0;
}
