// The program's message and input boxes as the user sees them, on the offscreen platform: Qt's
// standard buttons in Korean (Qt's own translations, as the program installs them at start) and an
// empty title, for the boxes themselves and for the commands of the main window that open them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QTranslator>
#include <filesystem>
#include <ostream>

#include "frm_help.h"
#include "frm_start.h"
#include "modal_box.h"
#include "network_tools_panel.h"
#include "qt_services.h"
#include "qt_translations.h"
#include "velmor/common/text_file.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

// On X the platform plugin's D-Bus and fontconfig keep a few allocations to the end of the process;
// they are not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\n";
}

// Failures print texts as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace velmor::shell {
namespace {

using test::AnswerModalBox;
using test::AnswerModalBoxes;
using test::SeenBox;

// As the program does at start; the system's copy first, the shipped one as the fall-back. Without
// them no box here could show its Korean buttons.
class KoreanQtTexts final : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_FALSE(platform::InstallQtTranslations(test::BuiltProgramFolder() / "translations").isEmpty());
    }
};
const auto* const korean_qt_texts = ::testing::AddGlobalTestEnvironment(new KoreanQtTexts);

const QString kYes = QStringLiteral("예");
const QString kNo = QStringLiteral("아니요");
const QString kOk = QStringLiteral("확인");
const QString kCancel = QStringLiteral("취소");

// SeenBox lists the buttons sorted.
QStringList Sorted(QStringList texts) {
    texts.sort();
    return texts;
}

void ExpectQuestion(const SeenBox& box, const char* text) {
    ASSERT_TRUE(box.seen) << text;
    EXPECT_EQ(box.kind, QStringLiteral("QMessageBox"));
    EXPECT_EQ(box.text, QString::fromUtf8(text));
    EXPECT_EQ(box.title, QString());
    EXPECT_EQ(box.icon, QMessageBox::Information);
    EXPECT_EQ(box.buttons, Sorted({kYes, kNo}));
    EXPECT_EQ(box.clipped, QStringList());
}

void ExpectInputBox(const SeenBox& box, const char* prompt, const char* default_text) {
    ASSERT_TRUE(box.seen) << prompt;
    EXPECT_EQ(box.kind, QStringLiteral("QInputDialog"));
    EXPECT_EQ(box.text, QString::fromUtf8(prompt));
    EXPECT_EQ(box.input, QString::fromUtf8(default_text));
    EXPECT_EQ(box.title, QString());
    EXPECT_EQ(box.buttons, Sorted({kOk, kCancel}));
    EXPECT_EQ(box.clipped, QStringList());
}

TEST(QtDialogsTest, QuestionsAskWithKoreanYesAndNoUnderAnEmptyTitle) {
    QtDialogs dialogs;
    bool answer = true;
    ExpectQuestion(AnswerModalBox([&] { answer = dialogs.AskYesNo("허용으로 바꿀까요?"); }, kNo),
                   "허용으로 바꿀까요?");
    EXPECT_FALSE(answer);
    ExpectQuestion(AnswerModalBox([&] { answer = dialogs.AskYesNo("차단으로 바꿀까요?"); }, kYes),
                   "차단으로 바꿀까요?");
    EXPECT_TRUE(answer);
}

TEST(QtDialogsTest, NoticesHaveOneKoreanOkButton) {
    QtDialogs dialogs;
    const SeenBox notice = AnswerModalBox(
        [&] { dialogs.Tell("선택한 리스트를 복사하였습니다.", Dialogs::Icon::Information); }, kOk);
    ASSERT_TRUE(notice.seen);
    EXPECT_EQ(notice.title, QString());
    EXPECT_EQ(notice.icon, QMessageBox::Information);
    EXPECT_EQ(notice.buttons, QStringList{kOk});
    const SeenBox warning = AnswerModalBox(
        [&] { dialogs.Tell("프로그램이 이미 실행되어 있습니다.", Dialogs::Icon::Exclamation); }, kOk);
    ASSERT_TRUE(warning.seen);
    EXPECT_EQ(warning.title, QString());
    EXPECT_EQ(warning.icon, QMessageBox::Warning);
    EXPECT_EQ(warning.buttons, QStringList{kOk});
}

TEST(QtDialogsTest, InputBoxesHaveKoreanOkAndCancelAndReturnTheAnswer) {
    QtDialogs dialogs;
    std::optional<std::string> answer;
    const SeenBox box = AnswerModalBox(
        [&] { answer = dialogs.AskText("차단할 IP 주소를 입력하세요.", "100.200.30.40"); }, kOk);
    ExpectInputBox(box, "차단할 IP 주소를 입력하세요.", "100.200.30.40");
    EXPECT_EQ(answer, std::optional<std::string>("100.200.30.40"));
    answer = "not cancelled";
    AnswerModalBox([&] { answer = dialogs.AskText("차단할 IP 정보를 입력하세요.", "-"); }, kCancel);
    EXPECT_EQ(answer, std::nullopt);
}

TEST(QtDialogsTest, TheNetworkToolsPanelStandingAloneUsesTheSameBoxes) {
    test::TempDir folder;
    NetworkToolsPanel panel(folder.path());
    panel.show();
    auto* host_box = panel.findChild<QLineEdit*>(QStringLiteral("txtIPConvert_0"));
    ASSERT_NE(host_box, nullptr);
    host_box->clear();
    const SeenBox box = AnswerModalBox([&] { QTest::keyClick(host_box, Qt::Key_Return); }, kOk);
    ASSERT_TRUE(box.seen);
    EXPECT_EQ(box.text, QStringLiteral("정확한 주소를 입력하세요."));
    EXPECT_EQ(box.title, QString());
    EXPECT_EQ(box.buttons, QStringList{kOk});
}

// The copy of Qt's translations that the build ships in the program folder is whole: loaded on its
// own it translates the standard buttons.
TEST(QtTranslationsTest, TheShippedCopyTranslatesTheStandardButtons) {
    const auto shipped = test::BuiltProgramFolder() / "translations" / "qtbase_ko.qm";
    ASSERT_TRUE(std::filesystem::exists(shipped)) << shipped;
    QTranslator translator;
    ASSERT_TRUE(translator.load(QString::fromStdString(shipped.string())));
    EXPECT_EQ(test::WithoutMnemonic(translator.translate("QPlatformTheme", "&Yes")), kYes);
    EXPECT_EQ(test::WithoutMnemonic(translator.translate("QPlatformTheme", "&No")), kNo);
    EXPECT_EQ(translator.translate("QPlatformTheme", "OK"), kOk);
    EXPECT_EQ(translator.translate("QPlatformTheme", "Cancel"), kCancel);
    EXPECT_FALSE(translator.translate("QPrintDialog", "Print").isEmpty());
}

// The help window's print dialog is Qt's own: its buttons and labels come out of the same catalogue.
TEST(QtTranslationsTest, TheHelpWindowsPrintDialogIsKorean) {
    test::TempDir folder;
    FrmHelp help(folder.path());
    help.show();
    const SeenBox dialog = AnswerModalBox([&] { help.cmdButton_Click(3); }, kCancel);
    ASSERT_TRUE(dialog.seen);
    EXPECT_EQ(dialog.kind, QStringLiteral("QPrintDialog"));
    EXPECT_TRUE(dialog.buttons.contains(QStringLiteral("인쇄"))) << dialog.buttons.join(u',').toStdString();
    EXPECT_TRUE(dialog.buttons.contains(kCancel)) << dialog.buttons.join(u',').toStdString();
    // No English word left on a label ("Name:", "Copies:", ...), and there are labels to read.
    EXPECT_TRUE(dialog.labels.contains(QStringLiteral("이름:"))) << dialog.labels.join(u'|').toStdString();
    const QRegularExpression english(QStringLiteral("^[A-Za-z][A-Za-z ]*[A-Za-z]:?$"));
    for (const QString& label : dialog.labels)
        EXPECT_FALSE(english.match(label).hasMatch()) << label.toStdString();
    for (const QString& button : dialog.buttons) {
        EXPECT_FALSE(english.match(button).hasMatch()) << button.toStdString();
    }
}

class NoTray final : public TrayIcon {
public:
    bool Available() const override { return true; }
    void Add(const QIcon&, const QString&) override {}
    void Modify(const QIcon&, const QString&) override {}
    void Delete() override {}
    void ShowMessage(const QString&, const QString&) override {}
};

// The main window with the program's real boxes.
class MainWindowBoxesTest : public ::testing::Test {
protected:
    FrmStart& Make() {
        FrmStartServices services;
        services.dialogs = &dialogs;
        services.clipboard = &clipboard;
        services.browser = &browser;
        services.tray = std::make_unique<NoTray>();
        MonitorParts parts;
        auto table = std::make_unique<test::FakeConnectionTable>();
        fake_table = table.get();
        parts.table = std::move(table);
        parts.counters = std::make_unique<test::FakeSocketCounters>();
        services.local_info = [] { return platform::LocalInfo{"10.1.2.3", "example.lan", "desk-01"}; };
        services.can_tear_down = [] { return false; };
        services.end_program = [this] { ++ended; };
        services.open_help = [](QWidget*) {};
        services.open_about = [](QWidget*) {};
        services.clock = &clock;
        services.mailbox = platform::OpenMailbox();
        services.bait_port = 0;
        window.reset();
        service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        window = std::make_unique<FrmStart>(folder.path(), *service, std::move(services));
        dialogs.SetOwner(window.get());
        window->Handle();
        window->Service().Stop();
        window->ShowWindow();
        return *window;
    }

    test::TempDir folder;
    QtDialogs dialogs;
    test::FakeClipboard clipboard;
    test::FakeBrowser browser;
    test::FakeConnectionTable* fake_table = nullptr;
    SystemClock clock;
    std::unique_ptr<MonitorService> service;
    std::unique_ptr<FrmStart> window;
    int ended = 0;
};

TEST_F(MainWindowBoxesTest, AddAsksTwoInputBoxesAndTheRuleCommandsAskYesOrNo) {
    Make();
    window->findChild<QTabWidget*>(QStringLiteral("SSTabMain"))->setCurrentIndex(1);
    const auto add = AnswerModalBoxes([&] { window->Commands().cmdInvaderOX_Click(0); }, {kOk, kOk});
    ASSERT_EQ(add.size(), 2u);
    ExpectInputBox(add[0], "차단할 IP 주소를 입력하세요.", "100.200.30.40");
    ExpectInputBox(add[1], "차단할 IP 정보를 입력하세요.", "-");
    ASSERT_TRUE(std::filesystem::exists(folder / "invader" / "100.200.30.40.x"));

    const SeenBox allow = AnswerModalBox([&] { window->Commands().ListViewInvaderOX_DblClick(0); }, kNo);
    ExpectQuestion(allow, "허용으로 바꿀까요?");
    EXPECT_TRUE(std::filesystem::exists(folder / "invader" / "100.200.30.40.x"));
}

TEST_F(MainWindowBoxesTest, BlockingTheInternetAsksYesOrNo) {
    Make();
    window->findChild<QTabWidget*>(QStringLiteral("SSTabMain"))->setCurrentIndex(3);
    auto* box = window->findChild<QCheckBox*>(QStringLiteral("CheckStopRun_1"));
    ASSERT_NE(box, nullptr);
    ExpectQuestion(AnswerModalBox([&] { box->click(); }, kNo), "인터넷을 정말 차단할까요?");
    EXPECT_FALSE(box->isChecked());
}

}  // namespace
}  // namespace velmor::shell
