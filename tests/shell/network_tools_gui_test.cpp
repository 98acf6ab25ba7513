#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "network_tools_panel.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/fakes.h"
#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

using test::ProcessEventsUntil;

bool ProcessUntil(const std::function<bool()>& done) {
    return ProcessEventsUntil(done);
}

// A resolver that holds its answer until the test opens the gate; records what it was asked.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    std::vector<std::string> asked;
    std::map<std::string, std::string> answers;

    AddressConverter::Resolver Function() {
        return [this](std::string_view text) {
            std::unique_lock lock(mutex);
            asked.emplace_back(text);
            changed.wait(lock, [this] { return open; });
            const auto found = answers.find(std::string(text));
            return found == answers.end() ? std::string("ERROR") : found->second;
        };
    }
    void Set(bool value) {
        {
            std::lock_guard lock(mutex);
            open = value;
        }
        changed.notify_all();
    }
    std::size_t Asked() {
        std::lock_guard lock(mutex);
        return asked.size();
    }
};

class NetworkToolsPanelTest : public ::testing::Test {
protected:
    NetworkToolsPanelTest() { gate.answers = {{"pc-01", "10.77.0.2"}, {"10.77.0.2", "pc-01"}}; }
    ~NetworkToolsPanelTest() override { gate.Set(true); }

    // A panel with fake resolvers, message boxes, program search and process start.
    std::unique_ptr<NetworkToolsPanel> Make(std::map<std::string, std::string> installed = {
                                                {"xterm", "/usr/bin/xterm"}}) {
        NetworkToolsPanel::Services services;
        services.host_name_to_ip = gate.Function();
        services.ip_to_host_name = gate.Function();
        services.dialogs = &dialogs;
        CommandRunner::Services runner;
        runner.find = [installed](std::string_view name) -> std::optional<std::filesystem::path> {
            const auto found = installed.find(std::string(name));
            if (found == installed.end()) return std::nullopt;
            return std::filesystem::path(found->second);
        };
        runner.terminal_variable = [] { return std::nullopt; };
        runner.launcher = &launcher;
        services.runner = runner;
        auto panel = std::make_unique<NetworkToolsPanel>(dir.path(), std::move(services));
        panel->resize(640, 360);
        return panel;
    }
    QLineEdit* Box(NetworkToolsPanel& panel, int index) {
        return panel.findChild<QLineEdit*>(QStringLiteral("txtIPConvert_%1").arg(index));
    }
    QPushButton* Button(NetworkToolsPanel& panel, int index) {
        return panel.findChild<QPushButton*>(QStringLiteral("cmdShell_%1").arg(index));
    }

    test::TempDir dir;
    Gate gate;
    test::ScriptedDialogs dialogs;
    test::RecordingLauncher launcher;
};

TEST_F(NetworkToolsPanelTest, ControlsCaptionsAndFont) {
    auto panel = Make();
    ASSERT_NE(Box(*panel, 0), nullptr);
    ASSERT_NE(Box(*panel, 1), nullptr);
    EXPECT_TRUE(Box(*panel, 0)->text().isEmpty());
    EXPECT_TRUE(Box(*panel, 1)->text().isEmpty());
    auto* shell = panel->findChild<QLineEdit*>(QStringLiteral("textShell"));
    ASSERT_NE(shell, nullptr);
    // The same command as the PING button puts there (a bare "ping " never ends on Linux).
    EXPECT_EQ(shell->text(), QStringLiteral("ping -c 4 "));
    EXPECT_EQ(shell->text().toStdString(), panel->Runner().ButtonCommand(1));
    const std::map<int, QString> captions = {{0, QStringLiteral("IPCONFIG")},
                                             {1, QStringLiteral("PING    ")},
                                             {2, QStringLiteral("NETSTAT ")},
                                             {3, QStringLiteral("TRACERT ")},
                                             {10, QStringLiteral("< RUN >")}};
    for (const auto& [index, caption] : captions) {
        QPushButton* button = Button(*panel, index);
        ASSERT_NE(button, nullptr) << index;
        EXPECT_EQ(button->text(), caption);
        EXPECT_TRUE(QFontInfo(button->font()).fixedPitch()) << index;
        EXPECT_FALSE(button->autoDefault()) << index;
    }
    for (const QString& label : {QStringLiteral("문자"), QStringLiteral("숫자")}) {
        bool found = false;
        for (auto* widget : panel->findChildren<QLabel*>()) found = found || widget->text() == label;
        EXPECT_TRUE(found) << label.toStdString();
    }
}

TEST_F(NetworkToolsPanelTest, EnterInAnEmptyOrWrongBoxTellsAndChangesNothingElse) {
    auto panel = Make();
    Box(*panel, 0)->setText(QStringLiteral("   "));
    Box(*panel, 1)->setText(QStringLiteral("kept"));
    QTest::keyClick(Box(*panel, 0), Qt::Key_Return);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "정확한 주소를 입력하세요.");
    EXPECT_EQ(dialogs.shown[0].icon, Dialogs::Icon::Information);
    EXPECT_EQ(Box(*panel, 0)->text(), QString());  // the blanks are gone
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("kept"));

    Box(*panel, 1)->setText(QStringLiteral(" abc.def "));
    QTest::keyClick(Box(*panel, 1), Qt::Key_Enter);  // the keypad's Enter too
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[1].text, "숫자 주소가 아닙니다.");
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("abc.def"));
    EXPECT_EQ(gate.Asked(), 0u);

    // Other keys only type.
    QTest::keyClicks(Box(*panel, 1), QStringLiteral("1"));
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("abc.def1"));
    EXPECT_EQ(dialogs.shown.size(), 2u);
}

TEST_F(NetworkToolsPanelTest, ResolvesBothWaysAndShowsErrorAsWritten) {
    auto panel = Make();
    QSignalSpy finished(panel.get(), &NetworkToolsPanel::ConversionFinished);
    Box(*panel, 0)->setText(QStringLiteral("  pc-01 "));
    QTest::keyClick(Box(*panel, 0), Qt::Key_Return);
    ASSERT_TRUE(ProcessUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(Box(*panel, 0)->text(), QStringLiteral("pc-01"));
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("10.77.0.2"));

    Box(*panel, 0)->setText(QStringLiteral("old name"));
    QTest::keyClick(Box(*panel, 1), Qt::Key_Return);
    ASSERT_TRUE(ProcessUntil([&] { return finished.count() == 2; }));
    EXPECT_EQ(Box(*panel, 0)->text(), QStringLiteral("pc-01"));

    Box(*panel, 1)->setText(QStringLiteral("255.255.255.255"));
    QTest::keyClick(Box(*panel, 1), Qt::Key_Return);
    ASSERT_TRUE(ProcessUntil([&] { return finished.count() == 3; }));
    EXPECT_EQ(Box(*panel, 0)->text(), QStringLiteral("ERROR"));

    Box(*panel, 0)->setText(QStringLiteral("no-such-host.invalid"));
    QTest::keyClick(Box(*panel, 0), Qt::Key_Return);
    ASSERT_TRUE(ProcessUntil([&] { return finished.count() == 4; }));
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("ERROR"));
    EXPECT_EQ(gate.asked,
              (std::vector<std::string>{"pc-01", "10.77.0.2", "255.255.255.255", "no-such-host.invalid"}));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(NetworkToolsPanelTest, ASlowResolverLeavesTheWindowWorkingAndASecondEnterIsIgnored) {
    auto panel = Make();
    panel->show();
    QSignalSpy finished(panel.get(), &NetworkToolsPanel::ConversionFinished);
    gate.Set(false);
    Box(*panel, 0)->setText(QStringLiteral("pc-01"));
    Box(*panel, 1)->setText(QStringLiteral("as written"));
    QTest::keyClick(Box(*panel, 0), Qt::Key_Return);
    ASSERT_TRUE(ProcessUntil([&] { return gate.Asked() == 1; }));
    EXPECT_TRUE(panel->IsConverting());
    auto* busy = panel->findChild<QLabel*>(QStringLiteral("lblConverting"));
    ASSERT_NE(busy, nullptr);
    EXPECT_TRUE(busy->isVisible());

    // The window still takes input while the resolver is stuck.
    QTest::keyClicks(Box(*panel, 1), QStringLiteral("!"));
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("as written!"));
    Button(*panel, 2)->click();
    EXPECT_EQ(panel->findChild<QLineEdit*>(QStringLiteral("textShell"))->text(), QStringLiteral("ss -a"));
    // A second Enter waits for nothing and starts nothing: the boxes keep their text.
    Box(*panel, 1)->setText(QStringLiteral("  10.77.0.2  "));
    QTest::keyClick(Box(*panel, 1), Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("  10.77.0.2  "));
    EXPECT_EQ(gate.Asked(), 1u);
    EXPECT_EQ(finished.count(), 0);

    gate.Set(true);
    ASSERT_TRUE(ProcessUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(Box(*panel, 1)->text(), QStringLiteral("10.77.0.2"));
    EXPECT_FALSE(busy->isVisible());
    EXPECT_FALSE(panel->IsConverting());
}

TEST_F(NetworkToolsPanelTest, ButtonsPutTheirCommandsAndFocusTheCommandLine) {
    auto panel = Make({{"xterm", "/usr/bin/xterm"}, {"netstat", "/bin/netstat"}});
    panel->show();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    auto* shell = panel->findChild<QLineEdit*>(QStringLiteral("textShell"));
    const std::map<int, QString> commands = {{0, QStringLiteral("ip address show")},
                                             {1, QStringLiteral("ping -c 4 ")},
                                             {2, QStringLiteral("netstat -a")},
                                             {3, QStringLiteral("tracepath ")}};
    for (const auto& [index, command] : commands) {
        Box(*panel, 0)->setFocus();
        shell->setCursorPosition(0);
        QTest::mouseClick(Button(*panel, index), Qt::LeftButton);
        EXPECT_EQ(shell->text(), command) << index;
        EXPECT_EQ(shell->cursorPosition(), command.size()) << index;
        EXPECT_TRUE(shell->hasFocus()) << index;
    }
    EXPECT_TRUE(launcher.launches.empty());
}

TEST_F(NetworkToolsPanelTest, PingThenAnAddressThenEnterRunsIt) {
    auto panel = Make();
    panel->show();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    auto* shell = panel->findChild<QLineEdit*>(QStringLiteral("textShell"));
    QTest::mouseClick(Button(*panel, 1), Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("10.77.0.2"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_EQ(launcher.launches.size(), 1u);
    EXPECT_EQ(launcher.launches[0].program, "/usr/bin/xterm");
    const std::string script = (dir / "temp/temp.sh").string();
    EXPECT_EQ(launcher.launches[0].arguments, (std::vector<std::string>{"-e", "sh", script}));
    EXPECT_EQ(test::ReadBytes(script), BatchFileContent("ping -c 4 10.77.0.2"));
    EXPECT_EQ(panel->LastRunOutcome(), RunOutcome::Started);
    EXPECT_EQ(shell->cursorPosition(), shell->text().size());
    EXPECT_TRUE(shell->hasFocus());

    // "< RUN >" does the same.
    shell->setText(QStringLiteral("ip address show"));
    Button(*panel, 10)->click();
    ASSERT_EQ(launcher.launches.size(), 2u);
    EXPECT_EQ(test::ReadBytes(script), BatchFileContent("ip address show"));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(NetworkToolsPanelTest, WithoutATerminalTheUserIsTold) {
    auto panel = Make({});
    Button(*panel, 10)->click();
    EXPECT_EQ(panel->LastRunOutcome(), RunOutcome::NoTerminal);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, kMessageNoTerminal);
    EXPECT_TRUE(launcher.launches.empty());
}

}  // namespace
}  // namespace velmor::shell
