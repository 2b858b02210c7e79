#include "platform/window_boxes.h"

#include "platform/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <atomic>

namespace platform {

namespace {

std::atomic<QWidget*> mainWindowPointer{nullptr};
QPointer<QWidget> scopedOwner; // UI thread

QMessageBox::Icon iconFor(unsigned style) {
    switch (style & 0xF0) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int show(const MessageBoxCall& call) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0; // no GUI to show it in
    QWidget* owner = nullptr;
    if (call.owned)
        owner = scopedOwner ? scopedOwner.data() : mainWindowPointer.load();
    bool yesNo = (call.style & 0x0F) == MB_YESNO;
    QMessageBox box(iconFor(call.style), QString::fromStdString(call.caption),
                    QString::fromStdString(call.text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    // Like MessageBoxA: Yes is the default button, and Esc does nothing on a Yes/No box.
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    if (yesNo)
        box.setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    int pressed = box.exec();
    if (!yesNo)
        return IDOK;
    return pressed == QMessageBox::Yes ? IDYES : IDNO;
}

} // namespace

void showBoxesInWindows() {
    setMessageBoxShower(show);
}

void setMainWindow(QWidget* window) {
    mainWindowPointer.store(window);
}

QWidget* mainWindow() {
    return mainWindowPointer.load();
}

BoxOwnerScope::BoxOwnerScope(QWidget* owner) : previous_(scopedOwner.data()) {
    scopedOwner = owner;
}

BoxOwnerScope::~BoxOwnerScope() {
    scopedOwner = previous_;
}

} // namespace platform
