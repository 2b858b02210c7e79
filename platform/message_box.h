#pragma once
// The one way the manager shows a message box. A box shows text and caption with
// one icon and one set of buttons and returns the button pressed, like MessageBoxA.
// Tests install a responder that answers from a script and records every box.
//
// Call on the UI thread. A box asked for on another thread is carried to the UI
// thread and the caller waits for the answer.
#include <functional>
#include <string>

class QWidget;

namespace platform {

enum : unsigned {
    MB_OK = 0x0,
    MB_YESNO = 0x4,
    MB_ICONERROR = 0x10, // the stop icon
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
};

enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDYES = 6,
    IDNO = 7,
};

struct MessageBoxCall {
    std::string text;
    std::string caption;
    unsigned style = 0;
    bool owned = false; // shown with an owner window
};

// owner may be null (a box without an owner window).
int messageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style);

// Replaces the real boxes: every box goes to responder, whose result is returned.
// An empty function brings the real boxes back.
void setMessageBoxResponder(std::function<int(const MessageBoxCall&)> responder);

// From now on every box is answered at once without being shown (No for a Yes/No box,
// OK otherwise) and traced: the manager is ending and nobody may be asked any more.
void answerBoxesSilently(bool on = true);

} // namespace platform

namespace platform {
// The main window, owner of the boxes that lower layers show; set by MainDialog.
void setMainWindow(QWidget* window);
QWidget* mainWindow();
} // namespace platform
