#include "blank_title.h"

#include <xcb/xcb.h>

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace velmor::platform {
namespace {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (reply == nullptr) return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

void ClearX11Title(QWidget& window) {
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr) return;
    const WId id = window.internalWinId();
    if (id == 0) return;
    xcb_connection_t* connection = x11->connection();
    const auto native = static_cast<xcb_window_t>(id);
    // Window managers read _NET_WM_NAME (UTF-8) before the old WM_NAME; both become zero-length.
    const xcb_atom_t net_wm_name = Atom(connection, "_NET_WM_NAME");
    const xcb_atom_t utf8_string = Atom(connection, "UTF8_STRING");
    if (net_wm_name != XCB_ATOM_NONE && utf8_string != XCB_ATOM_NONE) {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, native, net_wm_name, utf8_string, 8, 0,
                            nullptr);
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, native, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0,
                        nullptr);
    xcb_flush(connection);
}

void ClearTitle(QWidget& window) {
    if (!window.isWindow() || !window.windowTitle().isEmpty()) return;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) ClearX11Title(window);
}

// Runs after Qt's own handling of each event that (re)writes the native title.
class BlankTitleKeeper final : public QObject {
public:
    explicit BlankTitleKeeper(QWidget& window) : QObject(&window), window_(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_) {
            switch (event->type()) {
                case QEvent::WinIdChange:
                case QEvent::WindowTitleChange:
                case QEvent::Show:
                    ClearTitle(window_);
                    break;
                default:
                    break;
            }
        }
        return false;
    }

private:
    QWidget& window_;
};

}  // namespace

void KeepTitleBarBlank(QWidget& window) {
    window.installEventFilter(new BlankTitleKeeper(window));
    ClearTitle(window);
}

}  // namespace velmor::platform
