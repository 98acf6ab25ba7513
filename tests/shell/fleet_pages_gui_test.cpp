// "공유 차단" under "옵션" and the sources beside "IP 차단", on the offscreen platform: the settings
// are written readable by the user only and refused when unusable, secrets stay hidden, and a list
// is imported and removed through the dialogs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "fleet_pages.h"
#include "velmor/common/text_file.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

class FleetPagesTest : public ::testing::Test {
protected:
    FleetPagesTest() {
        MonitorParts parts;
        parts.table = std::make_unique<test::FakeConnectionTable>();
        parts.counters = std::make_unique<test::FakeSocketCounters>();
        service = std::make_unique<MonitorService>(folder.path(), std::move(parts), dialogs);
        service->CreateFolders();
        fleet = &service->EnableFleet(folder / "config");
    }
    template <typename Widget>
    Widget* Find(QWidget& parent, const char* name) {
        auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    test::TempDir folder;
    test::ScriptedDialogs dialogs;
    std::unique_ptr<MonitorService> service;
    FleetService* fleet = nullptr;
};

TEST_F(FleetPagesTest, SettingsAreSavedForTheUserOnlyAndUnusableOnesAreRefused) {
    FleetSettingsPage page(*fleet);
    EXPECT_EQ(Find<QLineEdit>(page, "txtFleetPassword")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Find<QLineEdit>(page, "txtFleetBouncerKey")->echoMode(), QLineEdit::Password);

    // Plain http to another machine would carry the password in the clear: refused, nothing written.
    Find<QLineEdit>(page, "txtFleetApi")->setText(QStringLiteral("http://192.0.2.10:8080"));
    Find<QLineEdit>(page, "txtFleetBouncerKey")->setText(QStringLiteral("key-1"));
    Find<QCheckBox>(page, "chkFleetPull")->setChecked(true);
    QTest::mouseClick(Find<QPushButton>(page, "cmdFleetSave"), Qt::LeftButton);
    EXPECT_TRUE(
        Find<QLabel>(page, "lblFleetStatus")->text().startsWith(QStringLiteral("저장하지 못했습니다")));
    EXPECT_FALSE(std::filesystem::exists(fleet->SettingsPath()));

    Find<QLineEdit>(page, "txtFleetApi")->setText(QStringLiteral("http://127.0.0.1:1"));
    Find<QLineEdit>(page, "txtFleetOrigins")->setText(QStringLiteral("velmor, cscli"));
    QTest::mouseClick(Find<QPushButton>(page, "cmdFleetSave"), Qt::LeftButton);
    struct stat info {};
    ASSERT_EQ(::stat(fleet->SettingsPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(fleet->Settings().origins, (std::vector<std::string>{"velmor", "cscli"}));
    EXPECT_TRUE(fleet->Status().has_value()) << "the client starts with the saved settings";
    EXPECT_FALSE(Find<QLabel>(page, "lblFleetStatus")->text().contains(QStringLiteral("key-1")));
}

TEST_F(FleetPagesTest, AListIsImportedWithItsBadLinesToldAndRemovedAfterAQuestion) {
    const std::filesystem::path list = folder / "spam.txt";
    ASSERT_TRUE(WriteFileAtomically(list, "203.0.113.0/24\n300.1.2.3\n"));
    SharedSourcesPanel panel(*service, *fleet, dialogs);
    dialogs.text_answers = {list.string(), std::string("spam")};
    QTest::mouseClick(Find<QPushButton>(panel, "cmdListImport"), Qt::LeftButton);
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(dialogs.shown.back().text,
              "1개를 가져왔습니다. 주소나 범위가 아닌 줄은 건너뛰었습니다: 2번째 줄");
    auto* sources = Find<QListWidget>(panel, "lstSharedSources");
    ASSERT_EQ(sources->count(), 1);
    EXPECT_TRUE(sources->item(0)->text().startsWith(QStringLiteral("목록 spam: 1개, 갱신 ")))
        << sources->item(0)->text().toStdString();
    EXPECT_TRUE(fleet->Blocks("203.0.113.200"));

    sources->setCurrentRow(0);
    dialogs.yes_no_answers = {true};
    QTest::mouseClick(Find<QPushButton>(panel, "cmdListRemove"), Qt::LeftButton);
    EXPECT_EQ(sources->count(), 0);
    EXPECT_FALSE(fleet->Blocks("203.0.113.200"));
}

}  // namespace
}  // namespace velmor::shell
