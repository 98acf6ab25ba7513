// The Qt view over a core list: it must follow inserts, removes, cell changes, sorts and clears with
// consistent model signals (checked by QAbstractItemModelTester), and keep the selection of the core
// and of the view in step.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QSignalSpy>
#include <QTableView>

#include "list_table_model.h"

namespace velmor::shell {
namespace {

// The application lives in main(), so it is gone before static destructors run (a static one
// outlives Qt's own input devices and font caches at exit).
void App() {
    ASSERT_NE(QApplication::instance(), nullptr);
}

// Every complaint of the model tester fails the test that caused it.
std::vector<std::string> tester_failures;
void RecordTesterMessages(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (context.category != nullptr && std::string_view(context.category) == "qt.modeltest") {
        tester_failures.push_back(message.toStdString());
    }
}

class ListTableModelTest : public ::testing::Test {
protected:
    void TearDown() override {
        qInstallMessageHandler(nullptr);
        EXPECT_TRUE(tester_failures.empty()) << tester_failures.front();
        tester_failures.clear();
    }
    void SetUp() override {
        App();
        qInstallMessageHandler(RecordTesterMessages);
        model = std::make_unique<ListTableModel>(
            list, QStringList{QStringLiteral("IP"), QStringLiteral("횟수"), QStringLiteral("연결"),
                              QStringLiteral("정보")});
        tester = std::make_unique<QAbstractItemModelTester>(
            model.get(), QAbstractItemModelTester::FailureReportingMode::Warning);
        view = std::make_unique<QTableView>();
        view->setModel(model.get());
        model->BindSelection(view->selectionModel());
    }

    QString At(int row, int column) const { return model->index(row, column).data().toString(); }
    std::vector<int> ViewSelectedRows() const {
        std::vector<int> rows;
        for (const QModelIndex& index : view->selectionModel()->selectedRows()) rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    rules::ListModel list{4, 0};
    std::unique_ptr<ListTableModel> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
    std::unique_ptr<QTableView> view;
};

TEST_F(ListTableModelTest, FollowsInsertsRemovesAndCellChangesWithoutCopying) {
    list.AddRow({"10.0.0.1", "1", "허용", ""});
    list.AddRow({"10.0.0.2", "1", "차단", ""});
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(At(1, 2), QStringLiteral("차단"));
    EXPECT_EQ(model->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("정보"));

    QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);
    list.SetCell(0, 1, "2");
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model->index(0, 1));
    EXPECT_EQ(At(0, 1), QStringLiteral("2"));

    QSignalSpy removed(model.get(), &QAbstractItemModel::rowsAboutToBeRemoved);
    list.RemoveRow(0);
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed[0][1].toInt(), 0);
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(At(0, 0), QStringLiteral("10.0.0.2"));

    list.Clear();
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_FALSE(model->index(0, 0).isValid());
}

TEST_F(ListTableModelTest, RowCountSeenInAboutToSignalsIsTheOldOne) {
    list.AddRow({"10.0.0.1"});
    int count_before_insert = -1;
    QObject::connect(model.get(), &QAbstractItemModel::rowsAboutToBeInserted, model.get(),
                     [&] { count_before_insert = model->rowCount(); });
    list.AddRow({"10.0.0.2"});
    EXPECT_EQ(count_before_insert, 1);
    int count_before_remove = -1;
    QObject::connect(model.get(), &QAbstractItemModel::rowsAboutToBeRemoved, model.get(),
                     [&] { count_before_remove = model->rowCount(); });
    list.Clear();
    EXPECT_EQ(count_before_remove, 2);
}

TEST_F(ListTableModelTest, SortedRowsShowInTheirNewOrderAndKeepTheirSelection) {
    list.AddRow({"10.0.0.3", "5"});
    list.AddRow({"10.0.0.1", "7"});
    list.AddRow({"10.0.0.2", "1"});
    list.SetSelected(1, true);  // 10.0.0.1
    ASSERT_EQ(ViewSelectedRows(), std::vector<int>{1});
    list.SetAutoSort(true);  // by column 0, ascending
    EXPECT_EQ(At(0, 0), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(At(2, 0), QStringLiteral("10.0.0.3"));
    EXPECT_EQ(ViewSelectedRows(), std::vector<int>{0});
    // An automatic-sorting list puts a new row in its place.
    list.AddRow({"10.0.0.0", "9"});
    EXPECT_EQ(At(0, 0), QStringLiteral("10.0.0.0"));
    EXPECT_EQ(ViewSelectedRows(), std::vector<int>{1});
}

TEST_F(ListTableModelTest, ViewSelectionReachesTheCoreAndBack) {
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) list.AddRow({address});
    view->selectionModel()->select(model->index(0, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(model->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_EQ(list.SelectedRows(), (std::vector<int>{0, 2}));
    view->selectionModel()->select(model->index(0, 0),
                                   QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    EXPECT_EQ(list.SelectedRows(), std::vector<int>{2});

    // A command that clears the core's selection is seen in the view.
    list.SetSelected(2, false);
    EXPECT_TRUE(ViewSelectedRows().empty());
    list.SetSelected(1, true);
    EXPECT_EQ(ViewSelectedRows(), std::vector<int>{1});
}

TEST_F(ListTableModelTest, RemovingRowsDoesNotMoveTheSelectionToOtherRows) {
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}) list.AddRow({address});
    list.SetSelected(1, true);
    list.SetSelected(3, true);
    // The first selected row goes, as the delete command removes it.
    list.RemoveRow(1);
    EXPECT_EQ(list.SelectedRows(), std::vector<int>{2});
    EXPECT_EQ(ViewSelectedRows(), std::vector<int>{2});
    EXPECT_EQ(At(2, 0), QStringLiteral("10.0.0.4"));
    list.RemoveRow(0);
    EXPECT_EQ(list.SelectedRows(), std::vector<int>{1});
    EXPECT_EQ(ViewSelectedRows(), std::vector<int>{1});
}

TEST_F(ListTableModelTest, ModelOutlivedByNothingDetachesFromTheCore) {
    list.AddRow({"10.0.0.1"});
    tester.reset();
    view->setModel(nullptr);
    model.reset();
    // The core list must not call into a deleted model.
    list.AddRow({"10.0.0.2"});
    list.Clear();
    EXPECT_EQ(list.RowCount(), 0);
}

}  // namespace
}  // namespace velmor::shell
