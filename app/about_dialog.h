#pragma once
// The About box (dialog template 100): the application icon, the product name with
// its version, and OK. It has no behaviour of its own: OK, Esc and the close box end
// it. MainDialog runs it modally, owned by the main window. UI thread only.
#include <QDialog>

constexpr const char* ABOUT_TITLE = "About Redirector";
constexpr const char* ABOUT_TEXT = "Quorvalink Redirector Ver 1.20";

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent);
};
