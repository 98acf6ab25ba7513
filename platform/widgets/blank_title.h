#pragma once

class QWidget;

namespace velmor::platform {

// Keeps the title bar of a top-level `window` (a message or input box without a title) really blank.
// Qt never leaves a native title empty: for a window without a title its platform plugins put the
// application name there (QPlatformWindow::formatWindowTitle), so the boxes would read "velmor". On
// X11 this empties the window's _NET_WM_NAME and WM_NAME each time Qt has written them (native window
// created, title changed, shown). On other window systems Qt's behaviour stays. A window that has a
// title of its own is left alone.
void KeepTitleBarBlank(QWidget& window);

}  // namespace velmor::platform
