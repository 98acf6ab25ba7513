#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>

#include "mailbox_notifier.h"
#include "modal_box.h"
#include "qt_text.h"
#include "qt_translations.h"
#include "updater_app.h"
#include "updater_window.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"

// fontconfig keeps a few allocations of its own to the end of the process; they are not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace velmor::updater {
namespace {

// As the updater does at start: Qt's own Korean texts for the standard buttons.
class KoreanQtTexts final : public ::testing::Environment {
public:
    void SetUp() override {
        velmor::platform::InstallQtTranslations(velmor::test::BuiltProgramFolder() / "translations");
    }
};
const auto* const korean_qt_texts = ::testing::AddGlobalTestEnvironment(new KoreanQtTexts);

QImage Render(UpdaterWindow& window) {
    return window.grab().toImage();
}

bool ProcessUntil(const std::function<bool()>& done) {
    return test::ProcessEventsUntil(done, std::chrono::seconds(3));
}

using platform::ToQString;

TEST(UpdaterBoxes, TheQuestionAndTheNoticesHaveKoreanButtonsAndTheirCaptions) {
    QtUpdaterDialogs dialogs;
    bool agreed = false;
    const auto question = test::AnswerModalBox([&] { agreed = dialogs.AskUpdate(); }, QStringLiteral("확인"));
    ASSERT_TRUE(question.seen);
    EXPECT_EQ(question.text, ToQString(kQuestionText));
    EXPECT_EQ(question.title, ToQString(kQuestionCaption));
    QStringList ok_cancel{QStringLiteral("확인"), QStringLiteral("취소")};
    ok_cancel.sort();
    EXPECT_EQ(question.buttons, ok_cancel);
    EXPECT_TRUE(agreed);
    test::AnswerModalBox([&] { agreed = dialogs.AskUpdate(); }, QStringLiteral("취소"));
    EXPECT_FALSE(agreed);

    const auto failed = test::AnswerModalBox([&] { dialogs.ShowDownloadFailed(); }, QStringLiteral("확인"));
    ASSERT_TRUE(failed.seen);
    EXPECT_EQ(failed.title, ToQString(kDownloadFailedCaption));
    EXPECT_EQ(failed.buttons, QStringList{QStringLiteral("확인")});
    const auto timeout = test::AnswerModalBox([&] { dialogs.ShowTimeout(); }, QStringLiteral("확인"));
    ASSERT_TRUE(timeout.seen);
    EXPECT_EQ(timeout.title, ToQString(kTimeoutCaption));
    EXPECT_EQ(timeout.buttons, QStringList{QStringLiteral("확인")});
}

TEST(UpdaterWindowLook, HiddenTopmostWithTheCancelButton) {
    UpdaterWindow window;
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Updater1.0"));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(window.size(), QSize(296, 150));
    auto* cancel = window.findChild<QPushButton*>(QStringLiteral("cmdCancel"));
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->text(), QStringLiteral("취소"));
    EXPECT_EQ(cancel->property("controlId").toInt(), 101);
    EXPECT_EQ(cancel->geometry(), QRect(QPoint(100, 80), QPoint(189, 109)));
    EXPECT_TRUE(cancel->isDefault());

    QSignalSpy closed(&window, &UpdaterWindow::closed);
    window.ShowCentered();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(window.pos(), QPoint((screen.width() - 296) / 2, (screen.height() - 150) / 2));
    cancel->click();
    EXPECT_EQ(closed.count(), 1);
}

TEST(UpdaterWindowLook, TheBarEndsWhereThePercentageSays) {
    UpdaterWindow window;
    window.ShowCentered();
    const QColor blue(0, 0, 222);
    const QColor track(222, 222, 222);
    for (const auto& [percent, edge] : {std::pair{5, 24}, std::pair{50, 145}, std::pair{100, 279}}) {
        window.DrawBar(percent);
        const QImage image = Render(window);
        EXPECT_EQ(image.pixelColor(11, 42), blue) << percent;
        EXPECT_EQ(image.pixelColor(edge - 1, 68), blue) << percent;
        EXPECT_EQ(image.pixelColor(edge, 68), track) << percent;
        EXPECT_EQ(image.pixelColor(edge - 1, 69), track) << percent;  // the bar ends above the track's edge
        EXPECT_EQ(image.pixelColor(10, 40), track) << percent;
        EXPECT_EQ(image.pixelColor(281, 71), QColor(240, 240, 240)) << percent;
    }
    // Nothing past the track's end for 100, and no overflow for absurd values.
    window.DrawBar(2000000000);
    EXPECT_EQ(UpdaterWindow::BarRect(2000000000).left(), 11);
    EXPECT_GT(UpdaterWindow::BarRect(2000000000).right(), 279);
}

TEST(UpdaterWindowLook, TheCaptionShowsOnRepaintOnly) {
    EXPECT_EQ(UpdaterWindow::Caption(37), QStringLiteral("[ 37% / 100% ]"));
    UpdaterWindow window;
    window.ShowCentered();
    window.DrawBar(60);
    const QImage image = Render(window);
    // The caption's text (black on white) lies inside the shrunk bar.
    const QRect caption = UpdaterWindow::BarRect(60).adjusted(20, 5, -20, -5);
    int white = 0;
    for (int x = caption.left(); x <= caption.right(); ++x) {
        for (int y = caption.top(); y <= caption.bottom(); ++y) {
            if (image.pixelColor(x, y) == QColor(Qt::white)) ++white;
        }
    }
    EXPECT_GT(white, 0);
    // At 5 percent the bar is too narrow for any caption.
    window.DrawBar(5);
    const QImage narrow = Render(window);
    for (int x = 11; x < 24; ++x) EXPECT_EQ(narrow.pixelColor(x, 55), QColor(0, 0, 222));
}

class StubDialogs final : public UpdaterDialogs {
public:
    bool AskUpdate() override { return true; }
    void ShowDownloadFailed() override { ++failures; }
    void ShowTimeout() override {}
    int failures = 0;
};

class StubFetcher final : public PageFetcher {
public:
    std::string Fetch(const std::string&) override {
        return "<!--[2][http://127.0.0.1:1/p.jar][10][" + std::string(86, 'A') + "==]-->";
    }
};

// A key that is there and a package that never matches it.
class NoMatch final : public PackageVerifier {
public:
    bool HasKey() override { return true; }
    bool Verify(const std::filesystem::path&, std::string_view) override { return false; }
};

class NoInstall final : public Installer {
public:
    void Install(const std::filesystem::path&, const std::filesystem::path&) override { ++installs; }
    int installs = 0;
};

// Fetchel's notifications reach the flow through the window's own mailbox.
TEST(UpdaterAppMailbox, NotificationsArriveThroughTheWindowsHandle) {
    StubDialogs dialogs;
    StubFetcher fetcher;
    test::RecordingLauncher starter;
    NoInstall installer;
    NoMatch verifier;
    HandOver hand_over{"/nonexistent/product",       "/nonexistent/support",
                       "/nonexistent/TmpNewVer.jar", "1.0703.01",
                       "http://127.0.0.1:1/update",  "0"};
    UpdaterApp app(hand_over, std::make_unique<platform::MailboxNotifier>(),
                   FlowServices{dialogs, SystemWindowPoster(), fetcher, starter, installer, verifier});
    ASSERT_TRUE(app.isReady());
    QSignalSpy finished(&app, &UpdaterApp::finished);
    app.flow().OnTick();
    ASSERT_EQ(starter.Last().arguments.size(), 5u);
    EXPECT_EQ(starter.Last().arguments[2], std::to_string(app.handle()));
    EXPECT_TRUE(app.window().isVisible());

    ASSERT_TRUE(platform::PostWindowMessage(app.handle(), {platform::kWmUser, 0, 50}));
    EXPECT_TRUE(ProcessUntil([&] { return app.window().percent() == 50; }));
    // A final -1 with no file at all: the failure message, no unpacking.
    ASSERT_TRUE(platform::PostWindowMessage(app.handle(), {platform::kWmUser, 0, -1}));
    EXPECT_TRUE(ProcessUntil([&] { return dialogs.failures == 1; }));
    EXPECT_EQ(installer.installs, 0);
    ASSERT_TRUE(platform::PostWindowMessage(app.handle(), {platform::kWmClose, 0, 0}));
    EXPECT_TRUE(ProcessUntil([&] { return finished.count() == 1; }));
}

}  // namespace
}  // namespace velmor::updater
