// MainDialog as a window: fixed width, a minimum height, minimising hides, the
// busy cursor. Dragging the caption is the window manager's business on X11 and
// Wayland; a client cannot refuse it (docs/ui.md).
#include "app/main_dialog.h"

#include "config/manager_context.h"

#include <QApplication>
#include <QResizeEvent>
#include <QStyle>
#include <QTimer>

// The width limits go to the window manager as size hints, so dragging the border
// and maximising change only the height.
void MainDialog::applyWindowSizeRules() {
    setMinimumWidth(MAIN_CLIENT_WIDTH);
    setMaximumWidth(MAIN_CLIENT_WIDTH);
    setMinimumHeight(MAIN_CLIENT_MIN_HEIGHT);
}

// Frame sizes are known only once the window manager has framed the window; until
// then they read 0 and nothing depends on them.
void MainDialog::readMetrics() {
    sizeButtonHeight = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
    dlgFrameWidth = (frameGeometry().width() - width()) / 2;
    dlgFrameHeight = std::max(0, frameGeometry().height() - height() - sizeButtonHeight) / 2;
}

// Minimising hides the window instead, into the notification area; without one the
// window minimises as any other. The state is put back on the next turn of the loop:
// changing it inside its own change notification confuses some window managers.
void MainDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized) ||
        !trayIcon_.shown())
        return;
    QTimer::singleShot(0, this, [this] {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
    });
}

void MainDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    portList_->setGeometry(rect().adjusted(14, 16, -128, -15));
}

bool MainDialog::event(QEvent* event) {
    if (event->type() == CommandEvent::eventType()) {
        onCommand(static_cast<CommandEvent*>(event)->id());
        return true;
    }
    switch (event->type()) {
    case QEvent::HoverEnter:
    case QEvent::HoverMove:
        setBusyCursor();
        break;
    default:
        break;
    }
    return QDialog::event(event);
}
