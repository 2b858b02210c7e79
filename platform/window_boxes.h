#pragma once
// The window's message boxes (Qt Widgets): what platform::messageBox shows once the
// window has installed them. A box that belongs to a window is shown over the dialog that
// asks, or else over the main window.
class QWidget;

namespace platform {

// Installs the boxes as the program's way of showing a message box (UI thread).
void showBoxesInWindows();

// The main window, owner of the boxes that lower layers show; set by the window.
void setMainWindow(QWidget* window);
QWidget* mainWindow();

// While it lives, boxes that belong to a window are shown over owner (a dialog that
// asks). UI thread.
class BoxOwnerScope {
  public:
    explicit BoxOwnerScope(QWidget* owner);
    ~BoxOwnerScope();
    BoxOwnerScope(const BoxOwnerScope&) = delete;
    BoxOwnerScope& operator=(const BoxOwnerScope&) = delete;

  private:
    QWidget* previous_;
};

} // namespace platform
