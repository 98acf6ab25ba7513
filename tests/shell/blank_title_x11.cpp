// The title bars of the program's boxes on a real X server (Xvfb, the xcb platform): what the window
// manager reads from _NET_WM_NAME and WM_NAME. Qt itself names an untitled window after the
// application; the program's untitled boxes must stay blank, titled ones keep their title.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>

#include "blank_title.h"
#include "modal_box.h"
#include "qt_services.h"

// On X the platform plugin's D-Bus and fontconfig keep a few allocations to the end of the process;
// they are not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\n";
}

// Failures print texts as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace velmor {
namespace {

xcb_connection_t* Connection() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t Atom(const char* name) {
    xcb_connection_t* connection = Connection();
    auto* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    if (reply == nullptr) return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

// The property's bytes as text; nullopt when the window has no such property.
std::optional<QString> Property(QWidget& window, xcb_atom_t property) {
    xcb_connection_t* connection = Connection();
    const auto native = static_cast<xcb_window_t>(window.winId());
    auto* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, native, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096),
        nullptr);
    if (reply == nullptr) return std::nullopt;
    std::optional<QString> text;
    if (reply->type != XCB_ATOM_NONE) {
        text = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)),
                                 xcb_get_property_value_length(reply));
    }
    std::free(reply);
    return text;
}

QString NetWmName(QWidget& window) {
    return Property(window, Atom("_NET_WM_NAME")).value_or(QStringLiteral("(none)"));
}

// WM_NAME may be absent or empty; either way it names nothing.
QString WmName(QWidget& window) {
    return Property(window, XCB_ATOM_WM_NAME).value_or(QString());
}

// Runs `open` and, while its box is open, reads the box's title properties, then answers it.
struct Titles {
    QString net_wm_name = QStringLiteral("(not seen)");
    QString wm_name = QStringLiteral("(not seen)");
};
Titles TitlesWhileOpen(const std::function<void()>& open, const QString& press) {
    Titles titles;
    QTimer reader;
    reader.setInterval(10);
    QObject::connect(&reader, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr || !box->isVisible()) return;
        titles.net_wm_name = NetWmName(*box);
        titles.wm_name = WmName(*box);
        reader.stop();
    });
    reader.start();
    test::AnswerModalBox(
        [&] {
            // The reader runs first: it was started first and fires as often.
            open();
        },
        press);
    return titles;
}

TEST(BlankTitleX11, QtNamesAnUntitledWindowAfterTheApplication) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QWidget window;
    window.show();
    EXPECT_EQ(NetWmName(window), QCoreApplication::applicationName());
}

TEST(BlankTitleX11, TheProgramsQuestionsNoticesAndInputBoxesShowNoName) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    shell::QtDialogs dialogs;
    const Titles question =
        TitlesWhileOpen([&] { dialogs.AskYesNo("허용으로 바꿀까요?"); }, QStringLiteral("아니요"));
    EXPECT_EQ(question.net_wm_name, QString());
    EXPECT_EQ(question.wm_name, QString());
    const Titles notice = TitlesWhileOpen(
        [&] { dialogs.Tell("이미 IP가 존재합니다.", Dialogs::Icon::Information); }, QStringLiteral("OK"));
    EXPECT_EQ(notice.net_wm_name, QString());
    const Titles input = TitlesWhileOpen(
        [&] { dialogs.AskText("차단할 IP 주소를 입력하세요.", "100.200.30.40"); }, QStringLiteral("Cancel"));
    EXPECT_EQ(input.net_wm_name, QString());
    EXPECT_EQ(input.wm_name, QString());
}

TEST(BlankTitleX11, ATitleOfItsOwnStaysAndAnEmptiedOneGoesBlank) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QMessageBox box(QMessageBox::Information, QStringLiteral("프로그램 업데이트"), QStringLiteral("?"),
                    QMessageBox::Ok);
    platform::KeepTitleBarBlank(box);
    box.show();
    EXPECT_EQ(NetWmName(box), QStringLiteral("프로그램 업데이트"));
    box.setWindowTitle(QString());
    EXPECT_EQ(NetWmName(box), QString());
    box.hide();
}

}  // namespace
}  // namespace velmor
