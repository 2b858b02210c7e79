#pragma once
// The one way the manager asks the person in front of the screen something, or tells
// them: a box with text and caption, one icon and one set of buttons, answered with the
// button pressed, like MessageBoxA. No layer below the window knows how a box is shown:
// the program installs that (the window's message boxes, platform/window_boxes.h); the
// service mode answers every box itself; tests install a responder that answers from a
// script and records every box.
//
// Any thread. A box asked for on another thread is carried to the UI thread and the
// caller waits for the answer.
#include <functional>
#include <string>

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

// Whether the box belongs to a window (the manager's, or the dialog that asks) or stands
// alone.
enum class BoxOwner { None, Window };

struct MessageBoxCall {
    std::string text;
    std::string caption;
    unsigned style = 0;
    bool owned = false; // shown with an owner window
};

using MessageBoxAnswer = std::function<int(const MessageBoxCall&)>;

int messageBox(BoxOwner owner, const std::string& text, const std::string& caption, unsigned style);

// How the program shows a box, on the UI thread (the window installs its message
// boxes). Without one a box is traced and answered 0.
void setMessageBoxShower(MessageBoxAnswer shower);
// Replaces the shower: every box goes to responder, whose result is returned (tests).
// An empty function brings the shower back.
void setMessageBoxResponder(MessageBoxAnswer responder);
// From now on every box is answered at once without being shown (No for a Yes/No box,
// OK otherwise) and traced: the manager is ending, or runs without a window, and nobody
// may be asked.
void answerBoxesSilently(bool on = true);

} // namespace platform
